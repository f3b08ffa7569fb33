"""varlix distributions beside NumPy and SciPy, in one run.

    python3 benchmarks/bench_distributions.py

(a) Evaluation: ppf over 10^4 points and rvs(10^6) of a density written in
    Python (vectorized), against scipy.stats.sampling's
    NumericalInversePolynomial built from the same density.
(b) Moments: mean, var and entropy of a fresh distribution (nothing cached)
    against a scipy.stats.rv_continuous subclass that defines only _pdf,
    for the same Python density, scalar and vectorized.
(c) Copula: a 3-D Gaussian copula over a bimodal density, a histogram and a
    lognormal-like density, 10^5 points, against NumPy + SciPy written by
    hand (multivariate_normal -> ndtr -> each marginal's vectorized ppf,
    the custom densities inverted by NumericalInversePolynomial), with the
    mean, standard deviation and 99% quantile of X1 + X2 X3 of both.
(d) Histogram: ppf and cdf over 10^6 values against np.interp (the floor)
    and scipy.stats.rv_histogram.

Times are the best of a few repeats; ratios > 1 mean varlix is faster.
"""
import math
import sys
from pathlib import Path

import numpy as np
from scipy import special, stats
from scipy.stats import sampling

import varlix

sys.path.insert(0, str(Path(__file__).resolve().parent))
from timing import best_of  # noqa: E402

SQRT_2PI = math.sqrt(2 * math.pi)


def normal_vector(x):
    return np.exp(-0.5 * (x - 3.0) ** 2) / SQRT_2PI


def normal_scalar(x):
    return math.exp(-0.5 * (x - 3.0) ** 2) / SQRT_2PI


def bimodal(x):
    return (0.6 * np.exp(-0.5 * ((x + 1.5) / 0.5) ** 2) / 0.5 + 0.4 * np.exp(-0.5 * ((x - 2.0) / 0.8) ** 2) / 0.8) / SQRT_2PI


def lognormal_like(x):
    # exp(N(0, 0.5^2)) on [0, inf), 0 at 0
    x = np.asarray(x, dtype=np.float64)
    safe = np.where(x > 0, x, 1.0)
    return np.where(x > 0, np.exp(-0.5 * (np.log(safe) / 0.5) ** 2) / (safe * 0.5 * SQRT_2PI), 0.0)


class Dist:
    def __init__(self, pdf):
        self.pdf = pdf


def row(label, ours, theirs, unit="ms", scale=1e3):
    print(f"  {label:<44} varlix {ours * scale:10.3f} {unit}   peer {theirs * scale:10.3f} {unit}   ratio {theirs / ours:7.2f}")


def evaluation():
    print("(a) evaluation: N(3, 1) from a vectorized Python density, u_resolution 1e-10")
    ours = varlix.from_pdf(normal_vector)
    theirs = sampling.NumericalInversePolynomial(Dist(normal_vector), center=3.0, u_resolution=1e-10)
    u = np.random.default_rng(1).random(10**4)
    row("ppf, 10^4 points", best_of(20, lambda: ours.ppf(u)), best_of(20, lambda: theirs.ppf(u)))
    g1, g2 = np.random.default_rng(2), np.random.default_rng(2)
    # Interleaved rounds: on a shared machine the two sides see the same load.
    t_ours, t_theirs = math.inf, math.inf
    for _ in range(5):
        t_ours = min(t_ours, best_of(3, lambda: ours.rvs(10**6, random_state=g1)))
        t_theirs = min(t_theirs, best_of(3, lambda: theirs.rvs(10**6, random_state=g2)))
    row("rvs(10^6)", t_ours, t_theirs)


class ScipyScalar(stats.rv_continuous):
    def _pdf(self, x):
        return np.exp(-0.5 * (x - 3.0) ** 2) / SQRT_2PI


