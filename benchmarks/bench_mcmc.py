"""Markov chains of varlix.mcmc beside emcee and a NumPy Metropolis loop.

Run after installing the package with its extras (arviz, emcee, numba):
    python3 benchmarks/bench_mcmc.py [--quick]

1. Effective samples per second (arviz's bulk ESS, the smallest over the
   coordinates, divided by the wall time including tuning or burn-in) on a
   2-D banana, a 5-D Gaussian with correlation 0.9 between every pair, and
   a 20-D standard Gaussian. Beside varlix.mcmc.metropolis with a Python
   log-density of one point, a vectorized one and a numba cfunc: emcee's
   ensemble sampler with the scalar and the vectorized log-density, and a
   random-walk Metropolis loop in Python whose normals and uniforms NumPy
   draws in bulk beforehand (isotropic proposal of the optimal scale
   2.38 / sqrt(d) for a unit-scale target, no tuning).
2. The cost per step beyond the log-density call, for a scalar Python
   log-density: the time per step of one untuned chain minus the time of
   one call of the same function from a Python loop (minus the empty loop).
3. Scale-out: four chains on a log-density costing about 25 us, serially
   and through a two-process pool (executor=).
4. (--peers) Gradient samplers beside nutpie, numpyro NUTS and blackjax NUTS
   on the six posteriors of python/tests/data/posteriors and five synthetic
   targets (benchmarks/targets): per target and contender, the medians over
   repeats of ESS per second (bulk and tail, the smallest over the reported
   parameters, arviz), bulk ESS per 1000 gradient evaluations of the kept
   draws, the largest R-hat and the worst |mean - reference| / reference sd.
   4 chains from the same dispersed starting points, the same kept draws for
   all; contenders alternate in order between repeats, since the machine's
   two cores are shared. Compile time (numba, JAX) is reported apart.
   varlix's NUTS runs with its diagonal metric, and (numba form) with
   metric="dense" and "low_rank": e.g. --targets gauss100 corr60
   --contenders "varlix grad numba" "varlix numba dense" "varlix numba low_rank".
   Needs the bench extra: pip install ".[bench]".
"""
import argparse
import math
import os
import sys
import time
import warnings
from concurrent.futures import ProcessPoolExecutor

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from timing import best_of  # noqa: E402

from varlix import mcmc  # noqa: E402

warnings.simplefilter("ignore", FutureWarning)
import arviz as az  # noqa: E402
import emcee  # noqa: E402

try:
    import numba
    from numba import types
except ImportError:  # the native rows are skipped
    numba = None

# ---- targets -------------------------------------------------------------------------

BANANA_A, BANANA_B = 2.0, 0.5
RHO = 0.9
D5 = 5
COV5 = np.full((D5, D5), RHO) + (1 - RHO) * np.eye(D5)
PREC5 = np.linalg.inv(COV5)


def banana(x):
    y = x[1] - BANANA_B * (x[0] * x[0] - BANANA_A * BANANA_A)
    return -0.5 * (x[0] * x[0] / (BANANA_A * BANANA_A) + y * y)


def banana_batch(x):
    y = x[:, 1] - BANANA_B * (x[:, 0] ** 2 - BANANA_A * BANANA_A)
    return -0.5 * (x[:, 0] ** 2 / (BANANA_A * BANANA_A) + y * y)


def corr5(x):
    return -0.5 * (x @ PREC5 @ x)


def corr5_batch(x):
    return -0.5 * np.einsum("ki,ij,kj->k", x, PREC5, x)


def gauss20(x):
    return -0.5 * (x @ x)


def gauss20_batch(x):
    return -0.5 * np.einsum("ki,ki->k", x, x)


def native_targets():
    if numba is None:
        return {}
    sig = types.double(types.intc, types.CPointer(types.double))
    prec = PREC5.copy()

    @numba.cfunc(sig)
    def nbanana(n, x):
        y = x[1] - BANANA_B * (x[0] * x[0] - BANANA_A * BANANA_A)
        return -0.5 * (x[0] * x[0] / (BANANA_A * BANANA_A) + y * y)

    @numba.cfunc(sig)
    def ncorr5(n, x):
        s = 0.0
        for i in range(n):
            for j in range(n):
                s += x[i] * prec[i, j] * x[j]
        return -0.5 * s

    @numba.cfunc(sig)
    def ngauss(n, x):
        s = 0.0
        for i in range(n):
            s += x[i] * x[i]
        return -0.5 * s

    return {"banana": nbanana, "corr5": ncorr5, "gauss20": ngauss}


