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

import contextlib
import math
import numbers
import warnings

import numpy as np

from . import _discovery, _engine
from ._checks import CdfWatch, check_log_scale, check_width, scan_cdf
from ._functions import batch_values, function_spec, kind_of, point_value, probe_points
from ._histogram import histogram_law
from ._random import fill, uniform_source
from ._shapes import empty_draws, float_array, size_shape

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

# A tail mass of a user CDF below this may be mostly rounding (1 - F(x)
# with F near 1, or 0.5 + g(x) with g near -0.5).
_RESOLVED_TAIL = 1e-12

# A density whose value at its center lies outside this range is divided by
# that value before a table is built from it; inside it the user's function
# is used as it is (and draws stay what they were).
_RESCALE_BELOW, _RESCALE_ABOVE = 1e-50, 1e50

# CDF and survival values below this come from quadrature of the tail
# rather than from the table, whose error is absolute (u-resolution).
_TAIL_QUADRATURE_BELOW = 1e-3


# The moments kept with a law: up to the fourth (the kurtosis).
_MAX_ORDER = 4
# A moment of order n converges on a side whose density decays like
# |x|^-alpha when alpha > n + 1. A tail within this margin of the limit is
# taken as divergent: the shell fit reads alpha to a few thousandths, and a
# moment so close to diverging (t with 2.01 degrees of freedom has variance
# 201) is beyond what quadrature of its tail can give anyway.
_CONVERGENCE_MARGIN = 0.02


class _Verdict:
    """What the tails say of one moment: converges, unknown (the density
    could not be followed), or diverges to a value (+inf, -inf, or NaN when
    the two sides diverge with opposite signs)."""

    CONVERGES = "converges"
    UNKNOWN = "unknown"


def _order_verdicts(exponents):
    """The verdict on E[X^n] for n = 0 .. _MAX_ORDER from the tail exponents."""
    return [_verdict(exponents, n) for n in range(_MAX_ORDER + 1)]


def _verdict(exponents, n):
    left, right = exponents
    limit = n + 1 + _CONVERGENCE_MARGIN
    signs = []
    if not left > limit and not math.isnan(left):
        signs.append(-1.0 if n % 2 else 1.0)
    if not right > limit and not math.isnan(right):
        signs.append(1.0)
    if signs:
        return math.nan if len(set(signs)) > 1 else signs[0] * _INF
    if math.isnan(left) or math.isnan(right):
        return _Verdict.UNKNOWN
    return _Verdict.CONVERGES


def _diverges(verdict):
    return isinstance(verdict, float)


def _moment_value(value, verdict, quadrature_ok, what):
    """A moment from its quadrature, unless the tails say it diverges; with
    no word from the tails, a quadrature that did not settle means the
    moment does not exist. One that exists but did not settle is given
    with a warning: it is the best estimate, not a checked one."""
    if _diverges(verdict):
        return verdict
    if not quadrature_ok:
        if verdict is _Verdict.UNKNOWN:
            return math.nan
        warnings.warn(
            f"the {what} exists (the tails decay fast enough) but its quadrature did not reach "
            f"a relative error of {_DIVERGED:g}; the value is an estimate", RuntimeWarning, stacklevel=4,
        )
    return float(value)


def _central_moments(center, m):
    """(mean, variance, third, fourth central moment) from the moments m[n]
    about `center`, by scipy's conventions: a mean that diverges on one side
    is that infinity and the variance is +inf; an undefined mean (both sides
    diverge) makes every higher moment NaN; a divergent moment is +inf when
    even, NaN when odd (its sign is not defined once centred)."""
    m1 = m[1]
    if math.isnan(m1):
        return math.nan, math.nan, math.nan, math.nan
    if math.isinf(m1):
        return m1, _INF, math.nan, math.nan
    mean = center + m1
    if not math.isfinite(m[2]):
        return mean, m[2], math.nan, math.nan
    var = max(m[2] - m1 * m1, 0.0)
    mu3 = m[3] - 3 * m1 * m[2] + 2 * m1 ** 3 if math.isfinite(m[3]) else math.nan
    if math.isfinite(m[4]) and math.isfinite(m[3]):
        mu4 = m[4] - 4 * m1 * m[3] + 6 * m1 * m1 * m[2] - 3 * m1 ** 4
    else:
        mu4 = m[4] if m[4] == _INF else math.nan
    return mean, var, mu3, mu4


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
            return batch_values(self.f(x), x)
        if self.kind == "native":
            x = np.ascontiguousarray(x, dtype=np.float64)
            y = np.empty_like(x)
            _engine.evaluate(self.spec, x, y)
            return y
        f = self.f
        return np.fromiter((point_value(f(v), v) for v in x.tolist()), dtype=np.float64, count=x.size)

    def __getstate__(self):
        return {"f": self.f, "kind": self.kind}

    def __setstate__(self, state):
        self.f, self.kind, self._spec = state["f"], state["kind"], None


