"""Univariate distributions from a density, a log-density, a CDF or a histogram.

A :class:`Distribution` keeps the user's function and a numerical-inversion
table of its quantile function: ``ppf``, ``cdf`` and ``rvs`` run at C speed
without calling the user's function, to the table's u-resolution. Moments,
``expect`` and the entropy come from adaptive Gauss–Kronrod quadrature over
a partition at quantiles of the law, each piece refined until its integral
agrees with the mass the table gives it, so that a narrow peak inside a wide
or infinite support is integrated as accurately as a standard normal.
"""
from __future__ import annotations

import math
import numbers

import numpy as np

from . import _engine
from ._functions import function_spec, kind_of
from ._histogram import histogram_law
from ._random import uniform_source
from ._shapes import empty_draws, size_shape

__all__ = ["Distribution", "from_pdf", "from_logpdf", "from_cdf", "from_histogram"]

_INF = math.inf
# Relative accuracy asked of the moment quadrature: far below the u-error of
# the inversion table, so moments are limited by double rounding only.
_QUAD_REL_TOL = 1e-11
# A moment whose quadrature error stays above this fraction of the integral
# of its absolute value did not converge: the moment does not exist. Below
# it the value is kept: the error estimate |K15 - G7| is pessimistic near an
# integrable pole (gamma(1/2) at 0 reports 3e-7 where the moments are right
# to 1e-10).
_DIVERGED = 1e-6
# Quantile levels whose x values partition the support for the quadrature:
# dense in u toward both tails. The mass of each piece is known from the
# table, and the quadrature refines a piece until its integral agrees, so a
# narrow peak the first nodes miss is found all the same.
_PARTITION_LEVELS = np.array(
    [1e-9, 1e-6, 1e-3, 0.02, 0.1, 0.25, 0.5, 0.75, 0.9, 0.98, 1 - 1e-3, 1 - 1e-6, 1 - 1e-9]
)
# The levels the partition is read at, then the quartiles and the median.
_PARTITION_QUERY = np.concatenate(([0.0], _PARTITION_LEVELS, [1.0, 0.25, 0.5, 0.75]))
# Where no center is given, the density is looked at on this grid (scaled
# into the support) and the best point is the center: a mode far from 0 is
# found within a factor of 2.5.
_STEPS = np.outer(10.0 ** np.arange(-3, 7), [1.0, 2.0, 5.0]).ravel()
_CENTER_GRID = np.concatenate((-_STEPS[::-1], [0.0], _STEPS))

# CDF and survival values below this come from quadrature of the tail
# rather than from the table, whose error is absolute (u-resolution).
_TAIL_QUADRATURE_BELOW = 1e-3


# ---------------------------------------------------------------------------
# argument checks
# ---------------------------------------------------------------------------

def _real(value, name):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    return float(value)


def _check_support(support):
    try:
        lo, hi = support
    except (TypeError, ValueError):
        raise TypeError("support must be a pair (lo, hi)") from None
    lo, hi = _real(lo, "support[0]"), _real(hi, "support[1]")
    if math.isnan(lo) or math.isnan(hi) or not lo < hi:
        raise ValueError(f"support must satisfy lo < hi, got ({lo}, {hi})")
    return lo, hi


def _check_loc_scale(loc, scale):
    loc, scale = _real(loc, "loc"), _real(scale, "scale")
    if not math.isfinite(loc):
        raise ValueError(f"loc must be finite, got {loc}")
    if not (math.isfinite(scale) and scale > 0):
        raise ValueError(f"scale must be finite and positive, got {scale}")
    return loc, scale


def _check_u_resolution(u_resolution):
    u = _real(u_resolution, "u_resolution")
    if not 1e-15 <= u <= 1e-5:
        raise ValueError(f"u_resolution must be in [1e-15, 1e-5], got {u}")
    return u


def _check_center(center, lo, hi):
    if center is None:
        return None
    c = _real(center, "center")
    if not (math.isfinite(c) and lo <= c <= hi):
        raise ValueError(f"center must be a finite point of the support [{lo}, {hi}], got {c}")
    return c


def _float_array(values, name):
    """An argument of pdf, cdf, ppf... as a float64 array, or a TypeError naming it."""
    try:
        return np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a real number or an array of real numbers") from None


def _address(array):
    """The data address of a C-contiguous float64 array (cheaper than .ctypes)."""
    return array.__array_interface__["data"][0]


def _bad_value(x, value, what="density"):
    return ValueError(f"{what} value {value!r} at x = {x!r} is not a finite non-negative number")


# ---------------------------------------------------------------------------
# user functions
# ---------------------------------------------------------------------------