def moments():
    print("(b) moments: fresh distribution each time (no cache), N(3, 1) on (-inf, inf)")
    for label, pdf in (("vectorized pdf", normal_vector), ("scalar pdf", normal_scalar)):
        built = [varlix.from_pdf(pdf) for _ in range(3 * 20)]
        it = iter(built)
        theirs = ScipyScalar()
        for name in ("mean", "var", "entropy"):
            ours_t = best_of(20, lambda: getattr(next(it), name)())
            # rv_continuous recomputes every call: nothing to clear.
            theirs_t = best_of(3, lambda: getattr(theirs, name)())
            row(f"{name} ({label})", ours_t, theirs_t)
        trio_ours = best_of(3, lambda: [f() for d in [varlix.from_pdf(pdf)] for f in (d.mean, d.var, d.entropy)])
        trio_theirs = best_of(1, lambda: (theirs.mean(), theirs.var(), theirs.entropy()))
        row(f"build + mean + var + entropy ({label})", trio_ours, trio_theirs)
        d = varlix.from_pdf(pdf)
        print(f"    values: mean {d.mean():.12f} var {d.var():.12f} entropy {d.entropy():.12f}"
              f"   scipy: {theirs.mean():.12f} {theirs.var():.12f} {theirs.entropy():.12f}")


def copula():
    print("(c) Gaussian copula, d = 3, 10^5 points")
    rng = np.random.default_rng(3)
    counts, edges = np.histogram(rng.gamma(3.0, 1.0, size=20_000), bins=50)
    corr = np.array([[1.0, 0.5, 0.2], [0.5, 1.0, -0.3], [0.2, -0.3, 1.0]])
    m1 = varlix.from_pdf(bimodal)
    m2 = varlix.from_histogram(edges, counts)
    m3 = varlix.from_pdf(lognormal_like, (0.0, math.inf), center=1.0)
    ours = varlix.gaussian_copula(corr, [m1, m2, m3])

    p1 = sampling.NumericalInversePolynomial(Dist(bimodal), center=0.0, u_resolution=1e-10)
    p2 = stats.rv_histogram((counts, edges), density=False)
    p3 = sampling.NumericalInversePolynomial(Dist(lognormal_like), center=1.0, domain=(0.0, math.inf),
                                             u_resolution=1e-10)
    mvn = stats.multivariate_normal(np.zeros(3), corr)

    def by_hand(seed):
        z = mvn.rvs(10**5, random_state=seed)
        u = special.ndtr(z)
        return np.column_stack((p1.ppf(u[:, 0]), p2.ppf(u[:, 1]), p3.ppf(u[:, 2])))

    row("10^5 points", best_of(5, lambda: ours.rvs(10**5, random_state=4)), best_of(5, lambda: by_hand(4)))
    a = ours.rvs(10**6, random_state=5)
    b = np.concatenate([by_hand(s) for s in range(5, 15)])
    for label, x in (("varlix", a), ("numpy+scipy", b)):
        s = x[:, 0] + x[:, 1] * x[:, 2]
        print(f"    {label:<12} X1 + X2 X3 over 10^6: mean {s.mean():.4f}  std {s.std():.4f}  q99 {np.quantile(s, 0.99):.4f}")


def histogram():
    print("(d) histogram, 50 bins, 10^6 values")
    rng = np.random.default_rng(6)
    counts, edges = np.histogram(rng.normal(size=10**5), bins=50)
    ours = varlix.from_histogram(edges, counts)
    theirs = stats.rv_histogram((counts, edges), density=False)
    x = rng.normal(size=10**6)
    u = rng.random(10**6)
    cum = np.concatenate(([0.0], np.cumsum(counts) / counts.sum()))
    floor_cdf = best_of(5, lambda: np.interp(x, edges, cum))
    floor_ppf = best_of(5, lambda: np.interp(u, cum, edges))
    for name, arg, floor in (("cdf", x, floor_cdf), ("ppf", u, floor_ppf)):
        t_ours = best_of(5, lambda: getattr(ours, name)(arg))
        t_theirs = best_of(3, lambda: getattr(theirs, name)(arg))
        print(f"  {name}: varlix {t_ours * 1e9 / arg.size:6.1f} ns/value   np.interp {floor * 1e9 / arg.size:6.1f}"
              f" ns/value   rv_histogram {t_theirs * 1e9 / arg.size:6.1f} ns/value   ratio vs scipy {t_theirs / t_ours:6.2f}")


if __name__ == "__main__":
    print(f"varlix {varlix.__version__}, NumPy {np.__version__}, SciPy {__import__('scipy').__version__}")
    evaluation()
    moments()
    copula()
    histogram()
