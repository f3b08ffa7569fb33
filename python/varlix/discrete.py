"""A discrete law on finitely many points, from its probability mass function."""
from __future__ import annotations

import math

import numpy as np

from . import sampling
from ._random import as_generator
from ._shapes import empty_draws, float_array, size_shape

__all__ = ["DiscreteDistribution", "from_pmf"]


def _vector(value, name):
    try:
        array = np.array(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a 1-D array of numbers") from None
    if array.ndim != 1:
        raise ValueError(f"{name} must be 1-D, got an array of shape {array.shape}")
    return array


def from_pmf(points, pmf) -> DiscreteDistribution:
    """The discrete distribution that puts mass ``pmf[i]`` on ``points[i]``.

    Parameters
    ----------
    points : array_like
        The support points: finite, distinct, in any order.
    pmf : array_like
        Non-negative weights, one per point, with a positive sum; they are
        normalized to probabilities.

    Returns
    -------
    DiscreteDistribution

    Raises
    ------
    ValueError
        If the arrays differ in length, are empty, a point is repeated or
        not finite, or a weight is negative, not finite, or all are zero.

    Examples
    --------
    >>> import varlix
    >>> die = varlix.from_pmf([1, 2, 3, 4, 5, 6], [1] * 6)
    >>> die.mean(), die.cdf(3)
    (3.5, 0.5)
    """
    points = _vector(points, "points")
    weights = _vector(pmf, "pmf")
    if points.size != weights.size:
        raise ValueError(f"points and pmf must have the same length, got {points.size} and {weights.size}")
    if points.size == 0:
        raise ValueError("points must not be empty")
    if not np.all(np.isfinite(points)):
        raise ValueError("points must be finite")
    if not np.all(np.isfinite(weights)) or np.any(weights < 0):
        raise ValueError("pmf must be finite and non-negative")
    total = math.fsum(weights)
    if not total > 0:
        raise ValueError("pmf must have a positive sum")
    order = np.argsort(points, kind="stable")
    points = points[order]
    if np.any(points[1:] == points[:-1]):
        repeated = points[1:][points[1:] == points[:-1]][0]
        raise ValueError(f"points must be distinct, {float(repeated)!r} appears more than once")
    return DiscreteDistribution(points, weights[order] / total)


class DiscreteDistribution:
    """A probability distribution on finitely many points.

    Made by :func:`varlix.from_pmf`. Methods take scalars or array_like and
    return arrays of the input's shape (a float for a scalar), with the names
    of SciPy's frozen distributions.

    Attributes
    ----------
    points : ndarray
        The support points, ascending.
    probabilities : ndarray
        Their probabilities, summing to 1.
    """

    def __init__(self, points, probabilities):
        self._points = np.ascontiguousarray(points, dtype=np.float64)
        self._probabilities = np.ascontiguousarray(probabilities, dtype=np.float64)
        self._points.flags.writeable = False
        self._probabilities.flags.writeable = False
        self._cdf = np.minimum(np.cumsum(self._probabilities), 1.0)
        self._cdf[-1] = 1.0
        # The upper tail summed from the right keeps sf accurate where the
        # CDF is within rounding of 1.
        self._sf = np.concatenate((np.cumsum(self._probabilities[::-1])[::-1][1:], [0.0]))
        self._sampler = None

    @property
    def points(self):
        """The support points, ascending (read-only array)."""
        return self._points

    @property
    def probabilities(self):
        """The probability of each point (read-only array, sums to 1)."""
        return self._probabilities

    def _index_at_or_below(self, x):
        return np.searchsorted(self._points, x, side="right") - 1

    def pmf(self, k):
        """Probability mass at ``k`` (0 away from the points)."""
        x = float_array(k, "k")
        index = np.clip(np.searchsorted(self._points, x), 0, self._points.size - 1)
        out = np.where(self._points[index] == x, self._probabilities[index], 0.0)
        out = np.where(np.isnan(x), np.nan, out)
        return _shaped(out, k)

    def cdf(self, k):
        """P(X <= k)."""
        x = float_array(k, "k")
        index = self._index_at_or_below(x)
        out = np.where(index >= 0, self._cdf[np.maximum(index, 0)], 0.0)
        out = np.where(np.isnan(x), np.nan, out)
        return _shaped(out, k)

    def sf(self, k):
        """P(X > k)."""
        x = float_array(k, "k")
        index = self._index_at_or_below(x)
        out = np.where(index >= 0, self._sf[np.maximum(index, 0)], 1.0)
        out = np.where(np.isnan(x), np.nan, out)
        return _shaped(out, k)

    def ppf(self, q):
        """The smallest point k with P(X <= k) >= q.

        As in SciPy, ``ppf(0)`` is one below the first point and ``q`` outside
        [0, 1] gives NaN.
        """
        u = float_array(q, "q")
        index = np.minimum(np.searchsorted(self._cdf, u, side="left"), self._points.size - 1)
        out = self._points[index]
        out = np.where(u == 0, self._points[0] - 1.0, out)
        out = np.where((u >= 0) & (u <= 1), out, np.nan)
        return _shaped(out, q)

    def mean(self):
        """The expectation."""
        return float(np.dot(self._probabilities, self._points))

    def var(self):
        """The variance."""
        d = self._points - self.mean()
        return float(np.dot(self._probabilities, d * d))

    def std(self):
        """The standard deviation."""
        return math.sqrt(self.var())

    def support(self):
        """The smallest and the largest point."""
        return float(self._points[0]), float(self._points[-1])

    def rvs(self, size=None, random_state=None):
        """Draws from a guide table (Chen & Asau 1974).

        Parameters
        ----------
        size : int or tuple of ints, optional
            Output shape; ``None`` returns one float.
        random_state : {None, int, SeedSequence, Generator, RandomState}, optional
            Source of the uniforms, as in :mod:`varlix.sampling`; ``None`` is
            NumPy's global ``RandomState``.

        Returns
        -------
        float or ndarray
        """
        shape, n = size_shape(size)
        empty_draws(n)  # refuses a size beyond memory before any draw
        if self._sampler is None:
            self._sampler = sampling.DiscreteGuideTable(self._probabilities)
        index = self._sampler.rvs(shape, random_state=as_generator(random_state))
        if shape is None:
            return float(self._points[int(index)])
        # Through a flat index: a 0-d index would give a NumPy scalar, not an array of shape ().
        return self._points[np.asarray(index, dtype=np.intp).reshape(-1)].reshape(shape)

    def __repr__(self):
        lo, hi = self.support()
        return f"DiscreteDistribution({self._points.size} points on [{lo:g}, {hi:g}], mean={self.mean():.6g})"

    def __reduce__(self):
        return (DiscreteDistribution, (self._points.copy(), self._probabilities.copy()))


def _shaped(out, like):
    """A float for a scalar input, the array otherwise."""
    return float(out) if np.ndim(like) == 0 else out
