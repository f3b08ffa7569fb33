"""Fast random variate generators built from a density, a CDF or a probability vector.

The classes here take the arguments of their namesakes in
``scipy.stats.sampling`` and offer the same methods, so code written for
SciPy switches by changing its import. They run on varlix's own compiled
engine:

* the user's functions may be plain Python (called with floats), NumPy
  vectorized (setup then evaluates whole batches of points in one call), or
  compiled: a ``scipy.LowLevelCallable`` or a numba ``cfunc`` with the C
  signature ``double (double)`` or ``double (double, void *)``, called
  without the interpreter lock;
* uniforms come straight from the NumPy bit generator of ``random_state``,
  which advances as it would under NumPy's own samplers;
* draws go into a NumPy array in place, with the interpreter lock released
  whenever no Python function is involved, so generators scale with threads;
* every generator pickles (its table travels; the ``dist`` must pickle too).

Methods
-------
NumericalInversePolynomial
    Polynomial interpolation of the inverse CDF from the density.
NumericalInverseHermite
    Hermite interpolation of the inverse CDF from the CDF (and density).
TransformedDensityRejection
    Rejection from a hat built on tangents of the transformed density.
SimpleRatioUniforms
    Ratio of uniforms with a rectangle from the mode and the area.
RatioUniforms
    Ratio of uniforms with a rectangle the caller supplies.
DiscreteAliasUrn
    Walker's alias method for a finite probability vector.
DiscreteGuideTable
    Indexed search (inversion) for a finite probability vector.
"""
from __future__ import annotations

import contextlib
import math
import numbers
import operator
import threading
import warnings
from collections import namedtuple

import numpy as np

from . import _discovery, _engine
from ._engine import SetupError
from ._checks import CdfWatch, WatchedCdf, check_width, scan_cdf
from ._functions import batch_values, function_spec, is_native, kind_of, point_value, probe_points
from ._random import CHUNK, UniformSource, fill, uniform_source
from ._shapes import empty_array, float_array, size_shape

UNURANError = SetupError

__all__ = [
    "NumericalInversePolynomial",
    "NumericalInverseHermite",
    "TransformedDensityRejection",
    "SimpleRatioUniforms",
    "RatioUniforms",
    "DiscreteAliasUrn",
    "DiscreteGuideTable",
    "SetupError",
    "UNURANError",
]

# PINV cuts each tail below a twentieth of the u-resolution; a missing mass
# this many times the resolution (and never below the floor, the accuracy of
# a typical CDF) means a part of the law was not found.
_MISSING_MASS_FACTOR = 10.0
_MISSING_MASS_FLOOR = 1e-7

# An inversion table short of its u-resolution is built at most this many
# decades coarser (and never coarser than _COARSEST), with a warning.
_SHORT_OF_RESOLUTION = "u-resolution not reached"
_COARSER_DECADES = 4
_COARSEST = 1e-5

UError = namedtuple("UError", ["max_error", "mean_absolute_error"])

_INF = math.inf


# ---- arguments ---------------------------------------------------------------

_NOT_ARRAY_LIKE = "`{name}` must be array-like of real numbers"


def _float_array(values, name):
    """A C-contiguous float64 copy of an argument (scipy's wording when not numbers)."""
    return float_array(values, name, True, _NOT_ARRAY_LIKE)


def _sampling_source(random_state):
    """The uniform source of a ``random_state`` as scipy.stats.sampling reads
    it: an int seeds a ``RandomState`` (MT19937), so that seeded code written
    for SciPy draws the same uniforms; everything else as `uniform_source`."""
    if isinstance(random_state, numbers.Integral) and not isinstance(random_state, bool):
        generator = np.random.RandomState(random_state)
        bits = generator._bit_generator
        return UniformSource(generator, bits, bits.capsule, bits.lock, False)
    return uniform_source(random_state)


def _domain_of(dist, domain):
    """(lo, hi) from ``domain``, else ``dist.support()``, else the real line."""
    if domain is None:
        support = getattr(dist, "support", None)
        if not callable(support):
            return -_INF, _INF
        domain = support()
    lo, hi = _domain_pair(domain)
    if not lo < hi:
        raise SetupError(f"`domain` has left >= right: lo < hi is needed, got ({lo!r}, {hi!r})")
    check_width(lo, hi, "`domain`")
    return lo, hi


def _domain_pair(domain):
    """(lo, hi) as floats, neither NaN; the order is the caller's to check."""
    try:
        lo, hi = domain
        lo, hi = float(lo), float(hi)
    except (TypeError, ValueError):
        raise ValueError(f"`domain` must be a length 2 tuple (lo, hi) of numbers, got {domain!r}") from None
    if math.isnan(lo) or math.isnan(hi):
        raise ValueError(f"`domain` must contain only non-nan values, got ({lo}, {hi})")
    return lo, hi


def _discrete_domain(domain):
    """A discrete domain: finite integer ends, lo < hi."""
    lo, hi = _domain_pair(domain)
    if not (math.isfinite(lo) and math.isfinite(hi)):
        raise ValueError(f"the domain of a discrete distribution must be finite, got ({lo}, {hi})")
    if not lo < hi:
        raise SetupError(f"`domain` has left >= right: lo < hi is needed, got ({lo!r}, {hi!r})")
    if not (lo.is_integer() and hi.is_integer()):
        raise ValueError(f"`domain` must hold integers, got ({lo}, {hi})")
    return lo, hi


def _inside(lo, hi):
    """A point well inside (lo, hi), where the search for mass starts."""
    if math.isfinite(lo) and math.isfinite(hi):
        return 0.5 * (lo + hi)
    if math.isfinite(lo):
        return max(lo + 1.0, 0.0) if lo < 0.0 else lo + max(1.0, abs(lo))
    if math.isfinite(hi):
        return min(hi - 1.0, 0.0) if hi > 0.0 else hi - max(1.0, abs(hi))
    return 0.0


def _default_center(dist, lo, hi, fallback=True):
    """A default center: ``dist.median()`` when the object has one (frozen
    scipy.stats laws do) and it lies in the domain, else 0 when the domain
    holds it, else a point inside. A narrow law far from 0 is then found
    without a search."""
    median = getattr(dist, "median", None)
    if callable(median):
        try:
            m = float(median())
        except Exception:
            m = math.nan
        if lo <= m <= hi:
            return m
    return 0.0 if lo <= 0.0 <= hi or not fallback else _inside(lo, hi)


def _checked_mode(mode, lo, hi):
    """A given mode is a fact about the law: outside the domain it is wrong."""
    if mode is not None and not lo <= mode <= hi:
        raise SetupError(f"mode not in domain: mode {mode!r} is outside ({lo}, {hi})")
    return mode