class _Scaled:
    """values(x) / divisor: a density brought near 1 at its center."""

    def __init__(self, values, divisor):
        self.values = values
        self.divisor = divisor

    def __call__(self, x):
        return self.values(x) / self.divisor


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
        return cls(_engine.Hinv(cdf_spec, _HINV_ORDER, u_resolution, lo, hi, center, none, pdf_spec, None), "hinv")

    def _map(self, method, values):
        x = np.ascontiguousarray(values, dtype=np.float64)
        out = np.empty_like(x)
        method(x, out)
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
        fill(self.engine.sample, out, source)
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
        return (self._table.kind, self._table.to_bytes())

    def _make_partition(self):
        """The quadrature's partition (quantiles at _PARTITION_LEVELS, the
        table's ends and the support's) with the mass of each interval, the
        median and the tail scale, from one pass over the table: made once,
        with the table."""
        lo, hi = self._support
        q = self.ppf(_PARTITION_QUERY)
        xs = np.concatenate(([lo], q[:-3], [hi]))
        levels = np.concatenate(([0.0], _PARTITION_QUERY[:-3], [1.0]))
        extra = self._partition_edges()
        if extra.size:
            # The edges of a joined table's parts keep a spike or a far
            # mode inside intervals of its own for the quadrature too.
            xs = np.concatenate((xs, extra))
            levels = np.concatenate((levels, self._table.cdf(extra)))
            order = np.argsort(xs, kind="stable")
            xs, levels = xs[order], np.maximum.accumulate(levels[order])
        # Quantiles that coincide (a level below the table's resolution)
        # merge into the first; their masses join the next interval.
        xs, first = np.unique(xs, return_index=True)
        self._partition = np.ascontiguousarray(xs)
        self._masses = np.ascontiguousarray(np.diff(levels[first]))
        q1, self._median, q3 = (float(v) for v in q[-3:])
        self._tail_scale = q3 - q1 if q3 > q1 else 1.0

    def partition(self):
        return self._partition

    def tail_exponents(self):
        """(left, right): the density decays like |x|^-alpha on each side;
        inf on a finite end or a tail lighter than every power, NaN where the
        function could not be followed far enough to tell."""
        if self._exponents is None:
            lo, hi = self._support
            # The shells start one spread from the median and grow by e each
            # (core/src/continuous/tail_exponent.hpp): wherever the table
            # happens to end, they reach 1e20 spreads out.
            spec = self._tail_spec()
            m, s = self._median, self._tail_scale
            # The walk goes far on purpose, and a function that overflows
            # out there only ends it: NumPy's warnings there are not the
            # user's concern.
            with np.errstate(all="ignore"):
                left = _engine.tail_exponent(spec, m, -1.0, s) if lo == -_INF else _INF
                right = _engine.tail_exponent(spec, m, 1.0, s) if hi == _INF else _INF
            self._exponents = (left, right)
        return self._exponents

    def _tail_spec(self):
        return self._quadrature_spec()

    def _partition_edges(self):
        return np.empty(0)

    def _moment_integrals(self):
        if self._moments is None:
            verdicts = _order_verdicts(self.tail_exponents())
            if _diverges(verdicts[0]):
                raise ValueError("the integral of the density over the support does not converge")
            # The orders whose integrals are worth refining: not known to diverge.
            orders = next((n - 1 for n in range(1, _MAX_ORDER + 1) if _diverges(verdicts[n])), _MAX_ORDER)
            breaks = self.partition()
            spec = self._quadrature_spec()
            masses, mass_tol = self._known_masses()
            values, errors, absolute, _, _ = _engine.moment_integrals(
                spec, breaks, self._median, orders, self._tail_scale, _QUAD_REL_TOL, masses, mass_tol,
            )
            quadrature_ok = [e <= _DIVERGED * a for e, a in zip(errors, absolute)]
            if (verdicts[0] is _Verdict.UNKNOWN and not quadrature_ok[0]) or not values[0] > 0:
                raise ValueError("the integral of the density over the support does not converge")
            about_median = [
                _moment_value(values[n] / values[0], verdicts[n], quadrature_ok[n], f"moment of order {n}")
                for n in range(_MAX_ORDER + 1)
            ]
            entropy_ok = verdicts[0] is _Verdict.CONVERGES or quadrature_ok[-1]
            entropy = math.log(values[0]) - values[-1] / values[0] if entropy_ok else math.nan
            self._moments = (values[0], about_median, entropy)
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
        when it ran, else from a pass of its own for the mass alone; both
        hold each interval of the partition to the mass the table gives it,
        which the error estimate alone does not: a power-law tail over a
        finite interval of width 1e17 fools K15 and G7 alike)."""
        if self._moments is not None:
            return self._moments[0]
        if self._mass is None:
            breaks = self.partition()
            masses, mass_tol = self._known_masses()
            values, errors, absolute, _, _ = _engine.moment_integrals(
                self._quadrature_spec(), breaks, self._median, 0, self._tail_scale, _QUAD_REL_TOL, masses,
                mass_tol,
            )
            if errors[0] > _DIVERGED * absolute[0] or not values[0] > 0:
                raise ValueError("the integral of the density over the support does not converge")
            self._mass = values[0]
        return self._mass

    def moments(self):
        _, about_median, entropy = self._moment_integrals()
        return _central_moments(self._median, about_median) + (entropy,)


class _DensityLaw(_InversionLaw):
    """A law from a density or a log-density, unnormalized, on a support."""

    _divisor = 1.0

    def __init__(self, f, support, *, log, u_resolution, center):
        lo, hi = support
        self._f_user = f
        self._support = support
        self._log = log
        self._u_resolution = u_resolution
        self._moments = None
        self._exponents = None
        self._mass = None
        self._log_spec = None
        self._walked = {}  # the center search's walks, which the mass search reuses
        self._table_offset = None
        check_width(lo, hi)
        probe_lo, probe_hi = probe_points(lo, hi, center)
        self._f = _UserFunction(f, (probe_lo, probe_hi))
        if self._f.kind == "native" and log:
            raise TypeError("a compiled log-density is not supported; pass a compiled density to from_pdf")
        hint = center
        center, top = self._find_center(center)
        if log:
            check_log_scale(top, center)
        self._center = center
        # A density is known up to a constant: one far from 1 at its center
        # (1e300 * pdf, a normal's far tail) is divided by its value there, so
        # that the table's absolute thresholds see values near 1.
        self._divisor = 1.0 if log or _RESCALE_BELOW <= top <= _RESCALE_ABOVE else top
        # The log-density is shifted by its value at the center, so that its
        # exponential is near 1 there whatever the scale of the log values.
        self._shift = top if log else 0.0
        if log:
            # The center search walked the log values as if they were a
            # density, and such a walk ends where they turn negative: the
            # mass search walks the shifted density itself.
            self._walked = {}
        try:
            table = _Table.pinv(self._quadrature_spec(), u_resolution, lo, hi, center)
        except _engine.SetupError as error:
            table = error
        self._starts = _discovery_starts(lo, hi, center, hint)
        self._explored = None
        if not isinstance(table, Exception) and _discovery.agrees(
                self._integrate_total, _discovery.survey(self._density_quietly, lo, hi, self._starts, self._walked),
                table.area(), u_resolution, lo, hi):
            # The common case: one table, its mass confirmed; the pieces are
            # located only when asked for.
            self._joined = False
            self._table = table
            self._make_partition()
            return
        self._explored = self._explore()
        whole = []  # tables over the whole support: a finer build of the one table, not parts

        def build(u, a, b, c):
            engine = _Table.pinv(self._quadrature_spec(), u, a, b, c).engine
            if (a, b) == (lo, hi):
                whole.append(engine)
            return engine

        engine = _discovery.checked_pinv(
            table if isinstance(table, Exception) else table.engine, build,
            lambda words: _engine.Pinv.from_bytes(words.tobytes()),
            lambda e, x: _Table(e, "pinv").cdf(x),
            self._explored, u_resolution, lo, hi, center,
        )
        self._joined = isinstance(table, Exception) or not any(engine is e for e in [table.engine, *whole])
        self._table = table if not isinstance(table, Exception) and engine is table.engine else _Table(engine, "pinv")
        self._make_partition()

    def _partition_edges(self):
        if not self._joined:
            return np.empty(0)
        lo, hi = self._support
        edges = _discovery.part_edges(self._explored)
        return edges[(edges > lo) & (edges < hi)]

    def _density_quietly(self, x):
        """The density (shifted for a log-density) for the mass search:
        values the checks would refuse are passed through as they are."""
        y = self._f(x)
        return np.exp(y - self._shift) if self._log else y / self._divisor

    def _explore(self):
        lo, hi = self._support
        return _discovery.explore(self._density_quietly, lo, hi, self._starts, self._u_resolution, self._walked)

    def _integrate_total(self, breaks, tail_scale, rel_tol):
        values, _, _, converged, _ = _engine.integrate(
            self._quadrature_spec(), np.ascontiguousarray(breaks, dtype=np.float64), tail_scale, rel_tol)
        return values[0] if converged else math.nan

    def explored(self):
        if self._explored is None:
            self._explored = self._explore()
        return self._explored

    def _values(self, x):
        """The user's function at x (inside the support), checked."""
        y = self._f(x)
        # -inf from a log-density is zero density, as exp says.
        bad = np.isnan(y) | (y == _INF) if self._log else ~(np.isfinite(y) & (y >= 0))
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
            if math.isfinite(lo) and math.isfinite(hi):
                points = _center_candidates(lo, hi)
                with _searching():
                    values = self._f(points)
            else:
                # Outward from the start, so that a function that overflows
                # far away is not called there unless its mass leads there.
                start = lo if math.isfinite(lo) else hi if math.isfinite(hi) else 0.0
                points = values = np.empty(0)
                if not self._log:
                    # The walk stops where a density stays negligible; the
                    # mass search reuses it.
                    with _searching():
                        points, values = _discovery.walk(self._f, lo, hi, [start])
                    self._walked[start] = (points, values)
                    inside = (points > lo) & (points < hi)
                    points, values = points[inside], values[inside]
                if not np.any(np.isfinite(values) & (values > 0)):
                    # Log values (negative, so no walk's stopping rule fits
                    # them), or a density whose mass lies beyond where the
                    # walk gave up (a normal centred at 100).
                    with _searching():
                        points, values = self._outward_grid(start)
            # The grid is this library's probe, not the user's request: a
            # point where the function misbehaves (an overflow at 1e6, say)
            # is passed over; the setup checks every value it uses.
            valid = ~np.isnan(values) & (values < _INF) if self._log else np.isfinite(values) & (values >= 0)
            if not np.any(valid):
                with _searching():
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

    def _outward_grid(self, start):
        """The center grid a decade of distance from `start` at a time, until
        two decades past the first positive density (a log-density is
        finite almost everywhere, so its whole grid is looked at); a call
        that fails is retried point by point, and a point that fails is
        left out."""
        lo, hi = self._support
        points = _center_candidates(lo, hi)
        with np.errstate(divide="ignore"):
            decade = np.floor(np.log10(np.abs(points - start)))
        xs, ys, found = [], [], None
        for d in np.unique(decade):
            batch = points[decade == d]
            values = self._grid_values(batch)
            xs.append(batch)
            ys.append(values)
            if self._log:
                continue
            if found is None and np.any(np.isfinite(values) & (values > 0)):
                found = d
            if found is not None and d >= found + 2:
                break
        return np.concatenate(xs), np.concatenate(ys)

    def _grid_values(self, x):
        try:
            with np.errstate(all="ignore"):
                return self._f(x)
        except ArithmeticError:
            out = np.full(x.size, math.nan)
            for i, v in enumerate(x):
                try:
                    with np.errstate(all="ignore"):
                        out[i] = self._f(x[i:i + 1])[0]
                except ArithmeticError:
                    pass
            return out

    def _quadrature_spec(self):
        if self._log:
            if self._log_spec is None:
                self._log_spec = function_spec(_ShiftedExp(self._f_user, self._shift), kind=self._f.kind)
            return self._log_spec
        if self._divisor != 1.0:
            return function_spec(_ArrayFunction(_Scaled(self._f, self._divisor)), kind="vector")
        return self._f.spec

    def unnormalized_pdf(self, x):
        y = self._values(x)
        return np.exp(y - self._shift) if self._log else y / self._divisor

    def pdf(self, x):
        return self.unnormalized_pdf(x) / self.mass()

    def logpdf(self, x):
        if self._log:
            return self._values(x) - self._shift - math.log(self.mass())
        with np.errstate(divide="ignore"):
            return np.log(self.pdf(x))

    def cdf(self, x):
        return self._refine_tails(x, self._table_cdf(x), lower=True)

    def sf(self, x):
        return self._refine_tails(x, 1.0 - self._table_cdf(x), lower=False)

    def _table_cdf(self, x):
        """The table's CDF over the whole law. The table spreads u over the
        mass between its ends, and leaves out the tails beyond them, which
        it cuts by an estimate a heavy tail (x^-3) can exceed several times
        over; its own integration of a long oscillating tail may be off by
        more than u_resolution too. Such a table is anchored by quadrature
        at its quantiles near 0 and 1 (where the tails' own quadrature takes
        over): only its mass between them is used."""
        u = np.asarray(self._table.cdf(x), dtype=np.float64)
        if self._table_offset is None:
            self._table_offset = self._tail_offset()
        f_a, u_a, scale = self._table_offset
        if scale == 1.0 and u_a == 0.0:
            return u
        return np.clip(f_a + scale * (u - u_a), 0.0, 1.0)

    def _tail_offset(self):
        """(F(a), u(a), scale): the law's CDF at a point a, the table's
        there, and the law's mass per unit of the table's u; (0, 0, 1) when
        the table holds the law to what it promises."""
        lo, hi = self._table.engine.support()
        left = self._tail_mass(lo, lower=True)
        right = self._tail_mass(hi, lower=False)
        if left + right <= 0.1 * self._u_resolution:
            return 0.0, 0.0, 1.0
        a, b = self._table.ppf(np.array([_TAIL_QUADRATURE_BELOW, 1.0 - _TAIL_QUADRATURE_BELOW]))
        u_a, u_b = self._table.cdf(np.array([a, b]))
        f_a = self._tail_mass(float(a), lower=True)
        s_b = self._tail_mass(float(b), lower=False)
        return f_a, float(u_a), (1.0 - f_a - s_b) / float(u_b - u_a)

    def _refine_tails(self, x, p, *, lower):
        """The table's CDF is accurate to u_resolution in absolute terms;
        where the probability is smaller than that allows to trust, the
        tail mass is integrated instead, to full relative accuracy. A table
        anchored by quadrature (see _table_cdf) gives way to it on the far
        side too: 1 - the other tail's mass."""
        # The table's value is only within u_resolution of the true one:
        # the margin sends every true value below the threshold here.
        near = _TAIL_QUADRATURE_BELOW + self._u_resolution
        tail = np.flatnonzero(p < near)
        anchored = self._table_offset is not None and self._table_offset != (0.0, 0.0, 1.0)
        far = np.flatnonzero(p > 1.0 - near) if anchored else ()
        if tail.size or len(far):
            p = p.copy()
            for i in tail:
                p[i] = self._tail_mass(float(x[i]), lower)
            for i in far:
                p[i] = 1.0 - self._tail_mass(float(x[i]), not lower)
        return p

    def _tail_mass(self, x, lower):
        lo, hi = self._support
        if (lower and x <= lo) or (not lower and x >= hi):
            return 0.0
        breaks = self.partition()
        inner = breaks[(breaks > lo) & (breaks < x)] if lower else breaks[(breaks > x) & (breaks < hi)]
        ends = np.concatenate(([lo], inner, [x])) if lower else np.concatenate(([x], inner, [hi]))
        ends = _log_spaced(ends, self._median)
        # An infinite end is mapped from the outermost finite break over a
        # length of that break's own distance: beyond 1e22 of a Lévy law, the
        # law's spread of 9 would crowd the tail's mass against t = 0.
        anchor = ends[1] if lower else ends[-2]
        scale = max(self._tail_scale, abs(anchor - self._median))
        values, _, _, _, _ = _engine.integrate(self._quadrature_spec(), ends, scale, _QUAD_REL_TOL)
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


    def __init__(self, cdf, support, *, pdf, u_resolution, center):
        lo, hi = support
        self._support = support
        self._cdf_user = cdf
        self._pdf_user = pdf
        self._u_resolution = u_resolution
        self._center = center
        self._moments = None
        self._exponents = None
        self._mass = None
        check_width(lo, hi)
        probe = probe_points(lo, hi, center)
        self._F = _UserFunction(cdf, probe)
        self._f = _UserFunction(pdf, probe) if pdf is not None else None
        self._watch = CdfWatch()
        # The whole support first, far into infinite tails, where a CDF that
        # exceeds 1 (2 * ndtr, say) shows its fault before any table is built.
        scan_cdf(self._F, lo, hi, center, self._watch)
        # The CDF's values at the ends of the support: the mass in between is
        # what the law keeps (a truncation of a CDF given on a wider range).
        self._F_lo = float(self._checked_cdf(np.array([lo]))[0]) if math.isfinite(lo) else 0.0
        self._F_hi = float(self._checked_cdf(np.array([hi]))[0]) if math.isfinite(hi) else 1.0
        if not self._F_hi > self._F_lo:
            raise ValueError(f"the CDF does not increase over the support [{lo!r}, {hi!r}]")
        if _cdf_rounding(self._F_lo, self._F_hi) > u_resolution:
            raise ValueError(
                f"the CDF's values at the ends of the support [{lo!r}, {hi!r}] ({self._F_lo!r} and "
                f"{self._F_hi!r}) differ by less than their rounding allows at u_resolution {u_resolution!r}: "
                f"the CDF cannot resolve the mass there; pass pdf= (the law is then built from it)")
        center = center if center is not None else probe_points(lo, hi, None)[0]
        self._table = _Table.hinv(
            function_spec(_ArrayFunction(self.normalized_cdf), kind="vector"),
            function_spec(_ArrayFunction(self.pdf), kind="vector"),
            u_resolution, lo, hi, center,
        )
        self._watch.finish()
        self._make_partition()

    def _checked_cdf(self, x):
        return self._watch.watch(x, self._F(x))

    def normalized_cdf(self, x):
        return (self._checked_cdf(x) - self._F_lo) / (self._F_hi - self._F_lo)

    def _known_masses(self):
        # The CDF knows the density's integral over each interval: a narrow
        # spike the quadrature's first nodes step over is found by the
        # mismatch (the CDF's own values, to the resolution the table holds).
        scale = self._F_hi - self._F_lo
        return self._masses * scale, 10.0 * self._u_resolution * scale

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

    def _tail_spec(self):
        return function_spec(_ArrayFunction(self._tail_power), kind="vector")

    def _tail_power(self, x):
        """A function with the tail power of the density, from the CDF's
        own tail masses: a tail mass ~ |x|^(1 - alpha) divided by |x|.
        A CDF written as 0.5 + arctan(x) / pi, or a difference from 1, is
        rounding far out, so a tail mass below what such a difference can
        resolve ends the walk (NaN) rather than reading as a tail that has
        ended."""
        F = self._F(x)
        tail = np.where(x < self._median, F - self._F_lo, self._F_hi - F)
        tail = np.where(tail > _RESOLVED_TAIL, tail, math.nan)
        return tail / np.maximum(np.abs(x - self._median), 1.0)

    def pdf(self, x):
        return self.unnormalized_pdf(x) / (self._F_hi - self._F_lo)

    def logpdf(self, x):
        with np.errstate(divide="ignore"):
            return np.log(self.pdf(x))

    def cdf(self, x):
        # The user's CDF is exact where the table is only close.
        return np.clip(self.normalized_cdf(x), 0.0, 1.0)

    def sf(self, x):
        return np.clip((self._F_hi - self._checked_cdf(x)) / (self._F_hi - self._F_lo), 0.0, 1.0)

    def truncate(self, lo, hi):
        return _cdf_law(
            self._cdf_user, (lo, hi), pdf=self._pdf_user, u_resolution=self._u_resolution,
            center=self._center if self._center is not None and lo <= self._center <= hi else None,
        )

    def describe(self):
        return f"CDF {_name_of(self._cdf_user)} on [{self._support[0]:g}, {self._support[1]:g}]"

    def __getstate__(self):
        state = self.__dict__.copy()
        state["_moments"] = None
        return state