TARGETS = {
    "banana": (2, banana, banana_batch),
    "corr5": (5, corr5, corr5_batch),
    "gauss20": (20, gauss20, gauss20_batch),
}

# ---- samplers ----------------------------------------------------------------------


def ess_of(samples):
    """The smallest bulk ESS over the coordinates of (chains, draws, d) samples."""
    data = az.convert_to_dataset({"x": samples})
    return float(az.ess(data)["x"].values.min())


def timed(run):
    start = time.perf_counter()
    samples = run()
    return samples, time.perf_counter() - start


def run_varlix(logpdf, d, draws, tune, **kwargs):
    return timed(lambda: mcmc.metropolis(logpdf, np.full(d, 0.1), draws=draws, tune=tune, chains=4,
                                         thin=1, random_state=1, **kwargs).samples)


def run_emcee(logpdf, d, evaluations, vectorize):
    walkers = max(32, 2 * d + 2)
    steps = evaluations // walkers
    burn = steps // 5
    rng = np.random.default_rng(1)
    p0 = 0.1 + 0.01 * rng.standard_normal((walkers, d))

    def run():
        sampler = emcee.EnsembleSampler(walkers, d, logpdf, vectorize=vectorize)
        sampler.run_mcmc(p0, steps, progress=False)
        return np.swapaxes(sampler.get_chain(discard=burn), 0, 1)

    return timed(run)


def numpy_metropolis(logpdf, d, steps, chains, seed=1):
    """Random-walk Metropolis in a Python loop over NumPy arrays."""
    rng = np.random.default_rng(seed)
    scale = 2.38 / math.sqrt(d)
    out = np.empty((chains, steps, d))
    for c in range(chains):
        z = scale * rng.standard_normal((steps, d))
        log_u = np.log(rng.random(steps))
        x = np.full(d, 0.1)
        lx = logpdf(x)
        for k in range(steps):
            y = x + z[k]
            ly = logpdf(y)
            if log_u[k] < ly - lx:
                x, lx = y, ly
            out[c, k] = x
    return out


def run_numpy(logpdf, d, draws, burn):
    return timed(lambda: numpy_metropolis(logpdf, d, draws + burn, 4)[:, burn:])


def ess_table(quick):
    natives = native_targets()
    print("1. Effective samples per second (min over coordinates of arviz's bulk ESS / wall time)")
    header = f"{'target':8s} {'sampler':28s} {'ESS':>8s} {'seconds':>8s} {'ESS/s':>10s}"
    print(header)
    ratios = []
    for name, (d, scalar, batch) in TARGETS.items():
        draws = (5000 if d < 20 else 10000) // (4 if quick else 1)
        tune = 1000
        evaluations = 4 * (draws + tune)
        rows = {}
        rows["varlix metropolis (python)"] = run_varlix(scalar, d, draws, tune, vectorized=False)
        rows["varlix metropolis (vectorized)"] = run_varlix(batch, d, draws, tune, vectorized=True)
        if name in natives:
            rows["varlix metropolis (cfunc)"] = run_varlix(natives[name], d, draws, tune)
        rows["emcee (python)"] = run_emcee(scalar, d, evaluations, False)
        rows["emcee (vectorized)"] = run_emcee(batch, d, evaluations, True)
        rows["numpy metropolis (python)"] = run_numpy(scalar, d, draws, tune)
        rate = {}
        for label, (samples, seconds) in rows.items():
            ess = ess_of(samples)
            rate[label] = ess / seconds
            print(f"{name:8s} {label:28s} {ess:8.0f} {seconds:8.2f} {rate[label]:10.0f}")
        python_best = max(rate["varlix metropolis (python)"], rate["varlix metropolis (vectorized)"])
        for other in ("emcee (python)", "emcee (vectorized)", "numpy metropolis (python)"):
            ratios.append((name, "python", other, python_best / rate[other]))
            if "varlix metropolis (cfunc)" in rate:
                ratios.append((name, "cfunc", other, rate["varlix metropolis (cfunc)"] / rate[other]))
    print("\n   ratios of varlix's ESS/s (best Python form, and cfunc) to each peer")
    for name, form, other, ratio in ratios:
        print(f"   {name:8s} varlix {form:7s} / {other:28s} {ratio:7.1f}x")