def _start_point(dist, center, mode, lo, hi):
    """Where setup starts: the center, else the mode, else the default
    center. A center outside the domain (given, or the default 0 of a `dist`
    without a median in it) is moved inside, with a warning: the search then
    starts somewhere the caller did not say."""
    if center is None and mode is not None:
        return mode
    if center is None:
        center = _default_center(dist, lo, hi, fallback=False)
    if lo <= center <= hi:
        return center
    moved = _inside(lo, hi)
    warnings.warn(f"center moved into domain of distribution: {center!r} is outside ({lo}, {hi}); "
                  f"setup starts at {moved!r}", RuntimeWarning, stacklevel=3)
    return moved


def _optional_float(value, name):
    if value is None:
        return None
    try:
        value = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"`{name}` must be a real number or None") from None
    if math.isnan(value):
        raise ValueError(f"`{name}` must not be NaN")
    return value


def _method(dist, name):
    """dist.<name> when it is there (a callable or a LowLevelCallable), else None."""
    f = getattr(dist, name, None)
    if f is None or not (callable(f) or is_native(f)):
        return None
    return f


def _require(dist, name):
    f = _method(dist, name)
    if f is None:
        raise ValueError(f"`{name}` required but not found: `dist` has no `{name}` method")
    return f


def _exp_of(logpdf, probe):
    """A density from a log-density, vectorized when the log-density is."""
    spec = function_spec(logpdf, probe)
    if spec[0] == "native":
        raise ValueError("a compiled log-density needs a compiled `pdf` beside it")
    vectorized = spec[0] == "vector"

    def density(x):
        # The log-density's values are checked before exp reads them: None
        # or a batch of the wrong shape is named, not met inside exp.
        if not vectorized:
            return math.exp(point_value(logpdf(x), x))
        if np.ndim(x) == 0:
            return np.exp(point_value(logpdf(x), x))
        return np.exp(batch_values(logpdf(x), x))

    return density


def _density(dist, probe):
    """The density of ``dist``: its pdf, else exp of its logpdf."""
    pdf = _method(dist, "pdf")
    if pdf is not None:
        return pdf
    logpdf = _method(dist, "logpdf")
    if logpdf is None:
        raise ValueError("Either of the methods `pdf` or `logpdf` must be specified: `dist` has neither")
    return _exp_of(logpdf, probe)


def _check_u_error_size(sample_size):
    try:
        n = operator.index(sample_size)
    except TypeError:
        raise TypeError("`sample_size` must be an int") from None
    if n < 1000:
        raise ValueError(f"`sample_size` must be greater than or equal to 1000, got {n}")
    return n


def _u_grid(n):
    """n stratified uniforms, the same on every call (u_error is a measurement,
    not a draw: it leaves the generator's stream alone)."""
    jitter = np.random.Generator(np.random.PCG64(n)).random(n)
    return (np.arange(n) + jitter) / n


# ---- common behaviour ---------------------------------------------------------------

class _LockYield:
    """Lets a Python density that rejection draws call give up the bit
    generator's lock for the length of its call.

    Draws hold the lock (NumPy's own samplers take it too); a density that
    itself draws from the same generator would otherwise wait for it forever.
    Between two uniforms nothing of the engine's use of the generator is in
    flight, so other users may take the lock meanwhile. Per thread: each
    thread's draws hold their own source's lock.
    """

    class _Held(threading.local):
        lock = None  # the lock this thread's draws hold; None outside draws

    def __init__(self):
        self.local = self._Held()

    def wrap(self, f):
        local = self.local

        def call(x):
            lock = local.lock
            if lock is None:
                return f(x)
            # The release inside the try: a signal handler that raises right
            # after it returns (Ctrl-C) still finds the lock taken back.
            try:
                lock.release()
                return f(x)
            finally:
                lock.acquire()

        return call

    def spec(self, f, probe):
        kind = kind_of(f, probe)
        if kind == "native":
            return function_spec(f, probe, kind=kind)
        return function_spec(self.wrap(f), probe, kind=kind)

    def holding(self, source):
        """The context each draw call runs in: the source's lock taken, and
        offered to the density of this thread."""
        return _Holding(self.local, source)


class _Holding:
    """Holds a source's lock for one engine call at a time (see `_LockYield`)."""

    def __init__(self, local, source):
        self.local = local
        self.lock = source.lock
        # A generator made from a seed is the sampler's alone: no density
        # can draw from it, so it keeps its lock (and the calls their speed).
        self.offered = source.lock if source.shared else None
        self.previous = None

    def __enter__(self):
        self.lock.acquire()
        self.previous = self.local.lock
        self.local.lock = self.offered

    def __exit__(self, *exc):
        self.local.lock = self.previous
        try:
            self.lock.release()
        except RuntimeError:
            # An interrupt while a density call waited to take the lock back
            # (another thread had it): it is not ours.
            pass


class _Generator:
    """Random state handling, draws into arrays, pickling."""

    _dtype = np.float64

    def _init_random_state(self, random_state):
        self._source = _sampling_source(random_state)

    def set_random_state(self, random_state=None):
        """Replace the source of uniforms.

        Parameters
        ----------
        random_state : None, int, numpy.random.SeedSequence, numpy.random.Generator or numpy.random.RandomState, optional
            ``None`` uses NumPy's global ``RandomState``; an int seeds a new
            ``RandomState`` (as in SciPy); a ``SeedSequence`` seeds a new
            ``Generator(PCG64)``; a generator is used (and advanced) as it is.
        """
        self._source = _sampling_source(random_state)

    def _fill(self, out, source):
        lock_yield = getattr(self, "_yield", None)
        holding = None if lock_yield is None else lock_yield.holding(source)
        fill(self._engine.sample, out.reshape(-1), source, CHUNK, holding)

    def rvs(self, size=None, random_state=None):
        """Draw random variates.

        Parameters
        ----------
        size : int or tuple of ints, optional
            Shape of the result. ``None`` (the default) returns one number.
        random_state : None, int, numpy.random.SeedSequence, numpy.random.Generator or numpy.random.RandomState, optional
            A source of uniforms for this call only; by default the
            generator's own (see `set_random_state`).

        Returns
        -------
        rvs : ndarray or scalar
            Variates of the distribution, as an array of shape `size`.
        """
        source = self._source if random_state is None else _sampling_source(random_state)
        shape, _ = size_shape(size)
        out = empty_array(() if shape is None else shape, self._dtype)
        self._fill(out, source)
        return out.item() if shape is None else out

    # Pickling: the engine object travels as its table's bytes.
    def __reduce__(self):
        state = dict(self.__dict__)
        engine = state.pop("_engine")
        state.pop("_yield", None)  # per-thread state; made anew on loading
        state["_table"] = engine.to_bytes()
        source = state.pop("_source")
        state["_generator"] = source.generator
        return (_restore, (type(self), state))

    def _restore_engine(self, table):
        raise NotImplementedError


def _restore(cls, state):
    obj = cls.__new__(cls)
    table = state.pop("_table")
    generator = state.pop("_generator")
    obj.__dict__.update(state)
    obj._source = uniform_source(generator)
    obj._restore_engine(table)
    return obj


