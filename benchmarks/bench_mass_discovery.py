"""Build time with mass discovery, against scipy's PINV, in one run.

    python3 benchmarks/bench_mass_discovery.py

Unimodal densities (vectorized and scalar Python) built by varlix.from_pdf,
and draws of 10^6 from one built law; multimodal and spiked densities built
by varlix.from_pdf (no center) against scipy.stats.sampling's
NumericalInversePolynomial given the right center. The contenders alternate
and the medians of the runs are reported.
"""
import math
import statistics
import time

import numpy as np
from scipy.stats import sampling

import varlix

RUNS = 15


def normal_vector(x):
    return np.exp(-0.5 * x * x)


def normal_scalar(x):
    return math.exp(-0.5 * x * x)


def mixture(sep, s2):
    return lambda x: 0.7 * np.exp(-0.5 * x * x) + 0.3 / s2 * np.exp(-0.5 * ((x - sep) / s2) ** 2)


class _Dist:
    def __init__(self, pdf):
        self.pdf = pdf


def _time(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def duel(label, ours, theirs):
    a, b = [], []
    for _ in range(RUNS):
        a.append(_time(ours))
        if theirs is not None:
            b.append(_time(theirs))
    ma = statistics.median(a) * 1e3
    if theirs is None:
        print(f"{label:<44} varlix {ma:8.2f} ms")
    else:
        mb = statistics.median(b) * 1e3
        print(f"{label:<44} varlix {ma:8.2f} ms   scipy {mb:8.2f} ms   scipy/varlix {mb / ma:5.2f}")


def main():
    duel("build: normal, vectorized", lambda: varlix.from_pdf(normal_vector), None)
    duel("build: normal, scalar", lambda: varlix.from_pdf(normal_scalar), None)
    law = varlix.from_pdf(normal_vector)
    duel("draws: 10^6 from the normal", lambda: law.rvs(10**6, random_state=1), None)
    for sep, s2, center in [(40.0, 1.0, 0.0), (40.0, 0.01, 40.0), (0.0, 1e-4, 0.0)]:
        f = mixture(sep, s2)
        # scipy needs the center on the higher-density part and keeps one mode
        # when the parts are far apart: this compares cost only.
        duel(f"build: 0.7 N(0,1) + 0.3 N({sep:g}, {s2:g}^2)",
             lambda f=f: varlix.from_pdf(f),
             lambda f=f, c=center: sampling.NumericalInversePolynomial(_Dist(f), center=c))


if __name__ == "__main__":
    main()
