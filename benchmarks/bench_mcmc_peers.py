"""Section 4 of bench_mcmc.py: gradient samplers beside their peers on posteriors with references."""
import importlib
import statistics
import time
import warnings

import numpy as np

from mcmc_contenders import CONTENDERS, varlix_gradient_sampler
from targets import POSTERIORS, SYNTHETIC, make

warnings.simplefilter("ignore", FutureWarning)
# Trajectories that diverge overflow in the NumPy log-densities; the samplers handle the result.
warnings.simplefilter("ignore", RuntimeWarning)
import arviz as az  # noqa: E402

# The peers each contender needs; one that does not import is left out, and said so.
NEEDS = {"nutpie numpy": "nutpie", "numpyro NUTS": "numpyro", "blackjax NUTS": "blackjax"}


def available(names):
    out = []
    for name in names:
        try:
            if name in NEEDS:
                importlib.import_module(NEEDS[name])
            out.append(name)
        except ImportError as e:
            print(f"   {name}: not installed ({e}); left out")
    return out


def measures(target, run):
    reported = target.report(run.samples)
    data = az.convert_to_dataset({"p": reported})
    bulk = float(az.ess(data, method="bulk")["p"].values.min())
    tail = float(az.ess(data, method="tail")["p"].values.min())
    rhat = float(az.rhat(data)["p"].values.max())
    bias = in_mcse = float("nan")
    if target.ref_mean is not None:
        error = np.abs(reported.reshape(-1, reported.shape[-1]).mean(axis=0) - target.ref_mean)
        bias = float(np.max(error / target.ref_sd))
        # The bar: no parameter beyond 4 Monte Carlo standard errors.
        in_mcse = float(np.max(error / az.mcse(data, method="mean")["p"].values))
    return {"bulk/s": bulk / run.seconds, "tail/s": tail / run.seconds,
            "bulk/1k grad": 1000 * bulk / run.gradients, "R-hat": rhat, "bias/sd": bias,
            "bias/MCSE": in_mcse, "seconds": run.seconds, "div": run.divergences}


def prime(name, target, inits, args):
    """Compile what the contender compiles; its seconds, reported apart."""
    start = time.perf_counter()
    if "numba" in name or name == "varlix metropolis cfunc":
        target.numba()
    elif name in ("numpyro NUTS", "blackjax NUTS"):
        # blackjax compiles ahead of time and says how long; numpyro compiles
        # inside its first run, whose excess over a later run is the compile.
        first = CONTENDERS[name](target, inits, args.draws, args.tune, 0, args.max_tree_depth)
        if name == "blackjax NUTS":
            return first.compile_seconds
        return -(time.perf_counter() - start)   # resolved after the repeats
    return time.perf_counter() - start


def peers_table(args):
    names = available(args.contenders or list(CONTENDERS))
    kind, _ = varlix_gradient_sampler()
    print(f"4. NUTS peers: {args.draws} draws after {args.tune} warm-up steps, 4 chains, "
          f"median of {args.repeats} repeats; varlix's gradient sampler: {kind}")
    cols = ["bulk/s", "tail/s", "bulk/1k grad", "R-hat", "bias/sd", "bias/MCSE", "seconds", "div"]
    print(f"{'target':26s} {'contender':24s} {'compile s':>9s} " + " ".join(f"{c:>12s}" for c in cols))
    summary = []
    for tname in args.targets or POSTERIORS + SYNTHETIC:
        target = make(tname)
        inits = target.inits(4, seed=2024)
        compile_s = {n: prime(n, target, inits, args) for n in names}
        rows = {n: [] for n in names}
        for rep in range(args.repeats):
            order = names if rep % 2 == 0 else names[::-1]
            for n in order:
                try:
                    run = CONTENDERS[n](target, inits, args.draws, args.tune, rep + 1, args.max_tree_depth)
                    rows[n].append(measures(target, run))
                except Exception as e:  # a failed run is a result too
                    print(f"{tname:26s} {n:24s} failed: {type(e).__name__}: {str(e)[:90]}")
        for n in names:
            if not rows[n]:
                continue
            med = {c: statistics.median(r[c] for r in rows[n]) for c in cols}
            if compile_s[n] < 0:   # numpyro: first run minus a later one
                compile_s[n] = max(0.0, -compile_s[n] - med["seconds"])
            summary.append((tname, n, med))
            print(f"{tname:26s} {n:24s} {compile_s[n]:9.2f} " + " ".join(_fmt(med[c]) for c in cols))
    ratios(summary)


def _fmt(v):
    if isinstance(v, float) and np.isnan(v):
        return f"{'-':>12s}"
    return f"{v:12.4g}"


def ratios(summary):
    """varlix's bulk ESS/s over each peer's, per target."""
    by = {}
    for tname, n, med in summary:
        by.setdefault(tname, {})[n] = med["bulk/s"]
    print("\n   ratios of bulk ESS/s: varlix (numba form, numpy form) / peer")
    for tname, rates in by.items():
        parts = []
        for peer in ("nutpie numpy", "numpyro NUTS", "blackjax NUTS"):
            if peer in rates and rates[peer] > 0:
                a = rates.get("varlix grad numba", float("nan")) / rates[peer]
                b = rates.get("varlix grad numpy", float("nan")) / rates[peer]
                parts.append(f"{peer.split()[0]} {a:6.2f}x {b:6.2f}x")
        print(f"   {tname:26s} " + "   ".join(parts))
