"""One job end to end with varlix distributions.

    python3 examples/distributions_tour.py [output-directory]

A custom density on (-inf, inf), its moments and quantiles, 10^6 draws in an
ndarray, a histogram of the draws against the density (a PNG in the output
directory when matplotlib is installed), and a Gaussian copula over it.
"""
import sys
import time
from pathlib import Path

import numpy as np

import varlix

try:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:  # the plot is optional
    plt = None

OUT = Path(sys.argv[1] if len(sys.argv) > 1 else "tour-output")


def density(x):
    """Unnormalized: a skewed, two-bumped law with light tails."""
    return np.exp(-0.25 * x**4) * (1.0 + np.sin(2.0 * x) ** 2) + 0.5 * np.exp(-0.5 * ((x - 2.5) / 0.3) ** 2)


def main():
    start = time.perf_counter()
    d = varlix.from_pdf(density)
    print(f"{d} built in {1e3 * (time.perf_counter() - start):.1f} ms")
    print(f"mean {d.mean():.10f}  var {d.var():.10f}  std {d.std():.10f}  entropy {d.entropy():.10f}")
    print(f"median {d.median():.10f}  95% interval {tuple(round(v, 10) for v in d.interval(0.95))}")
    q = np.array([1e-9, 0.01, 0.5, 0.99, 1 - 1e-9])
    print("quantiles", dict(zip(q.tolist(), np.round(d.ppf(q), 8).tolist())))
    print(f"P(X > 3) = {d.sf(3.0):.6e}   E[X^3] = {d.expect(lambda x: x**3):.10f}")

    start = time.perf_counter()
    x = d.rvs(10**6, random_state=2026)
    print(f"10^6 draws: {type(x).__name__} {x.dtype} {x.shape}, {x.nbytes / 1e6:.0f} MB, "
          f"{1e3 * (time.perf_counter() - start):.1f} ms; sample mean {x.mean():.4f}, var {x.var():.4f}")

    hist = varlix.from_histogram(*np.histogram(x, bins=60)[::-1])
    print(f"histogram of the draws: mean {hist.mean():.4f}, var {hist.var():.4f}")

    copula = varlix.gaussian_copula([[1.0, 0.8], [0.8, 1.0]], [d, hist])
    pairs = copula.rvs(10**5, random_state=7)
    print(f"copula draws {pairs.shape}, correlation {np.corrcoef(pairs.T)[0, 1]:.3f}")

    if plt is None:
        print("matplotlib is not installed: no plot")
        return
    OUT.mkdir(parents=True, exist_ok=True)
    grid = np.linspace(-3.5, 4.0, 600)
    fig, ax = plt.subplots(figsize=(7, 4))
    ax.hist(x, bins=200, density=True, alpha=0.5, label="10^6 draws")
    ax.plot(grid, d.pdf(grid), "k", lw=1.5, label="pdf")
    ax.set_title("varlix.from_pdf: a custom density on (-inf, inf)")
    ax.legend()
    path = OUT / "distributions.png"
    fig.savefig(path, dpi=100)
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
