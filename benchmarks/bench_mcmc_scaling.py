"""How the Metropolis and HMC chains of varlix.mcmc scale with the dimension.

Run after installing the package with its numba extra:
    python3 benchmarks/bench_mcmc_scaling.py [--quick] [--dims 100 1000 3000]

1. Time per step on a compiled (numba cfunc) isotropic Gaussian, one chain,
   beside the bare log-density call (a numba loop calling the same code):
   - metropolis on a box (diagonal metric) and without bounds (dense
     metric, O(d^2) per step by design), tuning and drawing apart;
   - hmc with a Python gradient (10 leapfrog steps: 10 gradients and 10
     values per step), and the same step per leapfrog step;
   - hmc without a gradient: central differences, 2d + 1 calls per
     leapfrog step, shown per call.
   With a diagonal metric the engine's own work per step is O(d): the time
   per step divided by the calls it makes should stay near the bare call.
2. Memory per chain at d = 10,000: the growth of the peak resident memory
   of a fresh process from 1 chain to `--chains` chains, divided by the
   added chains (the state row, the chain's scratch and its two recorded
   draws), for metropolis on a box and hmc with a gradient.
"""
import argparse
import os
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from timing import best_of  # noqa: E402

import numba  # noqa: E402
from numba import types  # noqa: E402

from varlix import mcmc  # noqa: E402


@numba.njit(cache=False)
def _half_square(n, x):
    s = 0.0
    for i in range(n):
        s += x[i] * x[i]
    return -0.5 * s


@numba.cfunc(types.double(types.intc, types.CPointer(types.double)))
def gauss(n, x):
    return _half_square(n, numba.carray(x, (n,)))


@numba.njit
def _calls(x, reps):
    total = 0.0
    for k in range(reps):
        x[0] = 1e-9 * k  # keeps the call inside the loop
        total += _half_square(x.size, x)
    return total


def bare_call(d, reps):
    x = np.full(d, 0.1)
    _calls(x, 10)
    return best_of(5, lambda: _calls(x, reps)) / reps


def gradient(x):
    return -x


def bare_gradient(d, reps):
    x = np.full(d, 0.1)

    def loop():
        for _ in range(reps):
            gradient(x)

    return best_of(5, loop) / reps


def per_step(run, steps, repeats):
    return best_of(repeats, run) / steps


def step_table(dims, quick):
    print("1. Time per step, one chain, compiled isotropic Gaussian (best of 3; us)")
    print(f"{'d':>6s} {'call':>8s} {'grad':>8s} | {'box tune':>9s} {'box draw':>9s} {'dense draw':>10s} | "
          f"{'hmc step':>9s} {'per leap':>9s} | {'hmc-fd step':>11s} {'per call':>9s}")
    for d in dims:
        budget = max(200, int((200_000 if quick else 1_000_000) / d))
        x0 = np.full(d, 0.1)
        box = ([-10.0] * d, [10.0] * d)
        call = bare_call(d, 100_000)
        grad = bare_gradient(d, 20_000)
        common = dict(chains=1, random_state=1)
        walk = dict(common, thin=1)
        box_tune = per_step(lambda: mcmc.metropolis(gauss, x0, draws=1, tune=budget, bounds=box, **walk),
                            budget, 3)
        box_draw = per_step(lambda: mcmc.metropolis(gauss, x0, draws=budget, tune=0, bounds=box, **walk),
                            budget, 3)
        dense_steps = max(20, budget // max(1, d // 100))
        dense_draw = per_step(lambda: mcmc.metropolis(gauss, x0, draws=dense_steps, tune=0, **walk),
                              dense_steps, 3)
        hmc_steps = max(50, budget // 20)
        hmc = per_step(lambda: mcmc.hmc(gauss, x0, grad=gradient, draws=hmc_steps, tune=hmc_steps, **common),
                       2 * hmc_steps, 3)
        fd_steps = max(4, int(2e7 / (d * d * 20)))
        fd = per_step(lambda: mcmc.hmc(gauss, x0, draws=fd_steps, tune=0, **common), fd_steps, 3)
        fd_calls = 10 * (2 * d + 1)
        print(f"{d:6d} {call * 1e6:8.3f} {grad * 1e6:8.3f} | {box_tune * 1e6:9.2f} {box_draw * 1e6:9.2f} "
              f"{dense_draw * 1e6:10.1f} | {hmc * 1e6:9.1f} {hmc / 10 * 1e6:9.2f} | "
              f"{fd * 1e6:11.0f} {fd / fd_calls * 1e6:9.3f}")


# The peak of the child's own memory: VmHWM starts afresh at exec, where
# ru_maxrss keeps the parent's peak.
_MEMORY_CHILD = """
import sys
import numpy as np
from varlix import mcmc
sampler, d, chains = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
x0 = np.full(d, 0.1)
if sampler == "metropolis":
    mcmc.metropolis(lambda x: -0.5 * float(x @ x), x0, draws=2, tune=2, chains=chains, random_state=0,
                    bounds=([-10.0] * d, [10.0] * d), vectorized=False)
else:
    mcmc.hmc(lambda x: -0.5 * float(x @ x), x0, grad=lambda x: -x, draws=2, tune=2, chains=chains,
             random_state=0, vectorized=False)
with open("/proc/self/status") as status:
    print(next(line.split()[1] for line in status if line.startswith("VmHWM:")))
"""


def peak_kib(sampler, d, chains):
    out = subprocess.run([sys.executable, "-c", _MEMORY_CHILD, sampler, str(d), str(chains)],
                         capture_output=True, text=True, check=True)
    return int(out.stdout.split()[-1])


def memory_table(d, chains):
    print(f"\n2. Memory per chain at d = {d} (peak RSS growth from 1 to {chains} chains)")
    for sampler in ("metropolis", "hmc"):
        grown = peak_kib(sampler, d, chains) - peak_kib(sampler, d, 1)
        print(f"   {sampler:10s} {grown / (chains - 1) / 1024:8.2f} MiB per chain "
              f"({grown / (chains - 1) * 1024 / d:6.0f} bytes per coordinate)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller budgets")
    parser.add_argument("--dims", nargs="*", type=int, default=[100, 1000, 3000])
    parser.add_argument("--memory-dim", type=int, default=10_000)
    parser.add_argument("--chains", type=int, default=8)
    args = parser.parse_args()
    step_table(args.dims, args.quick)
    memory_table(args.memory_dim, args.chains)


if __name__ == "__main__":
    main()