class _Inversion(_Generator):
    """Quantiles, quasi-random draws and the u-error of inversion methods."""

    def _coarsen(self, error, dist, u_resolution, **options):
        """Set up at a coarser u-resolution when the asked one cannot be met
        (a pole, or a CDF that loses accuracy in a tail), with a warning that
        gives the resolution the table meets. Up to _COARSER_DECADES decades
        coarser, never past _COARSEST: beyond, the law would be visibly
        wrong, and the error stands."""
        if getattr(self, "_coarsening", False) or _SHORT_OF_RESOLUTION not in str(error):
            raise error
        self._coarsening = True
        try:
            for decades in range(1, _COARSER_DECADES + 1):
                coarser = u_resolution * 10.0 ** decades
                if coarser > _COARSEST:
                    break
                try:
                    type(self).__init__(self, dist, u_resolution=coarser, **options)
                except SetupError as again:
                    if _SHORT_OF_RESOLUTION not in str(again):
                        raise
                    continue
                warnings.warn(
                    f"u-resolution {_short(u_resolution)} not reached ({error}): one or more intervals very "
                    f"short; possibly due to numerical problems with a pole or very flat tail (or numeric "
                    f"integration did not reach full accuracy); the table is built for u-resolution "
                    f"{_short(coarser)}", RuntimeWarning, stacklevel=3)
                return
        finally:
            del self._coarsening
        raise error

    def ppf(self, u):
        """The approximate inverse CDF at `u`.

        Parameters
        ----------
        u : array_like
            Probabilities. Values outside [0, 1] give NaN; 0 and 1 give the
            ends of the domain (infinite for an infinite tail).

        Returns
        -------
        ppf : ndarray or scalar
            Quantiles, of the shape of `u`.
        """
        u = _float_array(u, "u")
        out = np.empty_like(u)
        self._engine.ppf(u, out)
        # The table ends at the cut points of infinite tails; the quantiles
        # of 0 and 1 themselves are the ends of the domain.
        lo, hi = self._domain
        out[u == 0.0] = lo
        out[u == 1.0] = hi
        return out[()]

    def qrvs(self, size=None, d=None, qmc_engine=None):
        """Quasi-random variates: the inverse CDF of a low-discrepancy sequence.

        Parameters
        ----------
        size : int or tuple of ints, optional
            Shape of the draws of each dimension. ``None`` gives one point.
        d : int, optional
            Number of dimensions of the quasi-random points (each transformed
            by the inverse CDF). Taken from `qmc_engine` when not given, and
            1 when neither is.
        qmc_engine : scipy.stats.qmc.QMCEngine, optional
            The source of points; a ``scipy.stats.qmc.Halton(d)`` by default.

        Returns
        -------
        qrvs : ndarray or scalar
            Shape ``size + (d,)``, without the last axis when ``d`` is 1.

        Raises
        ------
        ImportError
            When SciPy is not installed (its ``qmc`` module makes the points).
        """
        try:
            from scipy.stats import qmc
        except ImportError as error:
            raise ImportError("qrvs needs SciPy: its scipy.stats.qmc engines make the quasi-random points") from error
        if qmc_engine is None:
            d = 1 if d is None else operator.index(d)
            qmc_engine = qmc.Halton(d)
        elif not isinstance(qmc_engine, qmc.QMCEngine):
            raise ValueError("`qmc_engine` must be an instance of scipy.stats.qmc.QMCEngine or None")
        elif d is None:
            d = qmc_engine.d
        elif operator.index(d) != qmc_engine.d:
            raise ValueError(f"`d` must be consistent with dimension of `qmc_engine`: d={d}, "
                             f"qmc_engine.d={qmc_engine.d}")
        shape, count = size_shape(size)
        tuple_shape = () if shape is None else shape
        points = qmc_engine.random(count)
        x = self.ppf(points)
        x = np.reshape(x, tuple_shape + ((d,) if d > 1 else ()))
        return x[()] if x.ndim == 0 else x

    def u_error(self, sample_size=100000):
        """Estimate the u-error ``|F(ppf(u)) - u|`` with the exact CDF.

        Parameters
        ----------
        sample_size : int, optional
            Number of probabilities u tested (stratified over (0, 1)); at
            least 1000. Default 100000.

        Returns
        -------
        max_error : float
            The largest u-error found.
        mean_absolute_error : float
            The mean u-error.

        Raises
        ------
        ValueError
            When `dist` has no ``cdf`` method.
        """
        n = _check_u_error_size(sample_size)
        if self._cdf is None:
            raise ValueError("Exact CDF required but not found: u_error needs `dist.cdf`")
        us = _u_grid(n)
        spec = function_spec(self._cdf, self._probe)
        return UError(*self._engine.u_error(spec, us))


# ---- PINV ------------------------------------------------------------------------

