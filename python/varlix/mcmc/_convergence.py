"""Whether chains can be trusted: arviz's diagnostics, read into sentences."""
from __future__ import annotations

import warnings

import numpy as np


def _import_arviz():
    try:
        with warnings.catch_warnings():
            # arviz announces its coming refactor on import.
            warnings.simplefilter("ignore", FutureWarning)
            import arviz
    except ImportError as error:
        raise ImportError(
            "this needs arviz, an optional dependency of varlix: pip install 'varlix[mcmc]' (or pip install arviz)"
        ) from error
    return arviz


_RHAT_LIMIT = 1.01
_ESS_PER_CHAIN = 100
_BFMI_LIMIT = 0.3
_WORST_SHOWN = 3


def _worst(values, bad, fmt) -> str:
    order = np.argsort(values)
    if bad == "high":
        order = order[::-1]
    return ", ".join(f"x[{i}] ({fmt(values[i])})" for i in order[:_WORST_SHOWN])


def _convergence_problems(result) -> list:
    az = _import_arviz()
    _, data = result._posterior()
    found = []
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        rhat = np.asarray(az.rhat(data)["x"].values, dtype=np.float64) if result.chains > 1 else None
        bulk = np.asarray(az.ess(data, method="bulk")["x"].values, dtype=np.float64)
        tail = np.asarray(az.ess(data, method="tail")["x"].values, dtype=np.float64)
    if rhat is not None:
        bad = ~(rhat <= _RHAT_LIMIT)
        if bad.any():
            found.append(f"R-hat above {_RHAT_LIMIT} for {int(bad.sum())} of {rhat.size} coordinates, worst "
                         f"{_worst(np.nan_to_num(rhat, nan=np.inf), 'high', lambda v: f'{v:.4f}')}: the chains "
                         "disagree; run longer or reparametrise")
    need = _ESS_PER_CHAIN * result.chains
    for name, ess in (("bulk", bulk), ("tail", tail)):
        bad = ~(ess >= need)
        if bad.any():
            found.append(f"{name} ESS below {_ESS_PER_CHAIN} per chain ({need}) for {int(bad.sum())} of "
                         f"{ess.size} coordinates, worst {_worst(np.nan_to_num(ess), 'low', lambda v: f'{v:.0f}')}")
    stats = result.stats
    n = int(stats["diverging"].sum()) if "diverging" in stats else int(np.sum(result.divergent))
    if n:
        found.append(f"{n} divergent transitions after warm-up: the sampler missed part of the posterior; "
                     "raise target_accept or reparametrise")
    if "tree_depth" in stats and result._max_tree_depth is not None:
        hit = int((stats["tree_depth"] >= result._max_tree_depth).sum())
        if hit:
            found.append(f"{hit} transitions reached max_tree_depth={result._max_tree_depth}: trajectories "
                         "were cut short")
    if "energy" in stats:
        energy = stats["energy"]
        with np.errstate(all="ignore"):
            bfmi = np.square(np.diff(energy, axis=1)).mean(axis=1) / np.var(energy, axis=1)
        low = np.flatnonzero(bfmi < _BFMI_LIMIT)
        if low.size:
            found.append(f"low BFMI (below {_BFMI_LIMIT}) in chains {low.tolist()}: the momentum resampling "
                         "explores the energy poorly; reparametrise")
    return found
