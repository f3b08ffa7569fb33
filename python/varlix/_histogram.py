"""The law of a histogram: piecewise uniform, every quantity in closed form.

Within bin i, [e_i, e_{i+1}), the density is the constant d_i, so the CDF is
the broken line through (e_i, C_i) with C_i the mass left of e_i, and the
quantile function is the same broken line read the other way. NumPy's
``interp`` evaluates both at C speed in one pass over the input.
"""
from __future__ import annotations

import math

import numpy as np

from ._random import as_generator
from ._shapes import empty_draws, size_shape

__all__ = ["HistogramLaw", "histogram_law"]


def _as_vector(value, name):
    try:
        array = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a 1-D array of numbers") from None
    if array.ndim != 1:
        raise ValueError(f"{name} must be 1-D, got an array of shape {array.shape}")
    return array


def histogram_law(edges, counts, density: bool) -> HistogramLaw:
    """Checks a histogram and makes its law."""
    edges = _as_vector(edges, "edges")
    counts = _as_vector(counts, "counts")
    if not isinstance(density, (bool, np.bool_)):
        raise TypeError(f"density must be True or False, got {density!r}")
    if counts.size == 0:
        raise ValueError("counts must have at least one bin")
    if edges.size != counts.size + 1:
        raise ValueError(
            f"edges must have one more entry than counts (got {edges.size} edges for {counts.size} counts)"
        )
    if not np.all(np.isfinite(edges)):
        raise ValueError("edges must be finite")
    with np.errstate(over="ignore"):
        widths = np.diff(edges)
    if not np.all(widths > 0):
        raise ValueError("edges must be strictly increasing")
    if not np.all(np.isfinite(counts)) or np.any(counts < 0):
        raise ValueError("counts must be finite and non-negative")
    _check_widths(edges, widths)
    peak = float(np.max(counts))
    if not peak > 0:
        raise ValueError("counts must have a positive total (every count is 0)")
    return HistogramLaw(edges, _unit_heights(counts, widths, density))


def _check_widths(edges, widths):
    """Every bin's width and its reciprocal (a density's scale) must be finite."""
    with np.errstate(over="ignore", divide="ignore"):
        bad = ~np.isfinite(widths) | ~np.isfinite(1.0 / widths)
    if np.any(bad):
        i = int(np.argmax(bad))
        a, b, w = float(edges[i]), float(edges[i + 1]), float(widths[i])
        why = "its width overflows" if not np.isfinite(w) else "the reciprocal of its width overflows"
        raise ValueError(f"bin {i}, [{a!r}, {b!r}], cannot carry a density: {why} (width {w!r})")


def _unit_heights(counts, widths, density):
    """Densities of unit total mass from non-negative counts, not all 0.

    Where the plain sum stays in range it is used as it always was (seeded
    draws of existing histograms do not move); else the counts are
    normalised by their largest first.
    """
    with np.errstate(over="ignore", under="ignore"):
        heights = counts if density else counts / widths
        mass = float(np.sum(heights * widths))
    if np.finfo(np.float64).tiny < mass < np.inf and np.all(np.isfinite(heights)):
        return heights / mass
    return _normalized_heights(counts / float(np.max(counts)), widths, density)


def _normalized_heights(scaled, widths, density):
    """Densities of unit total mass from counts scaled to a largest of 1.

    Each step stays within double range: a height is at most 1 over its
    width, a mass at most a width, and the masses are summed after division
    by the largest, so neither huge counts nor huge or tiny bins overflow.
    """
    heights = scaled if density else scaled / widths
    masses = heights * widths
    top = float(np.max(masses))
    if not top > 0:
        raise ValueError("counts must have a positive total (every bin's mass underflows to 0)")
    return (heights / top) / float(np.sum(masses / top))