def _cdf_law(cdf, support, *, pdf, u_resolution, center):
    """The law of a CDF on the support; from its density when one is given
    and, far in a tail, the CDF's differences there are mostly rounding (the
    density and quadrature still hold that mass)."""
    lo, hi = support
    if pdf is not None and math.isfinite(lo) and math.isfinite(hi):
        F = _UserFunction(cdf, probe_points(lo, hi, center))
        F_lo, F_hi = (float(v) for v in F(np.array([lo, hi], dtype=np.float64)))
        if F_hi > F_lo and _cdf_rounding(F_lo, F_hi) > u_resolution:
            return _DensityLaw(pdf, support, log=False, u_resolution=u_resolution, center=center)
    return _CdfLaw(cdf, support, pdf=pdf, u_resolution=u_resolution, center=center)


def _cdf_rounding(F_lo, F_hi):
    """The relative error that rounding of the CDF's values puts on the
    mass F_hi - F_lo between them."""
    return 4.0 * np.finfo(np.float64).eps * max(abs(F_lo), abs(F_hi)) / (F_hi - F_lo)


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


# Consecutive breaks of a tail integral are at most this factor apart in
# distance from the median: K15 and G7 agree on x^-1.5 over [1e11, 1e17]
# and both miss a millionth of it.
_TAIL_BREAK_RATIO = 10.0