class _UserFunction:
    """A user function (Python, vectorized Python or compiled) evaluated on arrays."""

    def __init__(self, f, probe):
        self.f = f
        self.kind = kind_of(f, probe)
        self._spec = None

    @property
    def spec(self):
        if self._spec is None:
            self._spec = function_spec(self.f, kind=self.kind)
        return self._spec

    def __call__(self, x):
        """f at every point of the 1-D float64 array x, as a float64 array."""
        if self.kind == "vector":
            y = np.asarray(self.f(x), dtype=np.float64)
            return np.broadcast_to(y, x.shape).copy() if y.shape != x.shape else y
        if self.kind == "native":
            x = np.ascontiguousarray(x, dtype=np.float64)
            y = np.empty_like(x)
            _engine.evaluate(self.spec, _address(x), _address(y), x.size)
            return y
        return np.fromiter((self.f(float(v)) for v in x), dtype=np.float64, count=x.size)

    def __getstate__(self):
        return {"f": self.f, "kind": self.kind}

    def __setstate__(self, state):
        self.f, self.kind, self._spec = state["f"], state["kind"], None


class _ShiftedExp:
    """exp(logpdf(x) - shift): a log-density made a density near 1 at its peak."""

    def __init__(self, logpdf, shift):
        self.logpdf = logpdf
        self.shift = shift

    def __call__(self, x):
        return np.exp(self.logpdf(x) - self.shift)


# ---------------------------------------------------------------------------
# the inversion tables of the engine
# ---------------------------------------------------------------------------

# Draws per engine call: Ctrl-C is honoured between chunks.
_CHUNK = 1 << 16
# Polynomial order of the density's inversion table (the usual choice for
# PINV: few intervals, cheap evaluation).
_PINV_ORDER = 5
# Hermite interpolation of order 3: the CDF and its slope at each knot.
_HINV_ORDER = 3


class _Table:
    """An engine inversion table (PINV or Hermite) on arrays."""

    def __init__(self, engine, kind):
        self.engine = engine
        self.kind = kind

    @classmethod
    def pinv(cls, pdf_spec, u_resolution, lo, hi, center):
        return cls(_engine.Pinv(pdf_spec, _PINV_ORDER, u_resolution, lo, hi, center), "pinv")

    @classmethod
    def hinv(cls, cdf_spec, pdf_spec, u_resolution, lo, hi, center):
        none = np.empty(0)
        return cls(
            _engine.Hinv(cdf_spec, _HINV_ORDER, u_resolution, lo, hi, center, _address(none), 0, pdf_spec, None),
            "hinv",
        )

    def _map(self, method, values):
        x = np.ascontiguousarray(values, dtype=np.float64)
        out = np.empty_like(x)
        method(_address(x), _address(out), x.size)
        return out

    def ppf(self, u):
        return self._map(self.engine.ppf, u)

    def cdf(self, x):
        return self._map(self.engine.cdf, x)

    def area(self):
        """The integral of the density the table was built from (None for a
        CDF's table: the CDF is normalized)."""
        return self.engine.area() if self.kind == "pinv" else None

    def rvs(self, size, random_state):
        shape, n = size_shape(size)
        source = uniform_source(random_state)
        out = empty_draws(n)
        with source.lock:
            for start in range(0, n, _CHUNK):
                chunk = out[start:start + _CHUNK]
                self.engine.sample(source.capsule, _address(chunk), chunk.size)
        return float(out[0]) if shape is None else out.reshape(shape)

    def to_bytes(self):
        return self.engine.to_bytes()

    def __getstate__(self):
        return {"kind": self.kind, "words": self.engine.to_bytes()}

    def __setstate__(self, state):
        self.kind = state["kind"]
        engine_class = _engine.Pinv if self.kind == "pinv" else _engine.Hinv
        self.engine = engine_class.from_bytes(state["words"])


# ---------------------------------------------------------------------------
# laws in their own coordinates (before loc and scale)
# ---------------------------------------------------------------------------