class NumericalInversePolynomial(_Inversion):
    """Polynomial interpolation of the inverse CDF, built from the density.

    Setup splits the (cut) support into intervals and interpolates the
    inverse CDF on each by a Newton polynomial of the given order, the CDF
    coming from Gauss-Lobatto integration of the density; intervals shrink
    until the u-error ``|F(ppf(u)) - u|`` is below `u_resolution` (after
    Derflinger, Hörmann & Leydold 2010). After setup, a draw or a quantile
    costs one table lookup and one polynomial, and the density is never
    called again.

    Parameters
    ----------
    dist : object
        An object with a ``pdf`` method (or a ``logpdf`` method, used only
        when there is no ``pdf``), and optionally ``cdf`` (for `u_error`)
        and ``support``. The density need not be normalized. A frozen
        ``scipy.stats`` distribution works as it is.
    mode : float, optional
        The mode of the density, used as the center when none is given.
    center : float, optional
        A point where the density is large (mode or mean); setup searches
        outward from it. By default the mode, else ``dist.median()`` when
        `dist` has that method, else 0 (moved into the domain).
    domain : tuple of 2 floats, optional
        The support (lo, hi), ends may be infinite. Default: ``dist.support()``
        when it exists, else the whole real line.
    order : int, optional
        Order of the interpolating polynomials, 3 to 17. Default 5.
    u_resolution : float, optional
        Largest u-error allowed, from 1e-15 to 1e-5. Default 1e-10.
    random_state : None, int, numpy.random.SeedSequence, numpy.random.Generator or numpy.random.RandomState, optional
        The source of uniforms. See `set_random_state`.

    Raises
    ------
    ValueError
        For an `order`, `u_resolution` or `domain` out of range, or a `dist`
        without a density.
    SetupError
        When the density is negative, NaN or infinite at a point setup looks
        at (the message names it), has no mass, or the resolution cannot be
        reached; and, when `dist` has a ``cdf``, when the table misses part
        of the mass (a density that vanishes inside its support). An
        exception raised by the density itself propagates as it is.

    Examples
    --------
    >>> import numpy as np
    >>> from varlix.sampling import NumericalInversePolynomial
    >>> class StandardNormal:
    ...     def pdf(self, x):
    ...         return np.exp(-0.5 * x * x)
    >>> gen = NumericalInversePolynomial(StandardNormal(), random_state=42)
    >>> gen.rvs(3).shape
    (3,)
    >>> float(gen.ppf(0.5)) == 0.0 or abs(float(gen.ppf(0.5))) < 1e-9
    True
    """

    def __init__(self, dist, *, mode=None, center=None, domain=None, order=5, u_resolution=1e-10,
                 random_state=None):
        order = _integer_in(order, "order", 3, 17)
        u_resolution = _float_in(u_resolution, "u_resolution", 1e-15, 1e-5)
        mode = _optional_float(mode, "mode")
        center = _optional_float(center, "center")
        lo, hi = _domain_of(dist, domain)
        mode = _checked_mode(mode, lo, hi)
        start = _start_point(dist, center, mode, lo, hi)
        if not math.isfinite(start):
            start = _inside(lo, hi)
        probe = probe_points(lo, hi, start)
        pdf = _density(dist, probe)
        self._dist = dist
        self._cdf = _method(dist, "cdf")
        self._probe = probe
        self._options = (order, u_resolution, lo, hi, start)
        self._domain = (lo, hi)
        spec = function_spec(pdf, probe)
        try:
            engine = _engine.Pinv(spec, order, u_resolution, lo, hi, start)
        except SetupError as error:
            # The parts may still build; else this error stands.
            engine = SetupError(f"{error}{_scale_hint(spec, start)}")
        # The mass is looked for from the center and the default start as
        # well; a table that misses part of it is rebuilt over the parts
        # found, or refused.
        starts = sorted({s for s in (start, _inside(lo, hi)) if lo <= s <= hi})
        explored = _discovery.explore(lambda x: _evaluate(spec, x), lo, hi, starts, u_resolution)
        try:
            self._engine = _discovery.checked_pinv(
                engine, lambda u, a, b, c: _engine.Pinv(spec, order, u, a, b, c),
                lambda words: _engine.Pinv.from_bytes(words.tobytes()),
                _table_cdf,
                explored, u_resolution, lo, hi, start)
        except ValueError as error:
            raise SetupError(str(error)) from None
        except SetupError as error:
            if _scale_hint(spec, start):
                raise  # a badly scaled density is refused about its scale, not built coarser
            self._coarsen(error, dist, u_resolution, mode=mode, center=start, domain=(lo, hi), order=order,
                          random_state=random_state)
            return
        self.explored = explored
        if self._cdf is not None:
            self._check_mass_found(u_resolution, lo, hi)
        self._init_random_state(random_state)

    def _check_mass_found(self, u_resolution, lo, hi):
        """With the exact CDF at hand, check that the table covers the mass.

        Setup follows the density outward from the center and ends a side
        where the density vanishes; a second hump beyond a zero of the
        density (or a center at such a zero) would be missed, and every draw
        would come from one part of the law.
        """
        a, b = self._engine.support()
        ends = np.array([a, b] + [e for e in (lo, hi) if math.isfinite(e)], dtype=np.float64)
        with np.errstate(all="ignore"):
            values = _evaluate(function_spec(self._cdf, self._probe), ends)
        f_lo = values[2] if math.isfinite(lo) else 0.0
        f_hi = values[-1] if math.isfinite(hi) else 1.0
        total = f_hi - f_lo
        if not (np.all(np.isfinite(values)) and total > 0.0):
            return  # a CDF that cannot tell; nothing to compare
        missing = 1.0 - (values[1] - values[0]) / total
        if missing > max(_MISSING_MASS_FLOOR, _MISSING_MASS_FACTOR * u_resolution):
            raise SetupError(
                f"the table covers [{a}, {b}], which holds only {1.0 - missing:.6g} of the mass by "
                f"dist.cdf: the density vanishes inside its support, at an end of that interval, "
                f"and the mass beyond was not reached; build one generator for each part")

    def _restore_engine(self, table):
        self._engine = _engine.Pinv.from_bytes(table)

    @property
    def intervals(self):
        """Number of interpolation intervals of the table."""
        return self._engine.intervals()

    def cdf(self, x):
        """The CDF of the approximation (the inverse of `ppf`) at `x`.

        Parameters
        ----------
        x : array_like
            Points.

        Returns
        -------
        cdf : ndarray or scalar
            Probabilities in [0, 1], of the shape of `x`.
        """
        x = _float_array(x, "x")
        out = np.empty_like(x)
        self._engine.cdf(x, out)
        return out[()]

    def __repr__(self):
        order, u_resolution, lo, hi, _ = self._options
        return (f"NumericalInversePolynomial(order={order}, u_resolution={u_resolution:g}, "
                f"domain=({lo}, {hi}), intervals={self.intervals})")


# ---- Hermite -------------------------------------------------------------------------

class NumericalInverseHermite(_Inversion):
    """Hermite interpolation of the inverse CDF, built from the CDF.

    The inverse CDF is interpolated between nodes from the values of the CDF
    (order 1), also the density (order 3) or also its derivative (order 5);
    an interval is split where the u-error at its midpoint exceeds
    `u_resolution` (after Hörmann & Leydold 2003).

    Parameters
    ----------
    dist : object
        An object with a ``cdf`` method, a ``pdf`` method for orders 3 and 5,
        and a ``dpdf`` method (derivative of the density) for order 5;
        optionally ``support``. A frozen ``scipy.stats`` distribution works
        for orders 1 and 3.
    domain : tuple of 2 floats, optional
        The support (lo, hi), ends may be infinite. Default: ``dist.support()``
        when it exists, else the whole real line. On a narrower domain the
        draws follow the distribution truncated to it.
    order : {1, 3, 5}, optional
        Order of the Hermite polynomials. Default 3.
    u_resolution : float, optional
        Largest u-error allowed at the interval midpoints, in (0, 1).
        Default 1e-12.
    construction_points : array_like, optional
        Points that must be nodes: kinks or extrema of the density, say.
    random_state : None, int, numpy.random.SeedSequence, numpy.random.Generator or numpy.random.RandomState, optional
        The source of uniforms. See `set_random_state`.

    Raises
    ------
    ValueError
        For a bad `order`, `u_resolution` or `domain`, or a missing method.
    SetupError
        When a function gives a bad value (the message names the point), or
        the resolution needs more than the interval budget.
    """

    def __init__(self, dist, *, domain=None, order=3, u_resolution=1e-12, construction_points=None,
                 random_state=None):
        if isinstance(order, bool) or order not in (1, 3, 5):
            raise ValueError(f"`order` must be either 1, 3, or 5, got {order!r}")
        order = int(order)
        u_resolution = _float_in(u_resolution, "u_resolution", 0.0, 1.0, open_ends=True)
        lo, hi = _domain_of(dist, domain)
        center = _default_center(dist, lo, hi)
        probe = probe_points(lo, hi, center)
        cdf = _require(dist, "cdf")
        pdf = _require(dist, "pdf") if order >= 3 else None
        dpdf = _require(dist, "dpdf") if order == 5 else None
        points = np.zeros(0) if construction_points is None else _float_array(construction_points, "construction_points").ravel()
        if not np.all(np.isfinite(points)):
            raise ValueError("`construction_points` must be finite")
        points = np.sort(points)
        self._dist = dist
        self._cdf = cdf
        self._probe = probe
        self._options = (order, u_resolution, lo, hi)
        self._domain = (lo, hi)
        watch = CdfWatch()
        kind = kind_of(cdf, probe)
        plain_spec = function_spec(cdf, probe, kind=kind)
        cdf_spec = plain_spec if kind == "native" else function_spec(
            WatchedCdf(cdf, watch, kind == "vector"), probe, kind=kind)
        # The whole domain first, far into infinite tails: a CDF above 1 or
        # below 0 there is refused before any table is built.
        scan_cdf(lambda xs: _evaluate(plain_spec, xs), lo, hi, center, watch)
        try:
            self._engine = _engine.Hinv(
                cdf_spec, order, u_resolution, lo, hi, center, points,
                None if pdf is None else function_spec(pdf, probe),
                None if dpdf is None else function_spec(dpdf, probe))
        except SetupError as error:
            self._coarsen(error, dist, u_resolution, domain=(lo, hi), order=order,
                          construction_points=construction_points, random_state=random_state)
            return
        watch.finish()
        self._init_random_state(random_state)

    def _restore_engine(self, table):
        self._engine = _engine.Hinv.from_bytes(table)

    @property
    def intervals(self):
        """Number of interpolation intervals (nodes minus one)."""
        return self._engine.intervals()

    @property
    def midpoint_error(self):
        """The largest u-error measured at an interval midpoint during setup."""
        return self._engine.midpoint_error()

    def __repr__(self):
        order, u_resolution, lo, hi = self._options
        return (f"NumericalInverseHermite(order={order}, u_resolution={u_resolution:g}, "
                f"domain=({lo}, {hi}), intervals={self.intervals})")


