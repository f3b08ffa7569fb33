"""Multivariate samplers with Python callables, beside plain NumPy/SciPy code.

Run after installing the package:  python3 benchmarks/bench_multivar.py

1. Metropolis-Hastings steps per second on a correlated 2-D Gaussian density
   written in Python, beside a random-walk Metropolis loop in Python whose
   normals and uniforms NumPy draws in bulk beforehand.
2. The library's cost per step beyond the density call. CdfMcEstimator's
   estimate_normalization calls the density N times from a C loop with only
   d uniform draws and one addition around each call, so its time per call
   is the floor of calling a Python density from C. A chain's time per
   step is measured on burn-in steps (sample_n(0) with burn_in = N), which
   return nothing; minus the floor, it is what the chain adds: 2d uniforms
   for the Gaussian proposal (Box-Muller), the mirror into the box, two
   logarithms and one more uniform, all in C. What a returned point costs on
   top (a Python list of d floats, and the collector's passes over the new
   lists) is the difference between sample_n(N) and the burn-in steps.
3. Gaussian-copula points per second in 5-D with quantile functions written
   in Python, one point per call, beside the same copula in NumPy/SciPy
   (multivariate_normal, norm.cdf, the marginals' ppf vectorized).
4. Monte-Carlo normalizing-constant estimates per second beside a NumPy
   estimate: uniform points drawn in bulk, the same Python density called on
   each in a list comprehension.
"""
import math

import numpy as np
from scipy import stats

import _varlix as vx
from timing import best_of

RHO = 0.6
NORM = 1.0 / (2.0 * (1.0 - RHO * RHO))
LO, HI = -6.0, 6.0


def density(x, y):
    return math.exp(-(x * x - 2.0 * RHO * x * y + y * y) * NORM)


def python_metropolis(n, step, seed):
    """Random-walk Metropolis on the same density, mirrored into the box."""
    rng = np.random.default_rng(seed)
    z = (step * rng.standard_normal((n, 2))).tolist()
    log_u = np.log(rng.random(n)).tolist()
    x, y = 0.0, 0.0
    log_f = math.log(density(x, y))
    out = []
    for (dx, dy), lu in zip(z, log_u):
        px, py = mirror(x + dx), mirror(y + dy)
        value = density(px, py)
        if value > 0.0:
            log_p = math.log(value)
            if lu < log_p - log_f:
                x, y, log_f = px, py, log_p
        out.append((x, y))
    return out


def mirror(v):
    while v < LO or v > HI:
        v = LO + (LO - v) if v < LO else HI - (v - HI)
    return v


def bench_metropolis(n):
    box = vx.HyperRect([LO, LO], [HI, HI])
    mh = vx.metropolis_hastings(density, box, step_size=1.0, burn_in=0, adapt_steps=0)
    mh.init()
    t_vx = best_of(5, lambda: mh.sample_n(n, seed=1))
    t_np = best_of(5, lambda: python_metropolis(n, 1.0, 1))
    print("Metropolis-Hastings, 2-D Gaussian density in Python")
    print(f"  varlix sample_n          {n / t_vx:>12,.0f} steps/s")
    print(f"  NumPy + Python loop      {n / t_np:>12,.0f} steps/s   (varlix {t_np / t_vx:.2f}x)")
    return t_vx / n, mh.accept_rate()


def bench_overhead(n, t_point):
    box = vx.HyperRect([LO, LO], [HI, HI])
    est = vx.cdf_mc_estimator(density, box, n, 1)
    t_floor = best_of(5, lambda: est.estimate_normalization(seed=1)) / n
    mh = vx.metropolis_hastings(density, box, step_size=1.0, burn_in=n, adapt_steps=0)
    mh.init()
    t_step = best_of(5, lambda: mh.sample_n(0, seed=1)) / n
    point = (0.3, -0.2)
    t_python = best_of(5, lambda: [density(*point) for _ in range(n)]) / n
    print("Cost per density call and per step")
    print(f"  density called from a Python loop     {t_python * 1e9:>7.0f} ns")
    print(f"  density called from C (floor)         {t_floor * 1e9:>7.0f} ns")
    print(f"  Metropolis-Hastings burn-in step      {t_step * 1e9:>7.0f} ns")
    print(f"  chain's own cost per step             {(t_step - t_floor) * 1e9:>7.0f} ns")
    print(f"  step returned in sample_n             {t_point * 1e9:>7.0f} ns")
    print(f"  returning the point as a list         {(t_point - t_step) * 1e9:>7.0f} ns")


