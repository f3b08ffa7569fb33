"""Tour step: a fast generator from a density written in Python.

    python3 examples/fast_generators.py [output-directory]

Builds varlix.sampling.NumericalInversePolynomial from an unnormalized,
asymmetric density on the whole real line, prints its accuracy and a few
seeded draws, and, when matplotlib is installed, writes a histogram of
10^6 draws against the normalized density (fast_generators.png).
"""
import math
import sys
from pathlib import Path

import numpy as np

from varlix.sampling import NumericalInversePolynomial

try:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:  # the plot is optional
    plt = None


class Skewed:
    """A normal density tilted by a logistic factor: skewed to the right,
    support (-inf, inf), no closed-form CDF. Plain Python floats in and out."""

    def pdf(self, x):
        return math.exp(-0.5 * x * x) / (1.0 + math.exp(-3.0 * x))


def main(out_dir):
    gen = NumericalInversePolynomial(Skewed(), u_resolution=1e-12, random_state=2024)
    print(gen)
    print("median", float(gen.ppf(0.5)), "  99% quantile", float(gen.ppf(0.99)))
    print("five seeded draws", gen.rvs(5))

    draws = gen.rvs(10**6)
    print(f"mean {draws.mean():.4f}  std {draws.std():.4f}")
    if plt is None:
        print("matplotlib is not installed: no plot")
        return

    # The normalizing constant by the trapezoid rule on a fine grid.
    xs = np.linspace(-6.0, 6.0, 2001)
    ys = np.array([Skewed().pdf(x) for x in xs])
    ys /= np.trapezoid(ys, xs) if hasattr(np, "trapezoid") else np.trapz(ys, xs)
    fig, ax = plt.subplots(figsize=(7, 4))
    ax.hist(draws, bins=200, range=(-5, 5), density=True, alpha=0.5, label="10^6 draws")
    ax.plot(xs, ys, "k", lw=1.2, label="density")
    ax.set_xlim(-5, 5)
    ax.legend()
    ax.set_title("NumericalInversePolynomial from a Python density")
    out_dir.mkdir(parents=True, exist_ok=True)
    path = out_dir / "fast_generators.png"
    fig.savefig(path, dpi=110, bbox_inches="tight")
    print("wrote", path)


if __name__ == "__main__":
    main(Path(sys.argv[1] if len(sys.argv) > 1 else "tour-output"))