class HistogramLaw:
    """A piecewise-uniform law on the bins ``edges`` with densities ``heights``."""

    def __init__(self, edges, heights):
        self.edges = np.ascontiguousarray(edges, dtype=np.float64)
        self.heights = np.ascontiguousarray(heights, dtype=np.float64)
        widths = np.diff(self.edges)
        masses = self.heights * widths
        self._cumulative = np.concatenate(([0.0], np.cumsum(masses)))
        # The tail masses summed from the right: exactly 0 at the upper end
        # and accurate where the CDF is within rounding of 1.
        self._tail = np.concatenate((np.cumsum(masses[::-1])[::-1], [0.0]))
        # The quantile function's knots. A run of empty bins leaves the CDF
        # flat: its first and last knots stay (the quantile function jumps
        # there, which interpolation over a repeated level reproduces), the
        # knots inside it go.
        c = self._cumulative
        keep = np.ones(c.size, dtype=bool)
        keep[1:-1] = ~((c[:-2] == c[1:-1]) & (c[1:-1] == c[2:]))
        self._q_levels = np.ascontiguousarray(c[keep])
        self._q_edges = np.ascontiguousarray(self.edges[keep])

    # Methods correct for every x (outside the support, NaN): called on whole arrays.
    everywhere = frozenset({"pdf", "cdf", "sf", "logcdf", "logsf"})

    # -- the law's interface (x in the standard coordinates, inside support) --
    def support(self):
        return float(self.edges[0]), float(self.edges[-1])

    def pdf(self, x):
        # The bin that contains x, its left edge included; the upper end of
        # the support belongs to no bin and has density 0.
        # Padded with 0 on both sides: below the support the index is -1 (the
        # last entry), at or above its upper end it is n.
        padded = np.concatenate((self.heights, [0.0, 0.0]))
        out = padded[np.searchsorted(self.edges, x, side="right") - 1]
        out[np.isnan(x)] = np.nan
        return out

    def logpdf(self, x):
        with np.errstate(divide="ignore"):
            return np.log(self.pdf(x))

    def cdf(self, x):
        return np.interp(x, self.edges, self._cumulative)

    def sf(self, x):
        return np.interp(x, self.edges, self._tail)

    def logcdf(self, x):
        with np.errstate(divide="ignore"):
            return np.log(self.cdf(x))

    def logsf(self, x):
        with np.errstate(divide="ignore"):
            return np.log(self.sf(x))

    def ppf(self, q):
        return np.interp(q, self._q_levels, self._q_edges)

    def isf(self, q):
        return self.ppf(1.0 - q)

    def moments(self):
        """(mean, variance, third and fourth central moments, entropy)."""
        a, b, h = self.edges[:-1], self.edges[1:], self.heights
        p = h * (b - a)
        mean = float(np.sum(p * (a + b)) / 2.0)
        # E[(X - m)^k] over a uniform bin is ((b-m)^(k+1) - (a-m)^(k+1)) / ((k+1) (b - a)),
        # written as a sum of products so that no difference of powers cancels.
        da, db = a - mean, b - mean
        central = []
        for k in (2, 3, 4):
            terms = sum(da ** i * db ** (k - i) for i in range(k + 1))
            central.append(float(np.sum(p * terms)) / (k + 1))
        positive = h > 0
        entropy = float(-np.sum(p[positive] * np.log(h[positive])))
        return (mean, *central, entropy)

    def tail_exponents(self):
        """A bounded support: every moment exists."""
        return math.inf, math.inf

    _tail_scale = 1.0

    def partition(self):
        return self.edges

    def rvs(self, size, random_state):
        generator = as_generator(random_state)
        shape, n = size_shape(size)
        u = empty_draws(n)
        if isinstance(generator, np.random.Generator):
            generator.random(out=u)
        else:
            u[:] = generator.random_sample(n)
        x = self.ppf(u)
        return float(x[0]) if shape is None else x.reshape(shape)

    def copula_column(self):
        levels = np.ascontiguousarray(self._q_levels)
        knots = np.ascontiguousarray(self._q_edges)
        return ("histogram", levels, knots)

    def truncate(self, lo, hi):
        lo = max(lo, self.edges[0])
        hi = min(hi, self.edges[-1])
        inner = self.edges[(self.edges > lo) & (self.edges < hi)]
        edges = np.concatenate(([lo], inner, [hi]))
        mids = 0.5 * (edges[:-1] + edges[1:])
        heights = self.pdf(mids)
        with np.errstate(over="ignore"):
            widths = np.diff(edges)
        if not np.any(heights > 0):
            raise ValueError(f"the histogram has no mass in [{lo!r}, {hi!r}]")
        _check_widths(edges, widths)
        return HistogramLaw(edges, _unit_heights(heights, widths, True))

    def describe(self):
        return f"histogram with {self.heights.size} bins on [{self.edges[0]:g}, {self.edges[-1]:g}]"

    def __getstate__(self):
        return {"edges": self.edges, "heights": self.heights}

    def __setstate__(self, state):
        self.__init__(state["edges"], state["heights"])