class _InversionLaw:
    """What a law from a density and one from a CDF share: the table's
    quantiles and CDF, the partition for quadrature, moments and draws."""

    everywhere = frozenset()

    def support(self):
        return self._support

    def ppf(self, q):
        return self._table.ppf(q)

    def isf(self, q):
        return self.ppf(1.0 - q)

    def logcdf(self, x):
        with np.errstate(divide="ignore"):
            return np.log(self.cdf(x))

    def logsf(self, x):
        with np.errstate(divide="ignore"):
            return np.log(self.sf(x))

    def rvs(self, size, random_state):
        return self._table.rvs(size, random_state)

    def copula_column(self):
        return (self._table.kind, self._table.to_bytes()), None

    def _make_partition(self):
        """The quadrature's partition (quantiles at _PARTITION_LEVELS, the
        table's ends and the support's) with the mass of each interval, the
        median and the tail scale, from one pass over the table: made once,
        with the table."""
        lo, hi = self._support
        q = self.ppf(_PARTITION_QUERY)
        xs = np.concatenate(([lo], q[:-3], [hi]))
        levels = np.concatenate(([0.0], _PARTITION_QUERY[:-3], [1.0]))
        # Quantiles that coincide (a level below the table's resolution)
        # merge into the first; their masses join the next interval.
        xs, first = np.unique(xs, return_index=True)
        self._partition = np.ascontiguousarray(xs)
        self._masses = np.ascontiguousarray(np.diff(levels[first]))
        q1, self._median, q3 = (float(v) for v in q[-3:])
        self._tail_scale = q3 - q1 if q3 > q1 else 1.0

    def partition(self):
        return self._partition

    def _moment_integrals(self):
        if self._moments is None:
            breaks = self.partition()
            spec = self._quadrature_spec()
            masses, mass_tol = self._known_masses()
            values, errors, absolute, _, _ = _engine.moment_integrals(
                spec, _address(breaks), breaks.size, self._median, self._tail_scale, _QUAD_REL_TOL,
                _address(masses), mass_tol,
            )
            ok = [e <= _DIVERGED * a for e, a in zip(errors, absolute)]
            if not ok[0] or not values[0] > 0:
                raise ValueError("the integral of the density over the support does not converge")

            self._moments = (values, ok)
        return self._moments

    def _known_masses(self):
        """The integral of the unnormalized density over each interval of the
        partition, as the table knows it, and the tolerance it holds to; a
        zero tolerance when the table does not know the density's scale."""
        area = self._table.area()
        if area is None:
            return self._masses, 0.0
        # Each quantile is within u_resolution of its level; ten times that
        # leaves room for the quadrature's own error.
        return self._masses * area, 10.0 * self._u_resolution * area

    def mass(self):
        """The integral of the unnormalized density (from the moment pass
        when it ran, else from a pass of its own: a law without moments
        should not pay for their divergence to get its pdf)."""
        if self._moments is not None:
            return self._moments[0][0]
        if self._mass is None:
            breaks = self.partition()
            values, errors, absolute, _, _ = _engine.integrate(
                self._quadrature_spec(), _address(breaks), breaks.size, self._tail_scale, _QUAD_REL_TOL
            )
            if errors[0] > _DIVERGED * absolute[0] or not values[0] > 0:
                raise ValueError("the integral of the density over the support does not converge")
            self._mass = values[0]
        return self._mass

    def moments(self):
        (i0, i1, i2, i3), ok = self._moment_integrals()
        mean = self._median + i1 / i0 if ok[1] else math.nan
        var = max(i2 / i0 - (i1 / i0) ** 2, 0.0) if ok[1] and ok[2] else math.nan
        entropy = math.log(i0) - i3 / i0 if ok[3] else math.nan
        return mean, var, entropy


class _DensityLaw(_InversionLaw):
    """A law from a density or a log-density, unnormalized, on a support."""

    _table_kind = "pinv"

    def __init__(self, f, support, *, log, u_resolution, center):
        lo, hi = support
        self._f_user = f
        self._support = support
        self._log = log
        self._u_resolution = u_resolution
        self._moments = None
        self._mass = None
        self._log_spec = None
        probe_lo, probe_hi = _probe_points(lo, hi, center)
        self._f = _UserFunction(f, (probe_lo, probe_hi))
        if self._f.kind == "native" and log:
            raise TypeError("a compiled log-density is not supported; pass a compiled density to from_pdf")
        center, top = self._find_center(center)
        self._center = center
        # The log-density is shifted by its value at the center, so that its
        # exponential is near 1 there whatever the scale of the log values.
        self._shift = top if log else 0.0
        self._table = _Table.pinv(self._quadrature_spec(), u_resolution, lo, hi, center)
        self._make_partition()

    def _values(self, x):
        """The user's function at x (inside the support), checked."""
        y = self._f(x)
        bad = np.isnan(y) | (np.isinf(y) if self._log else ~(np.isfinite(y) & (y >= 0)))
        if self._log:
            bad |= y == _INF
        if np.any(bad):
            i = int(np.argmax(bad))
            raise ValueError(
                f"{'log-density' if self._log else 'density'} value {float(y[i])!r} at x = {float(x[i])!r} "
                f"is not {'a number below +inf' if self._log else 'a finite non-negative number'}"
            )
        return y

    def _find_center(self, center):
        lo, hi = self._support
        if center is not None:
            points = np.array([center])
            values = self._values(points)
        else:
            points = _center_candidates(lo, hi)
            values = self._f(points)
            # The grid is this library's probe, not the user's request: a
            # point where the function misbehaves (an overflow at 1e6, say)
            # is passed over; the setup checks every value it uses.
            valid = ~np.isnan(values) & (values < _INF) if self._log else np.isfinite(values) & (values >= 0)
            if not np.any(valid):
                self._values(points)  # reports the first bad value with its x
            points, values = points[valid], values[valid]
        if self._log:
            finite = values > -_INF
            if not np.any(finite):
                raise ValueError(
                    "the log-density is -inf at every point tried; pass a center where it is finite"
                )
        else:
            finite = values > 0
            if not np.any(finite):
                if center is not None:
                    raise ValueError(f"the density is 0 at center = {center!r}; pass a center where it is positive")
                raise ValueError("the density is 0 at every point tried; pass a center where it is positive")
        best = int(np.argmax(np.where(finite, values, -_INF)))
        return float(points[best]), float(values[best])

    def _quadrature_spec(self):
        if self._log:
            if self._log_spec is None:
                self._log_spec = function_spec(_ShiftedExp(self._f_user, self._shift), kind=self._f.kind)
            return self._log_spec
        return self._f.spec

    def unnormalized_pdf(self, x):
        y = self._values(x)
        return np.exp(y - self._shift) if self._log else y

    def pdf(self, x):
        return self.unnormalized_pdf(x) / self.mass()

    def logpdf(self, x):
        if self._log:
            return self._values(x) - self._shift - math.log(self.mass())
        with np.errstate(divide="ignore"):
            return np.log(self.pdf(x))

    def cdf(self, x):
        u = np.asarray(self._table.cdf(x), dtype=np.float64)
        return self._refine_tails(x, u, lower=True)

    def sf(self, x):
        u = 1.0 - np.asarray(self._table.cdf(x), dtype=np.float64)
        return self._refine_tails(x, u, lower=False)

    def _refine_tails(self, x, p, *, lower):
        """The table's CDF is accurate to u_resolution in absolute terms;
        where the probability is smaller than that allows to trust, the
        tail mass is integrated instead, to full relative accuracy."""
        tail = np.flatnonzero(p < _TAIL_QUADRATURE_BELOW)
        if tail.size:
            p = p.copy()
            for i in tail:
                p[i] = self._tail_mass(float(x[i]), lower)
        return p

    def _tail_mass(self, x, lower):
        lo, hi = self._support
        if (lower and x <= lo) or (not lower and x >= hi):
            return 0.0
        breaks = self.partition()
        inner = breaks[(breaks > lo) & (breaks < x)] if lower else breaks[(breaks > x) & (breaks < hi)]
        ends = np.concatenate(([lo], inner, [x])) if lower else np.concatenate(([x], inner, [hi]))
        ends = np.ascontiguousarray(ends)
        values, _, _, _, _ = _engine.integrate(
            self._quadrature_spec(), _address(ends), ends.size, self._tail_scale, _QUAD_REL_TOL
        )
        return min(values[0] / self.mass(), 1.0)

    def truncate(self, lo, hi):
        return _DensityLaw(
            self._f_user, (lo, hi), log=self._log, u_resolution=self._u_resolution,
            center=self._center if lo <= self._center <= hi else None,
        )

    def describe(self):
        kind = "log-density" if self._log else "density"
        return f"{kind} {_name_of(self._f_user)} on [{self._support[0]:g}, {self._support[1]:g}]"

    def __getstate__(self):
        state = self.__dict__.copy()
        state["_moments"] = None
        state["_log_spec"] = None
        return state


