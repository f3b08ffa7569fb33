"""How the engine calls a user's function.

Each function is classified once, when a generator is built:

* ``native``: a ``scipy.LowLevelCallable`` (a numba ``cfunc`` wrapped with
  ``LowLevelCallable(f.ctypes)``, say) or a numba ``cfunc`` itself, with the C
  signature ``double (double)`` or ``double (double, void *)``. The engine calls
  the C function directly, without the interpreter lock.
* ``vector``: a function that maps a float64 array to an array of the same
  shape (NumPy ufunc style). The engine evaluates it on whole batches of
  points in one call each.
* ``scalar``: any other callable, called with one float at a time.

The result is a spec tuple the engine understands (see
``python/engine/function.hpp``).
"""
from __future__ import annotations

import ctypes
import numbers
import sys

import numpy as np

__all__ = ["batch_values", "function_spec", "is_native", "kind_of", "point_value"]

_PLAIN = "double (double)"
_WITH_DATA = "double (double, void *)"


def _low_level_callable_type():
    # Only look for SciPy's class when SciPy is already loaded: a user who
    # made a LowLevelCallable has imported it.
    if "scipy" not in sys.modules:
        return None
    try:
        from scipy import LowLevelCallable
    except ImportError:  # pragma: no cover - a broken SciPy install
        return None
    return LowLevelCallable


def _is_numba_cfunc(f) -> bool:
    return type(f).__name__ == "CFunc" and type(f).__module__.startswith("numba") and hasattr(f, "ctypes")


_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


def _cfunc_spec(f):
    """A numba cfunc as a native spec: its address under its C signature."""
    fn = f.ctypes
    args = tuple(fn.argtypes or ())
    if fn.restype is not ctypes.c_double or args not in ((ctypes.c_double,), (ctypes.c_double, ctypes.c_void_p)):
        raise ValueError(
            f"a compiled function must have the signature '{_PLAIN}' or '{_WITH_DATA}'"
        )
    name = _PLAIN if len(args) == 1 else _WITH_DATA
    # The capsule's name must outlive it: keep the bytes in the description.
    name_bytes = name.encode()
    capsule = _capsule_new(f.address, name_bytes, None)
    return ("native", capsule, None, (f, name_bytes))


def is_native(f) -> bool:
    llc = _low_level_callable_type()
    return (llc is not None and isinstance(f, llc)) or _is_numba_cfunc(f)


def _what(value) -> str:
    """How a message names a returned value that is not what was expected."""
    if value is None:
        return "None"
    if isinstance(value, np.ndarray):
        return f"an array of shape {value.shape} and dtype {value.dtype}"
    if isinstance(value, (numbers.Number, np.generic)):
        return f"the single number {value!r}"
    return f"a value of type {type(value).__name__}"


def batch_values(y, x):
    """A vectorized function's result ``y`` for the points ``x``, as float64.

    Only an array of real numbers of x's own shape is accepted: a scalar or
    a length-1 array is not broadcast (a function that ignores its input's
    shape is not vectorized), and None or strings are not read as NaN.
    """
    array = y
    if not isinstance(y, np.ndarray) and isinstance(y, (list, tuple)):
        try:
            array = np.asarray(y)
        except ValueError:  # a ragged sequence
            array = y
    if isinstance(array, np.ndarray) and array.dtype.kind in "fiub" and array.shape == x.shape:
        return array.astype(np.float64, copy=False)
    where = f" (x from {float(np.min(x))!r} to {float(np.max(x))!r})" if x.size else ""
    # Numbers of the wrong shape are a wrong value; anything else a wrong type.
    numeric = isinstance(array, (np.ndarray, numbers.Number, np.generic)) and np.asarray(array).dtype.kind in "fiub"
    raise (ValueError if numeric else TypeError)(
        f"a vectorized function returned {_what(array)} for points of shape {x.shape}{where}; "
        f"expected a float array of shape {x.shape}"
    )


def point_value(y, x):
    """A function's result ``y`` at the one point ``x``, as a float."""
    if isinstance(y, (float, int)) and not isinstance(y, bool):
        return float(y)
    if y is not None and not isinstance(y, (str, bytes)) and np.ndim(y) == 0:
        try:
            return float(y)
        except (TypeError, ValueError):
            pass
    # Python's own phrase for the same fault ("must be real number, not list") ends the message.
    raise TypeError(f"the function returned {_what(y)} at x = {x!r}; expected a single real number: "
                    f"must be real number, not {type(y).__name__}")


def _vector_trampoline(f):
    """Evaluates ``f`` on a batch the engine holds in C memory.

    The input is copied, so that the user's function never holds a view of
    engine memory; the output view is used within one statement and dropped.
    """
    frombuffer = np.frombuffer
    float64 = np.float64

    def run(x_view, y_view):
        x = frombuffer(x_view, dtype=float64).copy()
        frombuffer(y_view, dtype=float64)[:] = batch_values(f(x), x)

    return run


def _is_vectorized(f, probe) -> bool:
    x = np.asarray(probe, dtype=np.float64)
    try:
        y = f(x)
    except Exception:
        return False
    return isinstance(y, np.ndarray) and y.shape == x.shape and y.dtype.kind in "fiub"


def kind_of(f, probe=(0.25, 0.75)) -> str:
    """"native", "vector" or "scalar"; ``probe`` are two points of the domain."""
    if is_native(f):
        return "native"
    return "vector" if _is_vectorized(f, probe) else "scalar"


def function_spec(f, probe=(0.25, 0.75), kind=None):
    """The engine's spec for ``f``.

    ``probe`` holds points inside the function's domain for the vectorization
    test (a call with them as one float64 array); ``kind`` forces a kind
    instead ("scalar" or "vector").
    """
    if not callable(f) and not is_native(f):
        raise TypeError(f"expected a callable, got {type(f).__name__}")
    kind = kind or kind_of(f, probe)
    if kind == "native":
        if _is_numba_cfunc(f):
            return _cfunc_spec(f)
        # A LowLevelCallable is the tuple (capsule, function, user_data); the
        # capsule carries the C signature as its name.
        return ("native", tuple.__getitem__(f, 0), f.user_data, f)
    if kind == "vector":
        return ("vector", f, _vector_trampoline(f))
    return ("scalar", f)
