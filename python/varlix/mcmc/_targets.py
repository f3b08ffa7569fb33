"""The log-density in the forms the engines call: compiled, of one point, of a batch,
with its gradient or without."""
from __future__ import annotations

import numpy as np

from .. import _functions


# The C signatures a native log-density may carry, as scipy spells them.
_NATIVE_PLAIN = ("double (int, double *)", "double (int, const double *)")
_NATIVE_WITH_DATA = ("double (int, double *, void *)", "double (int, const double *, void *)")


# The C signatures of a compiled log-density for nuts: value and gradient
# together (the gradient written into the third argument), or the value
# alone (then central differences).
_NATIVE_JOINT = ("double (int, double *, double *)",)
_NATIVE_JOINT_WITH_DATA = ("double (int, double *, double *, void *)",)


def _native_spec(f):
    """("native", capsule, owner) for a LowLevelCallable or numba cfunc."""
    compiled = _functions.compiled_function(
        f, _NATIVE_PLAIN + _NATIVE_WITH_DATA, shown=(_NATIVE_PLAIN[0], _NATIVE_WITH_DATA[0]),
        cfunc_label="a compiled log-density", low_level_label="a LowLevelCallable log-density")
    return ("native", compiled.capsule, compiled)


def _point_spec(f, d: int):
    def renew():
        return np.empty(d)

    return ("point", f, renew)


def _batch_spec(f, d: int, capacity: int):
    xs = np.empty((capacity, d))
    ys = np.empty(capacity)
    asarray = np.asarray
    float64 = np.float64

    def evaluate(n):
        # A copy: the function may keep its argument, the buffer is reused.
        try:
            y = asarray(f(xs[:n].copy()), dtype=float64)
        except (TypeError, ValueError) as error:
            if type(error) not in (TypeError, ValueError):
                raise
            raise type(error)(
                f"{error} (the logpdf is taken as vectorized: it was called with {n} points as an array "
                f"of shape ({n}, {d}) and must return shape ({n},); pass vectorized=False for a function "
                f"of one point)"
            ) from error
        if y.shape != (n,):
            raise ValueError(
                f"a vectorized logpdf must return shape ({n},) for {n} points (an array of shape ({n}, {d})), "
                f"got shape {y.shape}; pass vectorized=False for a function of one point"
            )
        ys[:n] = y

    return ("batch", evaluate, xs, ys)


def _gradient_spec(grad, d: int):
    x = np.empty(d)
    g = np.empty(d)
    asarray = np.asarray
    float64 = np.float64

    def evaluate():
        value = asarray(grad(x.copy()), dtype=float64)
        if value.shape != (d,):
            raise ValueError(f"grad must return an array of shape ({d},), got shape {value.shape}")
        g[:] = value

    return ("gradient", evaluate, x, g)


def _is_vectorized(f, x0: np.ndarray) -> bool:
    d = x0.shape[1]
    # k differs from d, so that a function of one point indexing x[0], x[1]
    # (which returns shape (d,) for a batch) is not taken for a vectorized one.
    k = 3 if d != 3 else 2
    probe = np.resize(x0, (k, d))
    try:
        with np.errstate(all="ignore"):
            y = f(probe.copy())
    except Exception:
        return False
    return isinstance(y, np.ndarray) and y.shape == (k,) and y.dtype.kind in "fiu"


def _kind_of(logpdf, x0, vectorized) -> str:
    if _functions.is_native(logpdf):
        return "native"
    if not callable(logpdf):
        raise TypeError(f"logpdf must be callable or a LowLevelCallable, not {type(logpdf).__name__}")
    if vectorized is None:
        vectorized = _is_vectorized(logpdf, x0)
    return "batch" if vectorized else "point"


def _overflow_diverges(f, shape):
    """f, with an arithmetic overflow inside it turned into NaN values (of
    `shape(x)`), which a Hamiltonian trajectory takes as a divergence."""
    def safe(x):
        try:
            return f(x)
        except (OverflowError, FloatingPointError):
            return np.full(shape(x), np.nan)
    return safe


def _native_target(f):
    """The capsule of a compiled log-density for nuts, and whether it writes the gradient."""
    joint = _NATIVE_JOINT + _NATIVE_JOINT_WITH_DATA
    compiled = _functions.compiled_function(
        f, joint + _NATIVE_PLAIN + _NATIVE_WITH_DATA, shown=(_NATIVE_JOINT[0], _NATIVE_PLAIN[0]),
        cfunc_label="a compiled log-density for nuts (writing the gradient into its third argument)",
        low_level_label="a LowLevelCallable log-density for nuts")
    return compiled, compiled.signature in joint


def _scalar_of(value, what: str) -> float:
    if type(value) is float:
        return value
    v = np.asarray(value, dtype=np.float64)
    if v.size != 1:
        raise ValueError(f"{what} must return one number, got shape {v.shape}")
    return float(v.reshape(()))


def _python_target(logpdf, grad, d: int, vectorized: bool):
    """(kind, fn, x, g): fn() evaluates at x, writes the gradient into g and
    returns the value. An arithmetic overflow inside the user's function is
    NaN, which the sampler takes as a divergence."""
    x = np.empty(d)
    g = np.empty(d)
    nan = float("nan")
    asarray = np.asarray
    float64 = np.float64

    def point():
        # A copy: the user's function may keep or change its argument.
        return x[None].copy() if vectorized else x.copy()

    def gradient_into(value):
        value = asarray(value, dtype=float64)
        if value.size != d:
            raise ValueError(f"the gradient must have shape ({d},), got shape {value.shape}")
        g[:] = value.reshape(d)

    if grad is True:
        def fn():
            try:
                out = logpdf(point())
            except (OverflowError, FloatingPointError):
                return nan
            try:
                value, gradient = out
            except (TypeError, ValueError):
                raise TypeError("with grad=True, logpdf must return the pair (log-density, gradient)") from None
            gradient_into(gradient)
            return _scalar_of(value, "logpdf")
        return "python", fn, x, g
    if grad is not None:
        def fn():
            try:
                p = point()
                value = _scalar_of(logpdf(p), "logpdf")
                if value == value and value != -np.inf:
                    gradient_into(grad(p))
            except (OverflowError, FloatingPointError):
                return nan
            return value
        return "python", fn, x, g

    def fn():
        try:
            return _scalar_of(logpdf(point()), "logpdf")
        except (OverflowError, FloatingPointError):
            return nan
    return "python_value", fn, x, g