MARGINAL_PPFS = [
    lambda u: -math.log1p(-u),                           # exponential(1)
    lambda u: math.log(u / (1.0 - u)),                   # logistic
    lambda u: math.tan(math.pi * (u - 0.5)),             # Cauchy
    lambda u: (-math.log1p(-u)) ** (1.0 / 1.5),          # Weibull(1.5)
    lambda u: (1.0 - u) ** (-1.0 / 3.0),                 # Pareto(3)
]
NUMPY_PPFS = [
    lambda u: -np.log1p(-u),
    lambda u: np.log(u / (1.0 - u)),
    lambda u: np.tan(np.pi * (u - 0.5)),
    lambda u: (-np.log1p(-u)) ** (1.0 / 1.5),
    lambda u: (1.0 - u) ** (-1.0 / 3.0),
]


def correlation_5d():
    idx = np.arange(5)
    return 0.5 ** np.abs(idx[:, None] - idx[None, :])


def numpy_copula(n, corr, seed):
    y = stats.multivariate_normal(cov=corr).rvs(size=n, random_state=np.random.default_rng(seed))
    u = stats.norm.cdf(y)
    return np.column_stack([ppf(u[:, i]) for i, ppf in enumerate(NUMPY_PPFS)])


def bench_copula(n, n_numpy):
    corr = correlation_5d()
    copula = vx.gaussian_copula(corr.tolist())
    sample = copula.sample
    ppfs = MARGINAL_PPFS
    t_vx = best_of(5, lambda: [sample(ppfs) for _ in range(n)])
    t_np = best_of(5, lambda: numpy_copula(n_numpy, corr, 1))
    print("Gaussian copula, 5-D, quantile functions in Python")
    print(f"  varlix sample, one point per call   {n / t_vx:>12,.0f} points/s")
    print(f"  NumPy/SciPy, {n_numpy:,} points at once {n_numpy / t_np:>12,.0f} points/s")


def numpy_normalization(n, seed):
    rng = np.random.default_rng(seed)
    pts = rng.uniform(LO, HI, size=(n, 2)).tolist()
    values = [density(x, y) for x, y in pts]
    return sum(v for v in values if v >= 0.0 and math.isfinite(v)) / n * (HI - LO) ** 2


def bench_normalization(n):
    box = vx.HyperRect([LO, LO], [HI, HI])
    est = vx.cdf_mc_estimator(density, box, n, 1)
    t_vx = best_of(5, lambda: est.estimate_normalization(seed=1))
    t_np = best_of(5, lambda: numpy_normalization(n, 1))
    exact = math.pi * 2.0 * math.sqrt(1.0 - RHO * RHO)
    print(f"Normalizing constant, {n:,} points (exact {exact:.4f})")
    print(f"  varlix estimate_normalization  {1.0 / t_vx:>8.1f} estimates/s   Z = {est.estimate_normalization(seed=1):.4f}")
    print(f"  NumPy points + Python density  {1.0 / t_np:>8.1f} estimates/s   Z = {numpy_normalization(n, 1):.4f}"
          f"   (varlix {t_np / t_vx:.2f}x)")


def main():
    t_point, rate = bench_metropolis(200_000)
    print(f"  (acceptance rate {rate:.2f} at step size 1)")
    bench_overhead(200_000, t_point)
    bench_copula(50_000, 1_000_000)
    bench_normalization(200_000)


if __name__ == "__main__":
    main()