# ---- TDR ----------------------------------------------------------------------------

class TransformedDensityRejection(_Generator):
    """Transformed density rejection with squeezes.

    For a density whose transform ``T(f)`` is concave (``T = log`` for
    ``c = 0``, ``T = -1/sqrt`` for ``c = -0.5``), tangents of ``T(f)`` at
    construction points make a hat above the density and secants a squeeze
    below it. A proposal from the hat under the squeeze is accepted without
    calling the density, so the density is called for about
    ``1 - squeeze_hat_ratio`` of the draws. Setup adds points where the gap
    between hat and squeeze is large until the ratio reaches
    `max_squeeze_hat_ratio` (after Hörmann 1995 and Gilks & Wild 1992).

    Parameters
    ----------
    dist : object
        An object with ``pdf`` and ``dpdf`` (derivative of the density)
        methods; optionally ``support``. The density need not be normalized.
    mode : float, optional
        The mode of the density, added as a construction point.
    center : float, optional
        A point near the bulk of the distribution, around which the first
        construction points are spread. By default the mode when given, else
        ``dist.median()`` when `dist` has that method, else 0 (moved into the
        domain).
    domain : tuple of 2 floats, optional
        The support (lo, hi), ends may be infinite. Default: ``dist.support()``
        when it exists, else the whole real line.
    c : {-0.5, 0.}, optional
        The transformation: ``-1/sqrt(f)`` (default) or ``log(f)``.
    construction_points : int or array_like, optional
        The number of first construction points, or the points themselves.
        Default 30.
    use_dars : bool, optional
        Whether setup refines the hat (derandomized adaptive rejection
        sampling). Default True.
    max_squeeze_hat_ratio : float, optional
        Refinement stops once (area below squeeze) / (area below hat)
        reaches this, in [0, 1]. Default 0.99.
    random_state : None, int, numpy.random.SeedSequence, numpy.random.Generator or numpy.random.RandomState, optional
        The source of uniforms. See `set_random_state`.
    max_intervals : int, optional
        Upper bound on the number of construction points. Default 1000.
        When it stops refinement short of `max_squeeze_hat_ratio`, a
        RuntimeWarning gives the ratio reached.

    Raises
    ------
    ValueError
        For a bad `c`, `construction_points`, ratio or `domain`, or a missing method.
    SetupError
        When the density is not T-concave, has no mass, or gives a bad value
        (the message names the point).
    """

    def __init__(self, dist, *, mode=None, center=None, domain=None, c=-0.5, construction_points=30,
                 use_dars=True, max_squeeze_hat_ratio=0.99, random_state=None, max_intervals=1000):
        c = float(c)
        if c not in (-0.5, 0.0):
            raise ValueError(f"`c` must either be -0.5 or 0., got {c}")
        mode = _optional_float(mode, "mode")
        center = _optional_float(center, "center")
        lo, hi = _domain_of(dist, domain)
        count, points = _construction_points(construction_points, lo, hi)
        ratio = _float_in(max_squeeze_hat_ratio, "max_squeeze_hat_ratio", 0.0, 1.0)
        max_intervals = _integer_in(max_intervals, "max_intervals", 1, 10**6)
        mode = _checked_mode(mode, lo, hi)
        if center is not None or mode is None:
            center = _start_point(dist, center, mode, lo, hi)
        start = center if center is not None else mode
        probe = probe_points(lo, hi, start)
        pdf = _require(dist, "pdf")
        dpdf = _require(dist, "dpdf")
        self._dist = dist
        self._probe = probe
        self._options = (c, lo, hi)
        self._yield = _LockYield()
        pdf_spec = self._yield.spec(pdf, probe)
        asked = (f"a hat from construction_points={construction_points!r}" if points.size == 0
                 else f"a hat from {points.size} construction points") + f" (max_intervals={max_intervals})"
        with _naming_memory(asked):
            self._engine = _engine.Tdr(pdf_spec, function_spec(dpdf, probe), c, lo, hi, count, points,
                                       bool(use_dars), ratio, max_intervals, mode, center)
        hat, squeeze, used = self._engine.areas()
        if use_dars and squeeze / hat < ratio:
            warnings.warn(f"max_squeeze_hat_ratio {ratio} not reached: {squeeze / hat:.6f} with {used} "
                          f"construction points (max_intervals={max_intervals}); more calls of the density "
                          f"per draw than asked", RuntimeWarning, stacklevel=2)
        self._init_random_state(random_state)

    def _restore_engine(self, table):
        pdf = _require(self._dist, "pdf")
        self._yield = _LockYield()
        self._engine = _engine.Tdr.from_bytes(table, self._yield.spec(pdf, self._probe))

    @property
    def hat_area(self):
        """Area below the hat."""
        return self._engine.areas()[0]

    @property
    def squeeze_area(self):
        """Area below the squeeze."""
        return self._engine.areas()[1]

    @property
    def squeeze_hat_ratio(self):
        """(area below squeeze) / (area below hat): the share of draws that
        need no density call."""
        hat, squeeze, _ = self._engine.areas()
        return squeeze / hat

    def ppf_hat(self, u):
        """The inverse CDF of the (normalized) hat at `u`.

        Parameters
        ----------
        u : array_like
            Probabilities in [0, 1]; others give NaN.

        Returns
        -------
        ppf_hat : ndarray or scalar
            Quantiles of the hat distribution, of the shape of `u`.
        """
        u = _float_array(u, "u")
        out = np.empty_like(u)
        self._engine.ppf_hat(u, out)
        return out[()]

    def __repr__(self):
        c, lo, hi = self._options
        hat, squeeze, points = self._engine.areas()
        return (f"TransformedDensityRejection(c={c:g}, domain=({lo}, {hi}), construction_points={points}, "
                f"squeeze_hat_ratio={squeeze / hat:.4f})")


