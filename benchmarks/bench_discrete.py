"""Seeded discrete draws per second, beside NumPy's Generator.choice.

Run after installing the package:  python3 benchmarks/bench_discrete.py
"""

import numpy as np

import _varlix as vx
from timing import best_of


def main():
    n = 10**6
    print(f"{'support':>8} {'varlix draws/s':>16} {'numpy draws/s':>16} {'ratio':>7}")
    for k in (4, 64, 4096):
        points = [float(i) for i in range(k)]
        pmf = [1.0 + (i % 7) for i in range(k)]
        dist = vx.from_pmf(points, pmf)
        p = np.asarray(pmf) / sum(pmf)
        pts = np.asarray(points)
        t_vx = best_of(5, lambda: dist.sample_n(n, seed=1))
        t_np = best_of(5, lambda: np.random.default_rng(1).choice(pts, size=n, p=p))
        print(f"{k:>8} {n / t_vx:>16,.0f} {n / t_np:>16,.0f} {t_np / t_vx:>7.2f}")


if __name__ == "__main__":
    main()
