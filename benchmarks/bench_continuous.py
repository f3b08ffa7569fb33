"""Continuous distributions from a Python density: the cost of each call of
the user function, and build and draw times of each backend beside
scipy.stats.

Run with the module on the path:  python3 benchmarks/bench_continuous.py

(a) Cost per user-function call. The same counting function f is called
    N times three ways: by the interpreter alone, list(map(f, xs)) over a
    prepared list of N floats (the floor: one C-level call per item, no
    Python loop); by the normalizing integral of from_pdf(f, ...), divided
    by the calls f counted; and by expect(f) on a one-bin histogram, whose
    own density is compiled code, so that again only f is Python. The two
    varlix figures include the quadrature's own work, which is a few
    nanoseconds per node; the goal is at most 1.3 times the floor.

(b) The standard normal density on [-5, 5], written in Python, sampled by
    varlix's three backends (numerical inversion, a 64-node Hermite table,
    transformed density rejection with the log transform) and by
    scipy.stats.sampling's NumericalInversePolynomial,
    TransformedDensityRejection and NumericalInverseHermite (the last needs
    a CDF, written with math.erf), and by an rv_continuous subclass that
    defines only _pdf, whose rvs inverts a CDF it integrates with quad for
    every draw and is far too slow for more than a few draws. Every Python
    function counts its calls, so that the table shows how many user calls
    a build and a draw cost. Each time is the best of a few repeats.
"""
import math
import time

import numpy as np
from scipy import stats
from scipy.stats import sampling

import _varlix as vx

LO, HI = -5.0, 5.0
INV_SQRT_2PI = 1.0 / math.sqrt(2.0 * math.pi)


class Counter:
    calls = 0


def pdf(x):
    Counter.calls += 1
    return INV_SQRT_2PI * math.exp(-0.5 * x * x)


def dpdf(x):
    Counter.calls += 1
    return -x * INV_SQRT_2PI * math.exp(-0.5 * x * x)


def cdf(x):
    Counter.calls += 1
    return 0.5 * (1.0 + math.erf(x / math.sqrt(2.0)))


def best_of(repeats, fn):
    """(best seconds, calls counted in that run, result)."""
    best = (math.inf, 0, None)
    for _ in range(repeats):
        Counter.calls = 0
        start = time.perf_counter()
        result = fn()
        elapsed = time.perf_counter() - start
        if elapsed < best[0]:
            best = (elapsed, Counter.calls, result)
    return best


# ---- (a) adaptor cost per call ------------------------------------------------

def per_call_costs():
    tight = vx.BuildOptions(quad_tolerance=1e-14)
    t_build, n_build, _ = best_of(7, lambda: [vx.from_pdf_with_options(pdf, vx.Interval(LO, HI), tight)
                                               for _ in range(20)])
    box = vx.from_histogram([LO, HI], [1.0])
    t_expect, n_expect, _ = best_of(7, lambda: [box.expect(pdf) for _ in range(5)])
    xs = [LO + (HI - LO) * i / n_build for i in range(n_build)]
    t_map, n_map, _ = best_of(7, lambda: list(map(pdf, xs)))
    floor = t_map / n_map
    print("(a) cost per call of a Python density")
    print(f"{'path':<34} {'calls':>8} {'ns/call':>9} {'x floor':>8}")
    for name, seconds, calls in [("list(map(f, xs))  [floor]", t_map, n_map),
                                 ("from_pdf normalization (1e-14)", t_build, n_build),
                                 ("expect(f) on a one-bin histogram", t_expect, n_expect)]:
        per_call = seconds / calls
        print(f"{name:<34} {calls:>8} {per_call * 1e9:>9.1f} {per_call / floor:>8.2f}")
    print()


# ---- (b) backends beside scipy ------------------------------------------------

class ScipyNormal:
    """The interface scipy.stats.sampling reads: plain methods of one float."""

    pdf = staticmethod(pdf)
    dpdf = staticmethod(dpdf)
    cdf = staticmethod(cdf)


class PdfOnly(stats.rv_continuous):
    def _pdf(self, x):
        # Called with arrays by rv_continuous; count the points.
        Counter.calls += np.size(x)
        return INV_SQRT_2PI * np.exp(-0.5 * x * x)


def varlix_method(options):
    def build():
        return vx.from_pdf_with_options(pdf, vx.Interval(LO, HI), options)

    def draw(dist, n):
        return dist.sample_n(n, seed=1)
    return build, draw


def scipy_method(cls, **kwargs):
    def build():
        return cls(ScipyNormal(), domain=(LO, HI), random_state=np.random.default_rng(1), **kwargs)

    def draw(gen, n):
        return gen.rvs(n)
    return build, draw


def rv_continuous_method():
    def build():
        return PdfOnly(a=LO, b=HI)

    def draw(dist, n):
        return dist.rvs(size=n, random_state=np.random.default_rng(1))
    return build, draw


METHODS = [
    # name, (build, draw), draws per timing, repeats
    ("varlix inversion", varlix_method(vx.BuildOptions()), 200, 3),
    ("varlix hermite(64)", varlix_method(vx.BuildOptions.hermite(64)), 200_000, 5),
    ("varlix tdr('log')", varlix_method(vx.BuildOptions.tdr("log")), 200_000, 5),
    ("scipy NumericalInversePolynomial", scipy_method(sampling.NumericalInversePolynomial), 200_000, 5),
    ("scipy NumericalInverseHermite", scipy_method(sampling.NumericalInverseHermite), 200_000, 5),
    ("scipy TransformedDensityRejection", scipy_method(sampling.TransformedDensityRejection), 200_000, 5),
    ("scipy rv_continuous(_pdf)", rv_continuous_method(), 5, 2),
]


def measure(build, draw, draws, repeats):
    t_build, n_build, dist = best_of(repeats, build)
    t_draw, n_draw, _ = best_of(repeats, lambda: draw(dist, draws))
    return t_build, n_build, t_draw / draws, n_draw / draws


def backends():
    rows = {name: measure(*methods, draws, repeats) for name, methods, draws, repeats in METHODS}
    pairs = {
        "varlix inversion": "scipy rv_continuous(_pdf)",
        "varlix hermite(64)": "scipy NumericalInverseHermite",
        "varlix tdr('log')": "scipy TransformedDensityRejection",
    }
    print("(b) standard normal density on [-5, 5], a Python function")
    print(f"{'method':<34} {'build ms':>9} {'build calls':>12} {'us/draw':>10} {'calls/draw':>11}")
    for name, (t_build, n_build, t_draw, n_draw) in rows.items():
        print(f"{name:<34} {t_build * 1e3:>9.2f} {n_build:>12} {t_draw * 1e6:>10.3f} {n_draw:>11.3f}")
    print()
    print("ratios, varlix / scipy counterpart (below 1: varlix faster)")
    print(f"{'varlix':<22} {'scipy':<34} {'build':>8} {'draw':>8} {'draw vs PINV':>13}")
    pinv = rows["scipy NumericalInversePolynomial"]
    for ours, theirs in pairs.items():
        a, b = rows[ours], rows[theirs]
        print(f"{ours:<22} {theirs:<34} {a[0] / b[0]:>8.3g} {a[2] / b[2]:>8.3g} {a[2] / pinv[2]:>13.3g}")


def main():
    per_call_costs()
    backends()


if __name__ == "__main__":
    main()