def _scale_hint(spec, x):
    """Why a setup may have failed when the density is far from 1 where it
    starts: a density's scale does not matter to its law, but the table's
    thresholds are absolute."""
    try:
        with np.errstate(all="ignore"):
            value = float(_evaluate(spec, [x])[0])
    except Exception:
        return ""
    if not 0.0 < value < math.inf or 1e-50 <= value <= 1e50:
        return ""
    return (f"; the density is {value!r} at x = {x!r}, far from 1: multiply it by a constant "
            f"(its scale does not change the law)")


@contextlib.contextmanager
def _naming_memory(asked):
    """A MemoryError from a setup says what was asked for."""
    try:
        yield
    except MemoryError as error:
        detail = f": {error}" if str(error) else ""
        raise MemoryError(f"out of memory building {asked}{detail}") from None


def _construction_points(value, lo, hi):
    """(count, sorted points) for TDR's construction_points argument."""
    if np.ndim(value) == 0:
        try:
            count = operator.index(value)
        except TypeError:
            count = None
        if count is None or count <= 0:
            raise ValueError(f"`construction_points` must be a positive integer or an array, got {value!r}")
        return count, np.zeros(0)
    points = _float_array(value, "construction_points").ravel()
    if points.size == 0:
        raise ValueError("`construction_points` must either be a scalar or a non-empty array, got an empty array")
    if not np.all(np.isfinite(points)):
        raise ValueError("`construction_points` must be finite")
    ordered = np.unique(points)
    if ordered.size < points.size or np.any(np.diff(points) <= 0.0):
        warnings.warn(f"starting points not strictly monotonically increasing: the {points.size} "
                      f"construction points are sorted, {points.size - ordered.size} repeated dropped",
                      RuntimeWarning, stacklevel=3)
    inside = ordered[(ordered >= lo) & (ordered <= hi)]
    if inside.size < ordered.size:
        warnings.warn(f"starting point out of domain: {ordered.size - inside.size} construction points "
                      f"outside ({lo}, {hi}) dropped", RuntimeWarning, stacklevel=3)
    if inside.size == 0:
        raise ValueError(f"`construction_points` has no point inside the domain ({lo}, {hi})")
    return inside.size, inside


# ---- ratio of uniforms -------------------------------------------------------------

class SimpleRatioUniforms(_Generator):
    """Simple ratio of uniforms from the mode and the area of the density.

    For a density ``f`` with ``-1/sqrt(f)`` concave (all log-concave
    densities among them), the region ``{(u, v): 0 < u <= sqrt(f(v/u + m))}``
    lies in a rectangle known from ``f(m)`` at the mode ``m`` and the area
    below ``f``; points uniform in the rectangle and inside the region give
    ``v/u + m`` with density ``f`` (Leydold 2001). Setup costs one density
    value; each trial one density call. Knowing the CDF at the mode halves
    the rectangle.

    Parameters
    ----------
    dist : object
        An object with a ``pdf`` method; optionally ``support``.
    mode : float, optional
        The mode of the density. When not given it is searched for
        numerically (a few hundred density calls).
    pdf_area : float, optional
        The area below the density, or an upper bound of it (at the cost of
        more rejections). Default 1.
    domain : tuple of 2 floats, optional
        The support (lo, hi), ends may be infinite. Default: ``dist.support()``
        when it exists, else the whole real line.
    cdf_at_mode : float, optional
        The CDF at the mode, in [0, 1].
    random_state : None, int, numpy.random.SeedSequence, numpy.random.Generator or numpy.random.RandomState, optional
        The source of uniforms. See `set_random_state`.

    Raises
    ------
    ValueError
        For a `pdf_area` that is not positive, or a bad `domain`.
    SetupError
        When the density at the mode is zero or not a finite non-negative
        number, or `cdf_at_mode` is outside [0, 1].
    """

    def __init__(self, dist, *, mode=None, pdf_area=1, domain=None, cdf_at_mode=None, random_state=None):
        pdf_area = float(pdf_area)
        if not pdf_area > 0.0:
            raise ValueError(f"`pdf_area` must be > 0, got {pdf_area}")
        mode = _optional_float(mode, "mode")
        cdf_at_mode = _optional_float(cdf_at_mode, "cdf_at_mode")
        lo, hi = _domain_of(dist, domain)
        mode = _checked_mode(mode, lo, hi)
        start = mode if mode is not None else _default_center(dist, lo, hi)
        probe = probe_points(lo, hi, start)
        pdf = _require(dist, "pdf")
        self._yield = _LockYield()
        spec = self._yield.spec(pdf, probe)
        if mode is None:
            mode = float(_find_mode(spec, lo, hi, start))
        self._dist = dist
        self._probe = probe
        self._options = (mode, pdf_area, lo, hi, cdf_at_mode)
        self._engine = _engine.Srou(spec, mode, pdf_area, lo, hi, cdf_at_mode)
        self._init_random_state(random_state)

    def _restore_engine(self, table):
        pdf = _require(self._dist, "pdf")
        self._yield = _LockYield()
        self._engine = _engine.Srou.from_bytes(table, self._yield.spec(pdf, self._probe))

    def __repr__(self):
        mode, pdf_area, lo, hi, cdf_at_mode = self._options
        return (f"SimpleRatioUniforms(mode={mode!r}, pdf_area={pdf_area!r}, domain=({lo}, {hi}), "
                f"cdf_at_mode={cdf_at_mode!r})")


def _table_cdf(engine, x):
    x = np.ascontiguousarray(x, dtype=np.float64)
    out = np.empty_like(x)
    engine.cdf(x.__array_interface__["data"][0], out.__array_interface__["data"][0], x.size)
    return out


def _evaluate(spec, xs):
    xs = np.ascontiguousarray(xs, dtype=np.float64)
    ys = np.empty_like(xs)
    _engine.evaluate(spec, xs, ys)
    return ys


# A coarse scan, then golden-section steps on the bracket around its best point.
_MODE_SCAN_POINTS = 257
_MODE_REFINE_STEPS = 80