class _CdfLaw(_InversionLaw):
    """A law from a CDF (and optionally its density) by Hermite interpolation
    of the quantile function (Hörmann & Leydold 2003)."""

    _table_kind = "hinv"

    def __init__(self, cdf, support, *, pdf, u_resolution, center):
        lo, hi = support
        self._support = support
        self._cdf_user = cdf
        self._pdf_user = pdf
        self._u_resolution = u_resolution
        self._center = center
        self._moments = None
        self._mass = None
        probe = _probe_points(lo, hi, center)
        self._F = _UserFunction(cdf, probe)
        self._f = _UserFunction(pdf, probe) if pdf is not None else None
        # The CDF's values at the ends of the support: the mass in between is
        # what the law keeps (a truncation of a CDF given on a wider range).
        self._F_lo = float(self._checked_cdf(np.array([lo]))[0]) if math.isfinite(lo) else 0.0
        self._F_hi = float(self._checked_cdf(np.array([hi]))[0]) if math.isfinite(hi) else 1.0
        if not self._F_hi > self._F_lo:
            raise ValueError(f"the CDF does not increase over the support [{lo}, {hi}]")
        center = center if center is not None else _probe_points(lo, hi, None)[0]
        self._table = _Table.hinv(
            function_spec(_ArrayFunction(self.normalized_cdf), kind="vector"),
            function_spec(_ArrayFunction(self.pdf), kind="vector"),
            u_resolution, lo, hi, center,
        )
        self._make_partition()

    def _checked_cdf(self, x):
        y = self._F(x)
        bad = ~np.isfinite(y) | (y < 0) | (y > 1)
        if np.any(bad):
            i = int(np.argmax(bad))
            raise ValueError(f"CDF value {float(y[i])!r} at x = {float(x[i])!r} is not in [0, 1]")
        return y

    def normalized_cdf(self, x):
        return (self._F(x) - self._F_lo) / (self._F_hi - self._F_lo)

    def unnormalized_pdf(self, x):
        if self._f is not None:
            y = self._f(x)
        else:
            y = _derivative(self._F, x, self._support)
        bad = ~(np.isfinite(y) & (y >= 0))
        if np.any(bad):
            i = int(np.argmax(bad))
            raise _bad_value(float(x[i]), float(y[i]))
        return y

    def _quadrature_spec(self):
        return function_spec(_ArrayFunction(self.unnormalized_pdf), kind="vector")

    def pdf(self, x):
        return self.unnormalized_pdf(x) / (self._F_hi - self._F_lo)

    def logpdf(self, x):
        with np.errstate(divide="ignore"):
            return np.log(self.pdf(x))

    def cdf(self, x):
        # The user's CDF is exact where the table is only close.
        return np.clip(self.normalized_cdf(x), 0.0, 1.0)

    def sf(self, x):
        return np.clip((self._F_hi - self._F(x)) / (self._F_hi - self._F_lo), 0.0, 1.0)

    def truncate(self, lo, hi):
        return _CdfLaw(
            self._cdf_user, (lo, hi), pdf=self._pdf_user, u_resolution=self._u_resolution,
            center=self._center if self._center is not None and lo <= self._center <= hi else None,
        )

    def describe(self):
        return f"CDF {_name_of(self._cdf_user)} on [{self._support[0]:g}, {self._support[1]:g}]"

    def __getstate__(self):
        state = self.__dict__.copy()
        state["_moments"] = None
        return state


