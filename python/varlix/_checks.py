"""Checks of user input that every constructor shares.

* a support must hold enough doubles to put a table on;
* a CDF's values must lie in [0, 1] and never decrease, at every point a
  setup evaluates and at a scan of the whole support that reaches far into
  infinite tails (a CDF whose excess shows only there, ``2 * ndtr(x)`` on the
  real line, is refused, not silently cut at 1);
* a log-density must be resolvable in double precision near its peak.
"""
from __future__ import annotations

import math

import numpy as np

from ._functions import batch_values, point_value

__all__ = ["CdfWatch", "WatchedCdf", "scan_cdf", "check_log_scale", "check_width", "scan_points"]

# A support holding fewer doubles than this cannot carry an inversion table
# (its intervals would be single ulps), and its width's reciprocal may
# overflow: it is refused at once.
_MIN_DOUBLES = 64
# A CDF may wobble by rounding; a decrease larger than this is a fault. A
# CDF computed near 1 as a power or a product wobbles by tens of ulps of 1
# (scipy.stats.mielke by 2.3e-15), which is rounding, not a wrong law; a
# table asked to resolve finer than the wobble finds that out itself.
_MONOTONE_SLACK = 1e-14
# Far points of an infinite tail the scan visits: where a CDF's excess over 1
# (or its negative values) shows.
_FAR = np.array([1e-3, 1e-2, 0.1, 0.5, 1.0, 2.0, 5.0, 10.0, 20.0, 50.0, 100.0, 1e3, 1e4, 1e6, 1e10, 1e20, 1e50,
                 1e100, 1e300])


def _ordinal(x: float) -> int:
    """x's position on the line of doubles (monotone; -0.0 and 0.0 alike)."""
    i = int(np.float64(x).view(np.int64))
    return i if i >= 0 else -(i & 0x7FFFFFFFFFFFFFFF)


def check_width(lo: float, hi: float, name: str = "support") -> None:
    """Refuses a finite (lo, hi) that holds fewer than a few dozen doubles."""
    if math.isfinite(lo) and math.isfinite(hi) and _ordinal(hi) - _ordinal(lo) < _MIN_DOUBLES:
        raise ValueError(
            f"{name} ({lo!r}, {hi!r}) is too narrow: it holds {_ordinal(hi) - _ordinal(lo) + 1} doubles, "
            f"and a table needs at least {_MIN_DOUBLES + 1}"
        )


def scan_points(lo: float, hi: float, center: float | None = None) -> np.ndarray:
    """Points of [lo, hi] from end to end, far into an infinite tail."""
    c = center if center is not None and lo <= center <= hi else (
        0.0 if lo <= 0.0 <= hi else (lo if math.isfinite(lo) else hi))
    if math.isfinite(lo) and math.isfinite(hi):
        xs = lo + (hi - lo) * np.linspace(0.0, 1.0, 65)
    else:
        xs = np.concatenate((c - _FAR[::-1], [c], c + _FAR))
        xs = xs[(xs >= lo) & (xs <= hi) & np.isfinite(xs)]
        ends = [e for e in (lo, hi) if math.isfinite(e)]
        xs = np.concatenate((xs, ends))
    return np.unique(xs)


def scan_cdf(evaluate, lo: float, hi: float, center: float | None, watch: "CdfWatch") -> None:
    """Watches the CDF at the scan points. These are the library's choice,
    not the user's: an overflow there (exp of a huge argument in a logistic
    CDF, say) is not a fault of the CDF, and the scan is then left to setup."""
    xs = scan_points(lo, hi, center)
    try:
        with np.errstate(all="ignore"):
            ys = evaluate(xs)
    except ArithmeticError:
        return
    # NaN far out (inf - inf in a formula) is the scan's own doing; setup
    # checks every value it uses itself.
    keep = ~np.isnan(ys)
    watch.watch(xs[keep], ys[keep], where=", a point of the scan of the support for a CDF's range")
    watch.check_order()