def _log_spaced(ends, center):
    """The breaks `ends` with points added where two consecutive finite ones
    on one side of `center` are more than _TAIL_BREAK_RATIO apart in their
    distance from it."""
    out = [ends[0]]
    for a, b in zip(ends[:-1], ends[1:]):
        da, db = a - center, b - center
        if math.isfinite(a) and math.isfinite(b) and da * db > 0:
            near, far = sorted((abs(da), abs(db)))
            if far > _TAIL_BREAK_RATIO * near:
                steps = np.geomspace(near, far, int(math.ceil(math.log(far / near) / math.log(_TAIL_BREAK_RATIO))) + 1)
                inner = center + math.copysign(1.0, da) * steps[1:-1]
                out.extend(np.sort(inner))
        out.append(b)
    return np.ascontiguousarray(out, dtype=np.float64)


@contextlib.contextmanager
def _searching():
    """Says that the x of an error is a point of the search for the mass,
    which the user never chose."""
    try:
        yield
    except (TypeError, ValueError) as error:
        if type(error) not in (TypeError, ValueError):
            raise
        raise type(error)(f"{error}, while searching for the density's mass (x is a point of that search)") from None


def _center_candidates(lo, hi):
    """Points spread over the support at every scale, none on its ends."""
    if math.isfinite(lo) and math.isfinite(hi):
        return lo + (hi - lo) * np.linspace(0.01, 0.99, 99)
    if math.isfinite(lo):
        return lo + _STEPS
    if math.isfinite(hi):
        return hi - _STEPS
    return _CENTER_GRID.copy()