class _ArrayFunction:
    """A function of arrays that also takes a float (the engine's scalar path)."""

    def __init__(self, f):
        self.f = f

    def __call__(self, x):
        if np.ndim(x) == 0:
            return float(self.f(np.array([x], dtype=np.float64))[0])
        return self.f(np.asarray(x, dtype=np.float64))


def _derivative(F, x, support):
    """dF/dx by central differences, one-sided at the ends of the support."""
    lo, hi = support
    h = np.maximum(np.abs(x), 1.0) * 6e-6  # about the cube root of the double epsilon
    left = np.maximum(x - h, lo)
    right = np.minimum(x + h, hi)
    return (F(right) - F(left)) / (right - left)


def _probe_points(lo, hi, center):
    """Two points inside the support for the vectorization probe."""
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


def _center_candidates(lo, hi):
    """Points spread over the support at every scale, none on its ends."""
    if math.isfinite(lo) and math.isfinite(hi):
        return lo + (hi - lo) * np.linspace(0.01, 0.99, 99)
    if math.isfinite(lo):
        return lo + _STEPS
    if math.isfinite(hi):
        return hi - _STEPS
    return _CENTER_GRID.copy()


def _name_of(f):
    return getattr(f, "__qualname__", None) or getattr(f, "__name__", None) or type(f).__name__


# ---------------------------------------------------------------------------
# the public class
# ---------------------------------------------------------------------------

