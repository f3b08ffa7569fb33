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
import math
import numbers
import sys
from collections import namedtuple

import numpy as np

__all__ = ["CompiledFunction", "batch_values", "compiled_function", "function_spec", "is_native", "kind_of",
           "point_value", "probe_points"]

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


# A compiled user function as the engine takes it: a capsule named by its C
# signature, the user data (None, or what a LowLevelCallable carries), and the
# object that keeps the code and the capsule's name alive.
CompiledFunction = namedtuple("CompiledFunction", "capsule signature user_data owner")

_C_NAMES = {ctypes.c_double: "double", ctypes.c_int: "int", ctypes.c_void_p: "void *"}


def _c_name(t) -> str:
    if t in _C_NAMES:
        return _C_NAMES[t]
    if isinstance(t, type) and issubclass(t, ctypes._Pointer) and t._type_ in _C_NAMES:
        return _C_NAMES[t._type_] + " *"
    return getattr(t, "__name__", repr(t))


def compiled_function(f, signatures, *, shown=None, cfunc_label="a compiled function",
                      low_level_label=None) -> CompiledFunction:
    """The one reading of a compiled user function (a numba ``cfunc`` or a
    ``scipy.LowLevelCallable``), checked against the C ``signatures`` the
    caller accepts, e.g. ``("double (double)", "double (double, void *)")``.

    A cfunc's signature is read from its ctypes prototype; a wrong one is a
    ValueError "{cfunc_label} must have the signature ...", naming the
    ``shown`` signatures (default: all). A LowLevelCallable's is its own;
    it is checked here only when ``low_level_label`` is given (otherwise the
    engine checks it when it takes the capsule).
    """
    quoted = " or ".join(f"'{s}'" for s in (shown or signatures))
    if _is_numba_cfunc(f):
        fn = f.ctypes
        signature = f"{_c_name(fn.restype)} ({', '.join(_c_name(a) for a in fn.argtypes or ())})"
        if signature not in signatures:
            raise ValueError(f"{cfunc_label} must have the signature {quoted}")
        # The capsule's name must outlive it: the bytes travel in the owner.
        name = signature.encode()
        return CompiledFunction(_capsule_new(f.address, name, None), signature, None, (f, name))
    signature = f.signature
    if low_level_label is not None and signature not in signatures:
        raise ValueError(f"{low_level_label} must have the signature {quoted}, not '{signature}'")
    # A LowLevelCallable is the tuple (capsule, function, user_data); the
    # capsule carries the C signature as its name.
    return CompiledFunction(tuple.__getitem__(f, 0), signature, f.user_data, f)


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


def probe_points(lo, hi, center=None):
    """Two points inside (lo, hi) for the vectorization probe (`kind_of`):
    the center when it lies inside, else a point near an end or at a quarter
    of a finite domain, and a second point half a unit on or at three
    quarters. The laws of varlix also start their search for mass at the
    first when no center is given."""
    if center is not None and lo < center < hi:
        a = center
    elif math.isfinite(lo) and math.isfinite(hi):
        a = lo + 0.25 * (hi - lo)
    elif math.isfinite(lo):
        a = lo + 1.0
    elif math.isfinite(hi):
        a = hi - 1.0
    else:
        a = 0.0
    if math.isfinite(lo) and math.isfinite(hi):
        b = lo + 0.75 * (hi - lo)
    elif math.isfinite(hi):
        b = hi - 0.5
    else:
        b = a + 0.5
    return (a, b) if a != b else (a, (a + hi) / 2 if math.isfinite(hi) else a + 1)


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
        compiled = compiled_function(f, (_PLAIN, _WITH_DATA))
        return ("native", compiled.capsule, compiled.user_data, compiled.owner)
    if kind == "vector":
        return ("vector", f, _vector_trampoline(f))
    return ("scalar", f)