def _find_mode(spec, lo, hi, c):
    """The argmax of the density: a scan over the domain (geometric in infinite
    directions), then golden-section search between the neighbours of the best point."""
    if math.isfinite(lo) and math.isfinite(hi):
        xs = np.linspace(lo, hi, _MODE_SCAN_POINTS)
    else:
        steps = np.ldexp(1.0, np.arange(-20, 64))
        xs = np.concatenate([c - steps[::-1], [c], c + steps])
        xs = xs[(xs >= lo) & (xs <= hi)]
        xs = np.unique(np.concatenate([xs, np.linspace(max(lo, c - 10), min(hi, c + 10), 201)]))
    ys = _evaluate(spec, xs)
    if np.any(~np.isfinite(ys) | (ys < 0)):
        i = int(np.argmax(~np.isfinite(ys) | (ys < 0)))
        raise SetupError(f"function value {ys[i]} at x = {xs[i]} is not a finite non-negative number")
    best = int(np.argmax(ys))
    if ys[best] <= 0.0:
        raise SetupError("the density has no mass on the domain")
    a = xs[max(best - 1, 0)]
    b = xs[min(best + 1, xs.size - 1)]
    ratio = (math.sqrt(5.0) - 1.0) / 2.0
    for _ in range(_MODE_REFINE_STEPS):
        x1 = b - ratio * (b - a)
        x2 = a + ratio * (b - a)
        y1, y2 = _evaluate(spec, [x1, x2])
        if y1 >= y2:
            b = x2
        else:
            a = x1
        if b - a <= 1e-12 * max(1.0, abs(a)):
            break
    return 0.5 * (a + b)


class RatioUniforms:
    """Ratio of uniforms over a rectangle the caller gives.

    With ``A = {(u, v): 0 < u <= sqrt(pdf(v/u + c))}``, a point uniform in
    ``A`` gives ``v/u + c`` with density proportional to `pdf` (Kinderman &
    Monahan 1977). Points are drawn in ``[0, umax] x [vmin, vmax]`` and kept
    when inside ``A``. The rectangle must contain ``A``: ``umax >= sup
    sqrt(pdf)``, ``vmin <= inf (x - c) sqrt(pdf(x))`` and ``vmax >= sup (x - c)
    sqrt(pdf(x))``; a smaller one gives draws from another law, which no
    check here can see.

    Parameters
    ----------
    pdf : callable or scipy.LowLevelCallable
        A function proportional to the density.
    umax : float
        Upper bound of the rectangle in u (positive).
    vmin, vmax : float
        Bounds of the rectangle in v (``vmin < vmax``).
    c : float, optional
        The shift; 0 or the mode are usual. Default 0.
    random_state : None, int, numpy.random.SeedSequence, numpy.random.Generator or numpy.random.RandomState, optional
        The source of uniforms.

    Raises
    ------
    ValueError
        For a rectangle that is empty or not finite.
    SetupError
        From `rvs` when 50000 trials in a row are rejected (the rectangle
        misses the density), or the density gives a bad value.
    """

    def __init__(self, pdf, *, umax, vmin, vmax, c=0, random_state=None):
        umax, vmin, vmax, c = (float(v) for v in (umax, vmin, vmax, c))
        if not all(math.isfinite(v) for v in (umax, vmin, vmax, c)):
            raise ValueError("`umax`, `vmin`, `vmax` and `c` must be finite")
        if not umax > 0.0:
            raise ValueError(f"umax must be positive, got {umax}")
        if not vmin < vmax:
            raise ValueError(f"vmin must be smaller than vmax, got vmin={vmin}, vmax={vmax}")
        if not (callable(pdf) or is_native(pdf)):
            raise TypeError(f"`pdf` must be callable, got {type(pdf).__name__}")
        self._pdf = pdf
        self._options = (umax, vmin, vmax, c)
        self._yield = _LockYield()
        self._engine = _engine.Rou(self._yield.spec(pdf, (c, c + 0.5)), umax, vmin, vmax, c)
        self._source = _sampling_source(random_state)

    _fill = _Generator._fill

    def rvs(self, size=1):
        """Draw random variates.

        Parameters
        ----------
        size : int or tuple of ints, optional
            Shape of the result; default 1 (an array of one draw). ``None``
            returns one number.

        Returns
        -------
        rvs : ndarray or scalar
        """
        return _Generator.rvs(self, size)

    def set_random_state(self, random_state=None):
        """Replace the source of uniforms (see `_Generator.set_random_state`)."""
        self._source = _sampling_source(random_state)

    _dtype = np.float64

    def __reduce__(self):
        umax, vmin, vmax, c = self._options
        return (_rebuild_rou, (self._pdf, umax, vmin, vmax, c, self._source.generator))

    def __repr__(self):
        umax, vmin, vmax, c = self._options
        return f"RatioUniforms(umax={umax!r}, vmin={vmin!r}, vmax={vmax!r}, c={c!r})"


def _rebuild_rou(pdf, umax, vmin, vmax, c, generator):
    return RatioUniforms(pdf, umax=umax, vmin=vmin, vmax=vmax, c=c, random_state=generator)


# ---- discrete --------------------------------------------------------------------------

# The widest pmf domain evaluated into a probability vector.
_MAX_PMF_DOMAIN = 1 << 27


def _probability_vector(dist, domain):
    """(pv, first value): a given vector, or the pmf over a finite domain."""
    pmf = _method(dist, "pmf")
    if pmf is None:
        try:
            pv = np.array(dist, dtype=np.float64, order="C")
        except (TypeError, ValueError) as error:
            raise TypeError("`dist` must be a probability vector or have a `pmf` method") from error
        first = 0
        if domain is not None:
            # Only the first end counts: it relocates the vector.
            first = int(_discrete_domain(domain)[0])
    else:
        if domain is None and not callable(getattr(dist, "support", None)):
            raise ValueError("`domain` must be provided when the probability vector is not available: "
                             "`dist` has a `pmf` but no `support`")
        lo, hi = _discrete_domain(dist.support() if domain is None else domain)
        if hi - lo + 1 > _MAX_PMF_DOMAIN:
            raise ValueError(f"the domain ({lo}, {hi}) is too wide to tabulate the pmf")
        first = int(lo)
        ks = np.arange(int(lo), int(hi) + 1)
        pv = _pmf_values(pmf, ks)
    if pv.ndim != 1:
        raise ValueError(f"the probability vector has the wrong number of dimensions (expected 1, got {pv.ndim}): "
                         f"shape {pv.shape}")
    if pv.size == 0:
        raise ValueError("the probability vector must contain at least one element")
    if not np.all(np.isfinite(pv)):
        raise ValueError("the probability vector must contain only finite / non-nan values")
    if not np.any(pv != 0.0):
        raise ValueError("the probability vector must contain at least one non-zero value")
    negative = np.flatnonzero(pv < 0.0)
    if negative.size:
        i = int(negative[0])
        value = float(pv[i])
        where = f"the pmf is {value!r} at x = {first + i}" if pmf is not None else f"entry {i} is {value!r}"
        raise SetupError(f"probability < 0: {where}")
    return pv, first