class CdfWatch:
    """Checks a CDF's values as they come, and their order when setup ends.

    ``watch(x, y)`` refuses a value outside [0, 1] (or NaN) at once, naming
    x, and records the pair; ``finish()`` refuses a decrease between any two
    points seen and stops recording.
    """

    def __init__(self, what: str = "CDF"):
        self.what = what
        self._xs: list | None = []
        self._ys: list = []
        self._point_xs: list = []
        self._point_ys: list = []

    def watch(self, x: np.ndarray, y: np.ndarray, where: str = "") -> np.ndarray:
        bad = ~((y >= 0.0) & (y <= 1.0))
        if bad.any():
            i = int(np.argmax(bad))
            raise ValueError(
                f"the {self.what} is {float(y[i])!r} at x = {float(x[i])!r}{where}: a CDF's values lie in [0, 1]"
            )
        if self._xs is not None:
            self._xs.append(np.array(x, dtype=np.float64))
            self._ys.append(np.array(y, dtype=np.float64))
        return y

    def watch_point(self, x: float, y: float) -> float:
        # One point at a time (a scalar CDF under setup): no arrays per call.
        if not 0.0 <= y <= 1.0:
            raise ValueError(f"the {self.what} is {y!r} at x = {x!r}: a CDF's values lie in [0, 1]")
        if self._xs is not None:
            self._point_xs.append(x)
            self._point_ys.append(y)
        return y

    def finish(self) -> None:
        """Checks the order of every value seen and stops recording."""
        self.check_order()
        self._xs, self._ys, self._point_xs, self._point_ys = None, [], [], []

    def check_order(self) -> None:
        """Refuses a decrease between any two of the points seen so far."""
        if self._xs is None:
            return
        if self._point_xs:
            self._xs.append(np.array(self._point_xs, dtype=np.float64))
            self._ys.append(np.array(self._point_ys, dtype=np.float64))
            self._point_xs, self._point_ys = [], []
        if not self._xs:
            return
        xs, ys = np.concatenate(self._xs), np.concatenate(self._ys)
        self._xs, self._ys = [xs], [ys]
        order = np.lexsort((ys, xs))
        xs, ys = xs[order], ys[order]
        # At one x the largest value is compared with the next x's smallest.
        drop = (np.diff(ys) < -_MONOTONE_SLACK) & (np.diff(xs) > 0)
        if drop.any():
            i = int(np.argmax(drop))
            raise ValueError(
                f"the {self.what} decreases from {float(ys[i])!r} at x = {float(xs[i])!r} "
                f"to {float(ys[i + 1])!r} at x = {float(xs[i + 1])!r}"
            )


class WatchedCdf:
    """A Python CDF that passes every value it returns through a CdfWatch,
    called as the engine calls it: on floats, and on arrays when vectorized."""

    def __init__(self, cdf, watch: CdfWatch, vectorized: bool):
        self.cdf = cdf
        self.watch = watch
        self.vectorized = vectorized

    def __call__(self, x):
        if self.vectorized and np.ndim(x) != 0:
            return self.watch.watch(x, batch_values(self.cdf(x), x))
        return self.watch.watch_point(x, point_value(self.cdf(x), x))


def check_log_scale(top: float, center: float) -> None:
    """Refuses a log-density whose peak value is too large for differences
    of order 1 to show: exp of it would be flat over whatever range the
    rounding hides (``1e300 - x*x/2`` is 1e300 for every |x| below 1e142)."""
    if math.isfinite(top) and math.ulp(top) > _LOG_RESOLUTION:
        raise ValueError(
            f"the log-density is {top!r} at x = {center!r}: at that magnitude double precision cannot "
            f"resolve differences below {math.ulp(top)!r}, so the density's shape is lost; "
            f"subtract a constant from the log-density"
        )


# The coarsest step of log-density values near the peak that still resolves
# the density to about 1e-3 relative.
_LOG_RESOLUTION = 1e-3