# ---- overhead -----------------------------------------------------------------------


def overhead(quick):
    n = 20000 if quick else 100000
    print("\n2. Cost per step beyond a scalar Python log-density call (best of 7, interleaved)")
    for label, f in [("-0.5 * (x @ x)", lambda x: -0.5 * (x @ x)),
                     ("-0.5 * float(np.dot(x, x))", lambda x: -0.5 * float(np.dot(x, x))),
                     ("banana (indexing)", banana)]:
        x = np.full(2, 0.1)

        def calls():
            for _ in range(n):
                f(x)

        def empty():
            for _ in range(n):
                pass

        def chain():
            mcmc.metropolis(f, x, draws=n, tune=0, chains=1, thin=1, random_state=0, vectorized=False)

        # Interleaved, so that a change of load on the machine hits both.
        call = step = float("inf")
        for _ in range(7):
            call = min(call, (best_of(1, calls) - best_of(1, empty)) / n)
            step = min(step, best_of(1, chain) / n)
        print(f"   {label:28s} call {call * 1e6:6.3f} us  step {step * 1e6:6.3f} us  "
              f"overhead {(step - call) * 1e6:6.3f} us = {(step - call) / call:5.2f} x the call")


# ---- scale-out -------------------------------------------------------------------------

HEAVY = np.random.default_rng(0).standard_normal((200, 4)) / 10


def heavy(x):
    # About 25 us: a matrix product and a few reductions.
    total = 0.0
    for _ in range(6):
        total += float(np.sum((HEAVY @ x) ** 2))
    return -0.5 * (x @ x) - 1e-3 * total


def busy(n):
    total = 0
    for i in range(n):
        total += i
    return total


def scale_out(quick):
    draws = 400 if quick else 1500
    x = np.zeros(4)
    start = time.perf_counter()
    for _ in range(200):
        heavy(x)
    cost = (time.perf_counter() - start) / 200
    print(f"\n3. Scale-out: 4 chains, log-density of {cost * 1e6:.0f} us, {draws} draws + 500 tuning steps")
    kwargs = dict(draws=draws, tune=500, chains=4, thin=1, random_state=3, vectorized=False)
    serial = best_of(2, lambda: mcmc.metropolis(heavy, x, **kwargs))
    with ProcessPoolExecutor(max_workers=2) as pool:
        pool.submit(int, "1").result()  # the workers are up
        parallel = best_of(2, lambda: mcmc.metropolis(heavy, x, executor=pool, **kwargs))
        same = np.array_equal(mcmc.metropolis(heavy, x, executor=pool, **kwargs).samples,
                              mcmc.metropolis(heavy, x, **kwargs).samples)
        # The ceiling the machine allows right now: four plain Python loops.
        loops = best_of(2, lambda: [busy(2_000_000) for _ in range(4)])
        pooled = best_of(2, lambda: list(pool.map(busy, [2_000_000] * 4)))
    print(f"   serial {serial:.2f} s, 2 processes {parallel:.2f} s: {serial / parallel:.2f}x "
          f"(identical chains: {same})")
    print(f"   control, four Python loops: serial {loops:.2f} s, 2 processes {pooled:.2f} s: "
          f"{loops / pooled:.2f}x")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller budgets")
    parser.add_argument("--peers", action="store_true", help="only section 4, NUTS peers on posteriors")
    parser.add_argument("--targets", nargs="*", help="section 4's targets (default: all)")
    parser.add_argument("--contenders", nargs="*", help="section 4's contenders (default: all that import)")
    parser.add_argument("--draws", type=int, default=1000)
    parser.add_argument("--tune", type=int, default=1000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--max-tree-depth", type=int, default=10)
    args = parser.parse_args()
    if args.peers:
        from bench_mcmc_peers import peers_table
        peers_table(args)
        return
    ess_table(args.quick)
    overhead(args.quick)
    scale_out(args.quick)


if __name__ == "__main__":
    main()