def _pmf_values(pmf, ks):
    if is_native(pmf):
        return _evaluate(function_spec(pmf), ks.astype(np.float64))
    try:
        values = np.asarray(pmf(ks), dtype=np.float64)
        if values.shape == ks.shape:
            return np.ascontiguousarray(values)
    except Exception:
        pass
    # numpy, not float(), reads the values: one that is not a number gets
    # numpy's ValueError ("setting an array element with a sequence").
    return np.fromiter((pmf(int(k)) for k in ks), dtype=np.float64, count=ks.size)


class _DiscreteTable(_Generator):
    _dtype = np.int64

    def _restore_engine(self, table):
        self._engine = self._engine_class.from_bytes(table)


class DiscreteAliasUrn(_DiscreteTable):
    """Walker's alias method for a finite discrete distribution.

    A table of urn slots, each holding its own value and an alias, turns one
    uniform into one draw in constant time whatever the number of values
    (Walker 1977; table built after Vose 1991).

    Parameters
    ----------
    dist : array_like or object
        The probability vector (non-negative, finite, not all zero; need not
        sum to 1), or an object with a ``pmf`` method over a finite domain.
    domain : tuple of 2 ints, optional
        With a vector: ``domain[0]`` is the value of its first entry (the
        pair must still be valid, lo < hi; the second end does not truncate). With a pmf: the inclusive range it is
        tabulated over; default ``dist.support()``.
    urn_factor : float, optional
        Urn slots per value, at least 1 (smaller values act as 1, with a
        warning). Default 1.
    random_state : None, int, numpy.random.SeedSequence, numpy.random.Generator or numpy.random.RandomState, optional
        The source of uniforms. See `set_random_state`.

    Raises
    ------
    ValueError
        For an empty, multi-dimensional, non-finite or all-zero vector, or a
        pmf without a finite domain.
    SetupError
        For a negative probability (the message names its index).
    """

    _engine_class = _engine.AliasUrn

    def __init__(self, dist, *, domain=None, urn_factor=1, random_state=None):
        urn_factor = float(urn_factor)
        if not urn_factor >= 1.0:
            warnings.warn(f"relative urn size < 1.: urn_factor {urn_factor}; using 1", RuntimeWarning, stacklevel=2)
            urn_factor = 1.0
        pv, first = _probability_vector(dist, domain)
        self._dist = dist
        self._options = (pv.size, first, urn_factor)
        self._engine = _engine.AliasUrn(pv, urn_factor, float(first))
        self._init_random_state(random_state)

    def __repr__(self):
        size, first, urn_factor = self._options
        return f"DiscreteAliasUrn(values={size}, first={first}, urn_factor={urn_factor:g})"


class DiscreteGuideTable(_DiscreteTable):
    """Inversion of a finite discrete distribution by indexed search.

    A guide table points into the cumulative probabilities, so that finding
    the smallest ``k`` with ``CDF(k) > u`` takes about two comparisons (Chen
    & Asau 1974). Draws are monotone in the uniform, which makes `ppf`
    available.

    Parameters
    ----------
    dist : array_like or object
        The probability vector (non-negative, finite, not all zero; need not
        sum to 1), or an object with a ``pmf`` method over a finite domain.
    domain : tuple of 2 ints, optional
        With a vector: ``domain[0]`` is the value of its first entry (the
        pair must still be valid, lo < hi; the second end does not truncate). With a pmf: the inclusive range it is
        tabulated over; default ``dist.support()``.
    guide_factor : float, optional
        Guide entries per value (0 means a single entry: sequential search;
        negative values act as 1, with a warning). Default 1.
    random_state : None, int, numpy.random.SeedSequence, numpy.random.Generator or numpy.random.RandomState, optional
        The source of uniforms. See `set_random_state`.

    Raises
    ------
    ValueError
        For an empty, multi-dimensional, non-finite or all-zero vector, or a
        pmf without a finite domain.
    SetupError
        For a negative probability (the message names its index).
    """

    _engine_class = _engine.GuideTable

    def __init__(self, dist, *, domain=None, guide_factor=1, random_state=None):
        guide_factor = float(guide_factor)
        if not guide_factor >= 0.0:
            warnings.warn(f"guide_factor {guide_factor} is negative; using 1", RuntimeWarning, stacklevel=2)
            guide_factor = 1.0
        elif guide_factor == 0.0:
            warnings.warn("guide_factor 0: no guide table, every draw searches the cumulative "
                          "probabilities from the start", RuntimeWarning, stacklevel=2)
        elif guide_factor > 3.0:
            warnings.warn(f"guide_factor {guide_factor} > 3: a guide table this large costs memory and "
                          f"gains no speed", RuntimeWarning, stacklevel=2)
        pv, first = _probability_vector(dist, domain)
        self._dist = dist
        self._options = (pv.size, first, guide_factor)
        self._engine = _engine.GuideTable(pv, guide_factor, float(first))
        self._init_random_state(random_state)

    def ppf(self, u):
        """The inverse CDF: the smallest value ``k`` with ``CDF(k) >= u``.

        Parameters
        ----------
        u : array_like
            Probabilities. ``ppf(0)`` is one below the first value, ``ppf(1)``
            the last value, and values outside [0, 1] give NaN.

        Returns
        -------
        ppf : ndarray or scalar
            Values as floats (NaN needs a float), of the shape of `u`.
        """
        u = _float_array(u, "u")
        out = np.empty_like(u)
        self._engine.ppf(u, out)
        return out[()]

    def __repr__(self):
        size, first, guide_factor = self._options
        return f"DiscreteGuideTable(values={size}, first={first}, guide_factor={guide_factor:g})"


# ---- argument checks ----------------------------------------------------------------

def _integer_in(value, name, lo, hi):
    try:
        as_float = float(value)
        ok = as_float.is_integer() and lo <= as_float <= hi
    except (TypeError, ValueError, OverflowError):
        ok = False
    if not ok or isinstance(value, bool):
        raise ValueError(f"`{name}` must be an integer in the range [{lo}, {hi}], got {value!r}")
    return int(as_float)


def _float_in(value, name, lo, hi, open_ends=False):
    try:
        x = float(value)
    except (TypeError, ValueError) as error:
        # float()'s own text ("could not convert string to float: ...") says what was wrong.
        raise ValueError(f"`{name}` must be a number: {error}") from None
    inside = lo < x < hi if open_ends else lo <= x <= hi
    if not inside:
        ends = " (ends excluded)" if open_ends else ""
        raise ValueError(f"`{name}` must be between {_short(lo)} and {_short(hi)}{ends}, got {value!r}")
    return x


def _short(x):
    """A bound as people write it: 1e-5, not 1e-05."""
    return f"{x:g}".replace("e-0", "e-").replace("e+0", "e+")