class Distribution:
    """A univariate continuous distribution, the law of ``loc + scale * X``.

    Made by :func:`from_pdf`, :func:`from_logpdf`, :func:`from_cdf` or
    :func:`from_histogram`. The methods have the names of SciPy's frozen
    distributions and NumPy semantics: they take scalars or array_like and
    return arrays of the broadcast shape (a float for a scalar).

    ``ppf``, ``isf``, ``cdf`` and ``rvs`` come from a numerical-inversion
    table (u-error at most the ``u_resolution`` it was built with) and never
    call the user's function; ``pdf`` calls it at finite points of the
    support only. Moments, ``expect`` and ``entropy`` are computed once by
    adaptive quadrature and kept.
    """

    def __init__(self, law, loc=0.0, scale=1.0):
        self._law = law
        self._loc = float(loc)
        self._scale = float(scale)
        self._summary = None

    # -- coordinates -----------------------------------------------------
    def _standard(self, x):
        return (x - self._loc) / self._scale

    def _pointwise(self, fn, x, below, above, *, nan=math.nan):
        """fn on the standard coordinates of the points inside the support;
        `below` / `above` outside it, NaN for NaN."""
        arr = _float_array(x, "x")
        z = arr.ravel()
        if self._loc != 0.0 or self._scale != 1.0:
            z = self._standard(z)
        lo, hi = self._law.support()
        if getattr(fn, "__self__", None) is self._law and fn.__name__ in self._law.everywhere:
            # The law's own closed form covers every x, NaN and the outside.
            out = fn(z).reshape(arr.shape)
            return float(out) if out.ndim == 0 else out
        if z.size:
            z_min, z_max = z.min(), z.max()
            if lo <= z_min and z_max <= hi and math.isfinite(z_min) and math.isfinite(z_max):
                # Every point finite and inside the support: no masks.
                out = np.asarray(fn(np.ascontiguousarray(z)), dtype=np.float64).reshape(arr.shape)
                return float(out) if out.ndim == 0 else out
        # The user's function sees finite points of the support only; the
        # infinite ends of an infinite support are outside it.
        inside = (z >= lo) & (z <= hi) & np.isfinite(z)
        out = np.where((z < lo) | (z == -_INF), below, above).astype(np.float64)
        out[np.isnan(z)] = nan
        if np.any(inside):
            out[inside] = fn(np.ascontiguousarray(z[inside]))
        out = out.reshape(arr.shape)
        return float(out) if out.ndim == 0 else out

    # -- densities ---------------------------------------------------------
    def pdf(self, x):
        """Probability density at x (normalized, whatever the user's function's scale).

        Raises
        ------
        ValueError
            If the user's function returns a negative, NaN or infinite value.
        """
        return self._pointwise(lambda z: self._law.pdf(z) / self._scale, x, 0.0, 0.0)

    def logpdf(self, x):
        """Log of the probability density at x."""
        log_scale = math.log(self._scale)
        return self._pointwise(lambda z: self._law.logpdf(z) - log_scale, x, -_INF, -_INF)

    def cdf(self, x):
        """P(X <= x)."""
        return self._pointwise(self._law.cdf, x, 0.0, 1.0)

    def sf(self, x):
        """P(X > x)."""
        return self._pointwise(self._law.sf, x, 1.0, 0.0)

    def logcdf(self, x):
        """Log of the CDF."""
        return self._pointwise(self._law.logcdf, x, -_INF, 0.0)

    def logsf(self, x):
        """Log of the survival function."""
        return self._pointwise(self._law.logsf, x, 0.0, -_INF)

    # -- quantiles ---------------------------------------------------------
    def _quantile(self, fn, q, upper_first=False):
        """fn on the levels in [0, 1] (NaN elsewhere), then loc and scale.
        Level 0 is the lower end of the support and 1 the upper (the other
        way round for `upper_first`), as in SciPy."""
        arr = _float_array(q, "q")
        u = np.ascontiguousarray(arr.ravel())
        if u.size and 0.0 <= u.min() and u.max() <= 1.0:
            out = np.asarray(fn(u), dtype=np.float64)
        else:
            valid = (u >= 0) & (u <= 1)
            out = np.full(u.shape, math.nan)
            if np.any(valid):
                out[valid] = fn(np.ascontiguousarray(u[valid]))
        if u.size and (np.any(u == 0.0) or np.any(u == 1.0)):
            lo, hi = self._law.support()
            if upper_first:
                lo, hi = hi, lo
            out = np.where(u == 0.0, lo, np.where(u == 1.0, hi, out))
        if self._loc != 0.0 or self._scale != 1.0:
            out = self._loc + self._scale * out
        out = out.reshape(arr.shape)
        return float(out) if out.ndim == 0 else out

    def ppf(self, q):
        """Quantile function (inverse of ``cdf``); NaN for q outside [0, 1]."""
        return self._quantile(self._law.ppf, q)

    def isf(self, q):
        """Inverse of ``sf``; NaN for q outside [0, 1]."""
        return self._quantile(self._law.isf, q, upper_first=True)

    def median(self):
        """The 0.5 quantile."""
        return self.ppf(0.5)

    def interval(self, confidence):
        """The central interval holding the given probability.

        Parameters
        ----------
        confidence : float
            In [0, 1].

        Returns
        -------
        (float, float)
        """
        c = _real(confidence, "confidence")
        if not 0 <= c <= 1:
            raise ValueError(f"confidence must be in [0, 1], got {c}")
        return self.ppf((1 - c) / 2), self.ppf((1 + c) / 2)

    # -- moments -----------------------------------------------------------
    def _stats(self):
        if self._summary is None:
            self._summary = self._law.moments()
        return self._summary

    def mean(self):
        """The expectation (NaN when it does not exist)."""
        return self._loc + self._scale * self._stats()[0]

    def var(self):
        """The variance (NaN when it does not exist)."""
        return self._scale ** 2 * self._stats()[1]

    def std(self):
        """The standard deviation."""
        return math.sqrt(self.var())

    def entropy(self):
        """The differential entropy, in nats."""
        return self._stats()[2] + math.log(self._scale)

    def expect(self, func=None, lb=None, ub=None):
        """E[func(X); lb <= X <= ub] by adaptive quadrature.

        Parameters
        ----------
        func : callable, optional
            A function of one argument; the identity by default. A function
            that takes arrays is called on whole batches of points.
        lb, ub : float, optional
            The range of integration; the support by default.

        Returns
        -------
        float
            The integral of ``func(x) * pdf(x)`` over [lb, ub] (not divided by
            the probability of that range).
        """
        lo, hi = self.support()
        lb = lo if lb is None else _real(lb, "lb")
        ub = hi if ub is None else _real(ub, "ub")
        if math.isnan(lb) or math.isnan(ub):
            raise ValueError("lb and ub must not be NaN")
        if func is not None and not callable(func):
            raise TypeError(f"func must be callable, got {type(func).__name__}")
        if not lb < ub:
            return 0.0 if lb == ub else -self.expect(func, ub, lb)
        a, b = max(self._standard(lb), self._law.support()[0]), min(self._standard(ub), self._law.support()[1])
        if not a < b:
            return 0.0
        breaks = self._law.partition()
        breaks = np.ascontiguousarray(np.unique(np.concatenate(([a], breaks[(breaks > a) & (breaks < b)], [b]))))
        g = _Integrand(self, func)
        spec = function_spec(g, kind="vector")
        values, errors, absolute, _, _ = _engine.integrate(
            spec, _address(breaks), breaks.size, getattr(self._law, "_tail_scale", 1.0), _QUAD_REL_TOL
        )
        if errors[0] > _DIVERGED * absolute[0]:
            return math.nan
        return values[0]

    # -- support, draws, truncation --------------------------------------------
    def support(self):
        """The ends of the support, after loc and scale."""
        lo, hi = self._law.support()
        return self._loc + self._scale * lo, self._loc + self._scale * hi

    def rvs(self, size=None, random_state=None):
        """Random variates.

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
        x = self._law.rvs(size, random_state)
        if size is None:
            return self._loc + self._scale * float(x)
        x = np.asarray(x, dtype=np.float64)
        if self._loc != 0.0 or self._scale != 1.0:
            x *= self._scale
            x += self._loc
        return x

    def truncate(self, lo, hi):
        """The law conditioned on ``lo <= X <= hi``, as a new distribution.

        Raises
        ------
        ValueError
            If ``lo >= hi`` or the range holds no part of the support.
        """
        lo, hi = _real(lo, "lo"), _real(hi, "hi")
        if math.isnan(lo) or math.isnan(hi) or not lo < hi:
            raise ValueError(f"truncate needs lo < hi, got ({lo}, {hi})")
        a, b = self._law.support()
        za, zb = max(self._standard(lo), a), min(self._standard(hi), b)
        if not za < zb:
            raise ValueError(f"[{lo}, {hi}] holds no part of the support {self.support()}")
        return Distribution(self._law.truncate(za, zb), self._loc, self._scale)

    def _copula_column(self):
        """The engine's spec of this marginal for compiled copula draws, with
        the arrays it points into; None when only ``ppf`` can be used."""
        column = self._law.copula_column()
        if column is None:
            return None
        spec, keep = column
        return spec + (self._loc, self._scale), keep

    # -- presentation, pickling ---------------------------------------------------
    def __repr__(self):
        parts = [self._law.describe()]
        if self._loc != 0.0:
            parts.append(f"loc={self._loc:g}")
        if self._scale != 1.0:
            parts.append(f"scale={self._scale:g}")
        return f"Distribution({', '.join(parts)})"

    def _summary_rows(self):
        """(label, text) pairs: what the law is made from, its support, its
        accuracy and, where the law records it, the ranges it explored."""
        lo, hi = self.support()
        u_resolution = getattr(self._law, "_u_resolution", None)
        accuracy = ("exact (closed form)" if u_resolution is None
                    else f"|F(ppf(u)) - u| <= {u_resolution:g} (u_resolution)")
        rows = [("made from", repr(self)[len("Distribution("):-1]),
                ("support", f"[{lo:g}, {hi:g}]"),
                ("accuracy", accuracy)]
        explored = getattr(self, "explored", None)
        if explored is not None:
            items = list(explored) if isinstance(explored, (list, tuple)) else [explored]
            rows += [("explored" if i == 0 else "", str(item)) for i, item in enumerate(items)]
        return rows

    def summary(self):
        """A short text: what the law is made from, its support, the accuracy
        of its table and, when recorded, the ranges explored to build it.
        Nothing is computed: moments are left to :meth:`mean` and friends.

        Returns
        -------
        str
        """
        rows = self._summary_rows()
        width = max(len(label) for label, _ in rows)
        return "\n".join(f"{label:<{width}}  {text}".rstrip() for label, text in rows)

    def _repr_html_(self):
        import html

        cells = "".join(
            f"<tr><th style='text-align:left'>{html.escape(label)}</th><td style='text-align:left'>"
            f"{html.escape(text)}</td></tr>" for label, text in self._summary_rows()
        )
        return f"<table><caption style='text-align:left'>varlix.Distribution</caption>{cells}</table>"

    def __getstate__(self):
        return {"law": self._law, "loc": self._loc, "scale": self._scale}

    def __setstate__(self, state):
        self.__init__(state["law"], state["loc"], state["scale"])


class _Integrand:
    """func(loc + scale z) * pdf(z) on arrays of standard coordinates z."""

    def __init__(self, dist, func):
        self._dist = dist
        self._func = func
        self._vectorized = func is None or kind_of(func, (0.25, 0.75)) == "vector"

    def _func_values(self, y):
        if self._func is None:
            return y
        if self._vectorized:
            return np.broadcast_to(np.asarray(self._func(y), dtype=np.float64), y.shape)
        return np.fromiter((self._func(float(v)) for v in y), dtype=np.float64, count=y.size)

    def __call__(self, z):
        scalar = np.ndim(z) == 0
        z = np.atleast_1d(np.asarray(z, dtype=np.float64))
        d = self._dist
        y = d._loc + d._scale * z
        values = self._func_values(y) * d._law.pdf(z)
        return float(values[0]) if scalar else values


# ---------------------------------------------------------------------------
# factories
# ---------------------------------------------------------------------------

def from_pdf(pdf, support=(-_INF, _INF), *, loc=0.0, scale=1.0, u_resolution=1e-10, center=None):
    """The distribution with density proportional to ``pdf`` on ``support``.

    Parameters
    ----------
    pdf : callable
        A non-negative function of one float with a finite, positive
        integral over the support; it need not be normalized. A function
        that maps float64 arrays to arrays of the same shape is called on
        whole batches; a ``scipy.LowLevelCallable`` or numba ``cfunc`` with
        the signature ``double (double)`` is called without the interpreter
        lock.
    support : (float, float), optional
        Where the density lives; either end may be infinite.
    loc, scale : float, optional
        The result is the law of ``loc + scale * X``.
    u_resolution : float, optional
        The u-error ``|F(ppf(u)) - u|`` allowed for the inversion table, in
        [1e-15, 1e-5].
    center : float, optional
        A point of the support with clearly positive density (the mode,
        say); searched for when omitted.

    Returns
    -------
    Distribution

    Raises
    ------
    ValueError
        For an invalid argument (the message names it), a density value that
        is negative, NaN or infinite (the message gives x), or a density
        whose integral does not converge.
    varlix.sampling.SetupError
        When the inversion table cannot reach ``u_resolution``.

    Examples
    --------
    >>> import numpy as np, varlix
    >>> d = varlix.from_pdf(lambda x: np.exp(-x**4))
    >>> round(d.var(), 6)
    0.337989
    """
    lo, hi = _check_support(support)
    loc, scale = _check_loc_scale(loc, scale)
    return Distribution(
        _DensityLaw(_callable(pdf, "pdf"), (lo, hi), log=False, u_resolution=_check_u_resolution(u_resolution),
                    center=_check_center(center, lo, hi)),
        loc, scale,
    )


def from_logpdf(logpdf, support=(-_INF, _INF), *, loc=0.0, scale=1.0, u_resolution=1e-10, center=None):
    """The distribution with log-density ``logpdf`` (up to a constant).

    The log-density is shifted by its value at the center before it is
    exponentiated, so log values of -1000 near the mode are fine.

    Parameters
    ----------
    logpdf : callable
        The log of a density, up to an additive constant; it may return
        -inf (zero density) but not +inf or NaN. Python functions only
        (vectorized or not).
    support, loc, scale, u_resolution, center :
        As for :func:`from_pdf`.

    Returns
    -------
    Distribution

    Raises
    ------
    ValueError, varlix.sampling.SetupError
        As for :func:`from_pdf`.

    Examples
    --------
    >>> import varlix
    >>> d = varlix.from_logpdf(lambda x: -1000.0 - x * x)
    >>> round(d.var(), 12)
    0.5
    """
    lo, hi = _check_support(support)
    loc, scale = _check_loc_scale(loc, scale)
    return Distribution(
        _DensityLaw(_callable(logpdf, "logpdf"), (lo, hi), log=True, u_resolution=_check_u_resolution(u_resolution),
                    center=_check_center(center, lo, hi)),
        loc, scale,
    )


def from_cdf(cdf, support=(-_INF, _INF), *, pdf=None, loc=0.0, scale=1.0, u_resolution=1e-10, center=None):
    """The distribution with cumulative distribution function ``cdf``.

    The quantile function is interpolated by cubic Hermite pieces
    (Hörmann & Leydold 2003) checked against ``cdf`` itself; the density
    gives the slopes and comes from ``pdf`` when given, else from central
    differences of ``cdf``.

    Parameters
    ----------
    cdf : callable
        Non-decreasing, from 0 to 1 over the support (a CDF given on a wider
        range is renormalized to the support).
    support : (float, float), optional
    pdf : callable, optional
        The derivative of ``cdf``.
    loc, scale, u_resolution, center :
        As for :func:`from_pdf`.

    Returns
    -------
    Distribution
    """
    lo, hi = _check_support(support)
    loc, scale = _check_loc_scale(loc, scale)
    return Distribution(
        _CdfLaw(_callable(cdf, "cdf"), (lo, hi), pdf=None if pdf is None else _callable(pdf, "pdf"),
                u_resolution=_check_u_resolution(u_resolution), center=_check_center(center, lo, hi)),
        loc, scale,
    )


def from_histogram(edges, counts=None, *, density=False):
    """The piecewise-uniform distribution of a histogram.

    ``from_histogram(np.histogram(data))`` takes NumPy's ``(counts, edges)``
    pair as it is, as ``scipy.stats.rv_histogram`` does. CDF, quantiles and
    moments are exact closed forms evaluated at NumPy speed.

    Parameters
    ----------
    edges : array_like or (counts, edges)
        The n + 1 bin edges, finite and strictly increasing; or, with
        ``counts`` omitted, the pair ``(counts, edges)`` that
        ``np.histogram`` returns.
    counts : array_like, optional
        The n bin counts (or weights), non-negative with a positive sum.
    density : bool, optional
        False: ``counts`` are counts per bin (the density is count / width).
        True: ``counts`` are proportional to the density in each bin.

    Returns
    -------
    Distribution

    Examples
    --------
    >>> import numpy as np, varlix
    >>> d = varlix.from_histogram(np.histogram([0.5, 1.5, 1.7, 2.5], bins=[0, 1, 2, 3]))
    >>> float(d.cdf(1.0))
    0.25
    """
    if counts is None:
        edges, counts = _numpy_histogram(edges)
    return Distribution(histogram_law(edges, counts, density))


def _numpy_histogram(pair):
    """NumPy's (counts, edges) pair, as (edges, counts)."""
    # A pair of numbers is two edges whose counts were forgotten, not a histogram.
    try:
        counts, edges = pair
        is_pair = np.ndim(counts) == 1 and np.ndim(edges) == 1
    except (TypeError, ValueError):
        is_pair = False
    if not is_pair:
        raise TypeError(
            "from_histogram needs counts: pass edges and counts, or the pair (counts, edges) that np.histogram returns"
        )
    return edges, counts


def _callable(f, name):
    if not callable(f) and not _is_native(f):
        raise TypeError(f"{name} must be callable, got {type(f).__name__}")
    return f


def _is_native(f):
    from ._functions import is_native

    return is_native(f)
