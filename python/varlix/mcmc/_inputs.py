"""Checks of the samplers' arguments, and the chains' starting points."""
from __future__ import annotations

import operator

import numpy as np


def _count(value, name: str, minimum: int) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        n = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if n < minimum:
        kind = "a positive" if minimum == 1 else "a non-negative"
        raise ValueError(f"{name} must be {kind} integer, got {n}")
    return n


def _probability(value, name: str) -> float:
    p = float(value)
    if not 0.0 < p < 1.0:
        raise ValueError(f"{name} must lie in (0, 1), got {value!r}")
    return p


def _step_sizes(step_size, chains: int) -> np.ndarray:
    steps = np.asarray(step_size, dtype=np.float64)
    if steps.ndim == 0:
        steps = np.full(chains, float(steps))
    if steps.shape != (chains,):
        raise ValueError(f"step_size must be a number or one per chain, shape ({chains},); got shape {steps.shape}")
    bad = ~(np.isfinite(steps) & (steps > 0))
    if bad.any():
        c = int(np.argmax(bad))
        where = f" (chain {c})" if np.ndim(step_size) else ""
        raise ValueError(f"step_size must be a positive finite number, got {float(steps[c])!r}{where}")
    return steps


def _bounds(bounds, d: int):
    if bounds is None:
        return None, None
    try:
        lo, hi = bounds
    except (TypeError, ValueError):
        raise ValueError("bounds must be None or a pair (lower, upper) of arrays of shape (d,)") from None
    try:
        lo = np.broadcast_to(np.asarray(lo, dtype=np.float64), (d,)).copy()
        hi = np.broadcast_to(np.asarray(hi, dtype=np.float64), (d,)).copy()
    except ValueError:
        raise ValueError(f"bounds must be numbers or arrays of shape ({d},), like x0") from None
    if not (np.all(np.isfinite(lo)) and np.all(np.isfinite(hi))):
        raise ValueError("bounds must be finite; use None for an unbounded coordinate set")
    if np.any(lo >= hi):
        i = int(np.argmax(lo >= hi))
        raise ValueError(f"bounds must have lower < upper, but coordinate {i} has [{lo[i]}, {hi[i]}]")
    return lo, hi


def _starting_points(x0, chains: int, lo, hi) -> np.ndarray:
    x = np.array(x0, dtype=np.float64)
    if x.ndim == 1:
        per_chain = False
        x = np.tile(x, (chains, 1))
    elif x.ndim == 2 and x.shape[0] == chains:
        per_chain = True
    else:
        raise ValueError(f"x0 must be one point (d,) or one per chain ({chains}, d); got shape {np.shape(x0)}")
    if x.shape[1] == 0:
        raise ValueError("x0 must have at least one coordinate")
    for c in range(chains):
        where = f" (chain {c})" if per_chain else ""
        if not np.all(np.isfinite(x[c])):
            raise ValueError(f"x0 must be finite, got {x[c]}{where}")
        if lo is not None and (np.any(x[c] < lo) or np.any(x[c] > hi)):
            raise ValueError(f"x0 lies outside the bounds: {x[c]}{where}")
    return np.ascontiguousarray(x), per_chain


def _check_init(init):
    if init not in (None, "jitter"):
        raise ValueError(f"init must be None or 'jitter', got {init!r}")


def _jittered(x0, generators, lo, hi):
    """Each chain's start moved by a uniform draw in (-2, 2) per coordinate,
    from the chain's own stream (as Stan's default initialisation spreads
    chains); on a box, from the part of that cube inside it."""
    if lo is None:
        return x0 + np.stack([gen.uniform(-2.0, 2.0, size=x0.shape[1]) for gen in generators])
    low, high = np.maximum(x0 - 2.0, lo), np.minimum(x0 + 2.0, hi)
    return np.stack([gen.uniform(a, b) for gen, a, b in zip(generators, low, high)])