def _discovery_starts(lo, hi, center, hint):
    """Where the mass search walks from: the center the table used, the
    user's hint, and the default start."""
    default = probe_points(lo, hi, None)[0]
    return sorted({c for c in (center, hint, default) if c is not None and lo <= c <= hi})


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
    adaptive quadrature and kept; whether a moment exists is decided by the
    power law each tail decays by, measured far out (to about 1e20 times
    the law's spread), so ``mean``, ``var``, ``moment`` and ``stats`` give
    +inf, -inf or NaN where SciPy does: a mean with ``E|X|`` finite is a
    number, one that diverges on one side is that infinity (Lévy), one
    that diverges on both is NaN (Cauchy).

    Before a table from a density is trusted, its mass is looked for
    independently: a walk outward from the center (and the default start)
    in growing steps, adaptive quadrature over the range it explored, and
    on an infinite side an integral beyond that range. A table that misses
    mass is rebuilt over the pieces found, and refused with a ValueError
    naming where the mass is when it still disagrees. A table whose tails
    leave out more than 3 u_resolutions of the mass (a tail such as
    ``(2 + cos x) / |x|^3``, which the table's cut misjudges) is built again
    with a wider cut; the CDF and survival function of such a law are the
    table's between its 0.001 and 0.999 quantiles, anchored there by
    quadrature, and quadrature beyond: within u_resolution everywhere for
    that law at u_resolution 1e-10 (1.3e-11 at worst on a grid from -3000
    to 3000). What is guaranteed:
    every piece of mass that the quadrature over a finite support (or the
    explored range, see :attr:`explored`) resolves is in the table. What is
    not: on an infinite support a density can hide a mode far beyond the
    explored range, and a spike narrower than the quadrature's first nodes
    that no walk point lands on can be missed anywhere; pass a ``center``
    there or a finite support.
    """

    def __init__(self, law, loc=0.0, scale=1.0):
        self._law = law
        self._loc = float(loc)
        self._scale = float(scale)
        self._summary = None

    @property
    def explored(self):
        """What the mass search saw (a law from a density; None otherwise):
        the explored range, the pieces holding mass and their fractions of
        it, in the coordinates of the draws (after loc and scale)."""
        explored = getattr(self._law, "explored", None)
        return explored().mapped(self._loc, self._scale) if explored is not None else None

    # -- coordinates -----------------------------------------------------
    def _standard(self, x):
        return (x - self._loc) / self._scale

    def _pointwise(self, fn, x, below, above, *, nan=math.nan):
        """fn on the standard coordinates of the points inside the support;
        `below` / `above` outside it, NaN for NaN."""
        arr = float_array(x, "x")
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
        arr = float_array(q, "q")
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
        """The expectation: +inf or -inf when it diverges on one side only
        (Lévy), NaN when it is undefined (Cauchy)."""
        return self._loc + self._scale * self._stats()[0]

    def var(self):
        """The variance: +inf when the second moment diverges or the mean is
        infinite, NaN when the mean is undefined."""
        return self._scale ** 2 * self._stats()[1]

    def std(self):
        """The standard deviation."""
        return math.sqrt(self.var())

    def entropy(self):
        """The differential entropy, in nats."""
        return self._stats()[4] + math.log(self._scale)

    def _skew(self):
        _, var, mu3, _, _ = self._stats()
        if not (math.isfinite(var) and var > 0):
            return math.nan
        return mu3 / var ** 1.5

    def _kurtosis(self):
        """Excess kurtosis: +inf when the fourth moment diverges under a
        finite variance (t with 3 or 4 degrees of freedom)."""
        _, var, _, mu4, _ = self._stats()
        if not (math.isfinite(var) and var > 0):
            return math.nan
        return mu4 / (var * var) - 3.0

    def stats(self, moments="mv"):
        """Some of mean ('m'), variance ('v'), skewness ('s') and excess
        kurtosis ('k'), in that order, as floats; a single one is returned
        alone, as in SciPy.

        Divergent and undefined moments follow SciPy: the mean is ±inf when
        it diverges on one side and NaN when on both, the variance +inf when
        the second moment diverges, the skewness NaN when the third does,
        and the kurtosis +inf when the fourth does under a finite variance.
        """
        if not isinstance(moments, str):
            raise TypeError(f"moments must be a string of 'm', 'v', 's', 'k', got {type(moments).__name__}")
        unknown = set(moments) - set("mvsk")
        if unknown:
            raise ValueError(f"moments must be made of 'm', 'v', 's', 'k', got {moments!r}")
        out = []
        for letter, value in (("m", self.mean), ("v", self.var), ("s", self._skew), ("k", self._kurtosis)):
            if letter in moments:
                out.append(float(value()))
        return out[0] if len(out) == 1 else tuple(out)

    def moment(self, order):
        """The non-central moment E[X**order] of integer order >= 0.

        +inf (or -inf) when it diverges on one side, NaN when it diverges on
        both with opposite signs; orders above 4 are integrated when asked.
        """
        if isinstance(order, (bool, np.bool_)) or not isinstance(order, numbers.Integral):
            raise TypeError(f"order must be an integer, got {type(order).__name__}")
        n = int(order)
        if n < 0:
            raise ValueError(f"order must be a non-negative integer, got {n}")
        if n == 0:
            return 1.0
        verdict = _verdict(self._law.tail_exponents(), n)
        if _diverges(verdict):
            return verdict
        if n > _MAX_ORDER:
            return float(self.expect(lambda y: y ** n))
        mean, var, mu3, mu4, _ = self._stats()
        # E[Y^n] for Y = loc + scale X from Y's mean and central moments.
        central = [1.0, 0.0, var, mu3, mu4]
        m = self._loc + self._scale * mean
        return float(sum(math.comb(n, k) * m ** (n - k) * self._scale ** k * central[k] for k in range(n + 1)))

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
            spec, breaks, getattr(self._law, "_tail_scale", 1.0), _QUAD_REL_TOL
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
        """The engine's spec of this marginal for compiled copula draws;
        None when only ``ppf`` can be used."""
        column = self._law.copula_column()
        return None if column is None else column + (self._loc, self._scale)

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
        _cdf_law(_callable(cdf, "cdf"), (lo, hi), pdf=None if pdf is None else _callable(pdf, "pdf"),
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
