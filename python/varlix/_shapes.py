"""The ``size`` argument of the distributions' ``rvs``, room for draws, and
point arguments (``x``, ``q``, ``u``...) as the float64 arrays the engine takes."""
from __future__ import annotations

import math
import numbers
import operator

import numpy as np

__all__ = ["empty_array", "empty_draws", "float_array", "size_shape"]

_NOT_REAL = "{name} must be a real number or an array of real numbers"


def float_array(values, name, copy=False, message=_NOT_REAL):
    """``values`` as a C-contiguous float64 array (a copy when asked), or a
    TypeError whose ``message`` names the argument."""
    try:
        if copy:
            return np.array(values, dtype=np.float64, order="C", copy=True)
        return np.asarray(values, dtype=np.float64, order="C")
    except (TypeError, ValueError) as error:
        raise TypeError(message.format(name=name)) from error


def size_shape(size):
    """(shape, or None for one draw; number of draws) of a ``size`` argument."""
    if size is None:
        return None, 1
    if isinstance(size, numbers.Integral) and not isinstance(size, bool):
        shape = (operator.index(size),)
    else:
        try:
            shape = tuple(operator.index(s) for s in size)
        except TypeError:
            raise TypeError(f"size must be None, an int or a tuple of ints, got {size!r}") from None
    if any(s < 0 for s in shape):
        raise ValueError(f"size must be non-negative, got {size!r}")
    return shape, math.prod(shape)


def empty_array(shape, dtype=np.float64):
    """An uninitialized array for draws; a request beyond the machine's
    memory is a MemoryError, as NumPy reports only some of them."""
    try:
        return np.empty(shape, dtype=dtype)
    except (MemoryError, ValueError):
        raise MemoryError(f"cannot allocate {' x '.join(map(str, shape))} draws") from None


def empty_draws(n, d=None):
    """An uninitialized float64 array for n draws (of d coordinates)."""
    return empty_array((n,) if d is None else (n, d))
