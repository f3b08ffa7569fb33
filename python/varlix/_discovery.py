"""Where a density's mass lies, found before (and checked after) a table.

A PINV table follows the density outward from one center and stops where
the tail looks negligible: a second mode beyond a valley, or a spike the
interpolation nodes step over, is lost without a sign. This module looks
for the mass independently:

1. A walk from every start point (the user's center, the library's default
   start) outward on both sides in growing steps (1, 2, 5 times powers of
   ten), stopping a side once the density has stayed negligible over a
   hundredfold growth of the distance. The walk goes outward in order, so a
   function that overflows far away (``math.exp``) is not called there
   unless mass leads there.
2. Adaptive Gauss-Legendre quadrature over the explored range, its first
   partition made of the walk's points (dense near every start, so narrow
   peaks there are resolved) and a regular grid.
3. On an infinite side, a mapped-interval integral x = b + w t / (1 - t)
   beyond the explored range: an independent estimate of the mass the
   range leaves out.

The leaves of the quadrature with mass form the pieces of the law; a table
built from them is checked against their total.

The common case is checked more cheaply (`agrees`): the engine's adaptive
Gauss-Kronrod quadrature starts from the walk's points alone (they bracket
the mass and are dense near every start) with mapped tails beyond them, and
refines where its own error estimate says so; the full search above runs
only when that check disagrees or when asked for.
"""
from __future__ import annotations

import copy
import math

import numpy as np

# Distances of the walk from its start: 1, 2, 5 times powers of ten.
_WALK = np.outer(10.0 ** np.arange(-3, 300), [1.0, 2.0, 5.0]).ravel()
_WALK = _WALK[np.isfinite(_WALK)]
# Finer first steps, tried only when the coarse walk meets no density (a
# peak narrower than 1e-3 next to a finite end, exp(-x / 1e-6) on (0, inf)).
_FINE_WALK = np.outer(10.0 ** np.arange(-12, -3), [1.0, 2.0, 5.0]).ravel()
# A side of the walk ends after this many negligible points in a row (the
# distance grows a hundredfold over them).
_QUIET_STEPS = 7
# Points of the walk per call of the density (a decade of 1, 2, 5 steps
# twice): few calls, and an overflowing call is retried point by point.
_WALK_CHUNK = 6
# Density times distance below this fraction of the best such product seen
# is negligible for the walk.
_WALK_NEGLIGIBLE = 1e-18
# The regular part of the quadrature's first partition.
_GRID_PIECES = 128
_NODES, _WEIGHTS = np.polynomial.legendre.leggauss(8)
# Refinement limits: a density that needs more is refused by the check, not
# integrated forever.
_MAX_ROUNDS = 60
_MAX_LEAVES = 40000
# A leaf whose error estimate is below this fraction of u_resolution times
# the mass is accepted; leaves with mass below _EMPTY times that separate
# pieces.
_LEAF_TOLERANCE = 1e-4
_EMPTY = 1e-2


class Exploration:
    """What the search saw: the explored range, the pieces holding mass
    (with their masses as fractions of the total), and the tail estimates
    beyond the range (None where the density could not be evaluated)."""

    def __init__(self, lo, hi, pieces, masses, total, tails, leaves):
        self.range = (float(lo), float(hi))
        self.pieces = [(float(a), float(b)) for a, b in pieces]
        self.masses = np.asarray(masses, dtype=np.float64)
        self.total = float(total)
        self.tails = tails
        self.leaves = leaves  # (edges, masses) of the quadrature leaves

    def fractions(self):
        return self.masses / self.total

    def mapped(self, loc, scale):
        """The same search in the coordinates of loc + scale * x (scale > 0)."""
        out = copy.copy(self)
        out.range = (loc + scale * self.range[0], loc + scale * self.range[1])
        out.pieces = [(loc + scale * a, loc + scale * b) for a, b in self.pieces]
        return out

    def __repr__(self):
        parts = ", ".join(f"[{a:.6g}, {b:.6g}]: {m:.3g}" for (a, b), m in zip(self.pieces, self.fractions()))
        return f"Exploration(range=[{self.range[0]:.6g}, {self.range[1]:.6g}], pieces={{{parts}}})"


def _evaluate(f, x):
    return np.asarray(f(np.ascontiguousarray(x, dtype=np.float64)), dtype=np.float64)


def _quiet_evaluate(f, x):
    with np.errstate(all="ignore"):
        return _evaluate(f, x)


def walk(f, lo, hi, starts):
    """The points the outward walk looked at, sorted, with the density there."""
    seen_x, seen_y = [], []
    # One error state for the whole walk: it is set per call of f otherwise,
    # which costs as much as a scalar density's calls.
    with np.errstate(all="ignore"):
        for steps in (_WALK, _FINE_WALK):
            for c in starts:
                for side in _walk_from(f, c, lo, hi, steps):
                    seen_x.extend(side.xs)
                    seen_y.extend(side.ys)
            if any(y > 0 for y in seen_y):
                break
        y = np.concatenate((np.asarray(seen_y, dtype=np.float64), _evaluate(f, np.asarray(starts))))
    x = np.asarray(seen_x + list(starts), dtype=np.float64)
    order = np.argsort(x, kind="stable")
    return x[order], y[order]


def _walk_from(f, c, lo, hi, steps):
    """Both sides of the walk from c, the next decade of each in one call
    of f (the calls, not the points, are what a walk costs); a call that
    fails is retried side by side, then point by point."""
    sides = [_Side(c, side, lo, hi, steps) for side in (-1.0, 1.0)]
    while True:
        active = [s for s in sides if not s.done]
        if not active:
            return sides
        chunks = [s.next_distances() for s in active]
        ys = _usable_values(f, [s.c + s.side * d for s, ds in zip(active, chunks) for d in ds])
        at = 0
        for s, ds in zip(active, chunks):
            if ys is not None:
                s.take(ds, ys[at:at + len(ds)])
                at += len(ds)
                continue
            own = _usable_values(f, [s.c + s.side * d for d in ds]) if len(active) > 1 else None
            if own is not None:
                s.take(ds, own)
            else:
                s.point_by_point(f, ds)


def _usable_values(f, x):
    """f at the points x as a list, or None when the call overflows or a
    value is not a finite non-negative number."""
    try:
        y = _evaluate(f, np.array(x, dtype=np.float64)).tolist()
    except ArithmeticError:
        return None
    return y if all(0.0 <= v < math.inf for v in y) else None


class _Side:
    """One side of a walk from c: its distances inside the support, the
    points seen, and whether it has ended (after _QUIET_STEPS negligible
    points in a row, at the support's end, or at a point with no usable
    value)."""

    def __init__(self, c, side, lo, hi, steps):
        x = c + side * steps
        # Points leave the support in order: stop at the first that does.
        inside = (lo < x) & (x < hi)
        n = steps.size if inside.all() else int(np.argmin(inside))
        self.c, self.side = c, side
        self.distances = steps[:n].tolist()
        self.k = 0
        self.best, self.quiet = 0.0, 0
        self.xs, self.ys = [], []
        self.done = n == 0

    def next_distances(self):
        return self.distances[self.k:self.k + _WALK_CHUNK]

    def take(self, ds, ys):
        for d, y in zip(ds, ys):
            self.xs.append(self.c + self.side * d)
            self.ys.append(y)
            weight = y * d
            self.best = max(self.best, weight)
            self.quiet = self.quiet + 1 if weight <= _WALK_NEGLIGIBLE * self.best else 0
            if self.quiet >= _QUIET_STEPS:
                self.done = True
                return
        self.k += len(ds)
        self.done = self.k >= len(self.distances)

    def point_by_point(self, f, ds):
        for d in ds:
            y = _usable_values(f, [self.c + self.side * d])
            if y is None:
                # An overflow far out: the function cannot go there (the
                # table's own evaluation reports a bad value if mass is there).
                self.done = True
                return
            self.take([d], y)
            if self.done:
                return


def _gauss(f, a, b):
    """8-point Gauss-Legendre on each interval [a_i, b_i] (one batch)."""
    half = 0.5 * (b - a)
    mid = 0.5 * (a + b)
    x = (mid[:, None] + half[:, None] * _NODES[None, :]).ravel()
    y = f(x).reshape(a.size, _NODES.size)
    # A node of an interval narrower than its rounding can land on an
    # integrable pole at the interval's end (arcsine at 0): infinite there,
    # it would make every sum NaN. Such a node's share of mass is below what
    # the rounding resolves; an infinite density elsewhere is the table's to refuse.
    y = np.where(np.isinf(y), 0.0, y)
    return half * (y @ _WEIGHTS)


def integrate(f, edges, u_resolution):
    """Adaptive quadrature over consecutive intervals; the leaves' edges and
    masses, and whether every leaf converged."""
    a, b = edges[:-1], edges[1:]
    q = _gauss(f, a, b)
    done_a, done_b, done_q = [], [], []
    converged = True
    for _ in range(_MAX_ROUNDS):
        if a.size == 0:
            break
        m = 0.5 * (a + b)
        left = _gauss(f, np.concatenate((a, m)), np.concatenate((m, b)))
        ql, qr = left[:a.size], left[a.size:]
        total = sum(float(np.sum(v)) for v in done_q) + float(np.sum(ql + qr))
        err = np.abs(ql + qr - q)
        tol = max(_LEAF_TOLERANCE * u_resolution * total, 1e-300)
        # Halves narrower than rounding allows are leaves too.
        ok = (err <= np.maximum(tol, 1e-12 * np.abs(ql + qr))) | (m <= a) | (m >= b)
        done_a += [a[ok], m[ok]]
        done_b += [m[ok], b[ok]]
        done_q += [ql[ok], qr[ok]]
        bad = ~ok
        a, b = np.concatenate((a[bad], m[bad])), np.concatenate((m[bad], b[bad]))
        q = np.concatenate((ql[bad], qr[bad]))
        if a.size + sum(v.size for v in done_q) > _MAX_LEAVES:
            converged = False
            break
    if a.size:
        converged = False
        done_a.append(a)
        done_b.append(b)
        done_q.append(q)
    la, lb, lq = np.concatenate(done_a), np.concatenate(done_b), np.concatenate(done_q)
    order = np.argsort(la)
    return la[order], lb[order], lq[order], converged


def _tail(f, edge, width, side):
    """The mass beyond `edge` on `side`, by x = edge + side * width * t / (1 - t)."""
    cuts = np.array([0.0, 0.5, 0.8, 0.95, 0.99, 0.999, 1.0])
    t = (0.5 * (cuts[:-1] + cuts[1:])[:, None] + 0.5 * np.diff(cuts)[:, None] * _NODES[None, :]).ravel()
    w = (0.5 * np.diff(cuts)[:, None] * _WEIGHTS[None, :]).ravel()
    with np.errstate(all="ignore"):
        x = edge + side * width * t / (1.0 - t)
        jac = width / (1.0 - t) ** 2
    try:
        y = _quiet_evaluate(f, x)
    except ArithmeticError:
        return None
    if not np.all(np.isfinite(y) & (y >= 0)):
        return None
    return float(np.sum(w * jac * y))


def survey(f, lo, hi, starts, walked=None):
    """The explored range [a, b] and the walk's points in it (its ends
    included), or None when the walk met no density on an infinite support.
    `walked` holds walks already made, {start: (points, values)}."""
    walked = walked or {}
    todo = [c for c in starts if c not in walked]
    parts = [walk(f, lo, hi, todo)] if todo else []
    parts += [walked[c] for c in starts if c in walked]
    xs = np.concatenate([x for x, _ in parts])
    ys = np.concatenate([y for _, y in parts])
    positive = xs[ys > 0]
    if positive.size == 0 and not (math.isfinite(lo) and math.isfinite(hi)):
        return None
    a = lo if math.isfinite(lo) else min(xs.min(), positive.min() if positive.size else xs.min())
    b = hi if math.isfinite(hi) else max(xs.max(), positive.max() if positive.size else xs.max())
    if not a < b:
        return None
    return a, b, np.unique(np.concatenate(([a, b], xs[(xs > a) & (xs < b)])))


# The engine's quadrature is asked for this fraction of u_resolution (its
# error estimate, |K15 - G7|, is far above the error itself).
_QUICK_TOLERANCE = 0.1


def agrees(integrate_total, surveyed, area, u_resolution, lo, hi):
    """Whether a table's area matches the mass over the survey's partition
    (the tails beyond it included), by the engine's adaptive Gauss-Kronrod
    quadrature: the check of the common case, without the leaves that
    locate the pieces. `integrate_total(breaks, tail_scale, rel_tol)` is
    the integral over the partition; any failure of it (a value the engine
    refuses, an overflow) answers no, and the full search decides."""
    if surveyed is None or area is None:
        return False
    a, b, edges = surveyed
    breaks = np.concatenate(([lo] if not math.isfinite(lo) else [], edges, [hi] if not math.isfinite(hi) else []))
    try:
        total = integrate_total(breaks, max(b - a, 1.0), _QUICK_TOLERANCE * u_resolution)
    except (ArithmeticError, TypeError, ValueError, RuntimeError):
        # A value the engine refuses, an overflow: the full search evaluates
        # again and reports what it must. A fault of this library's own
        # (a NameError, say) is not swallowed here.
        return False
    return math.isfinite(total) and _agree(area, total, u_resolution)


def _agree(area, expected, u_resolution):
    """Whether a table's area matches the mass `expected` (see _AGREEMENT)."""
    return -_AGREEMENT * u_resolution * expected <= area - expected <= _EXCESS * u_resolution * expected


def explore(f, lo, hi, starts, u_resolution, walked=None):
    """The pieces of [lo, hi] that hold mass, from a walk and quadrature."""
    surveyed = survey(f, lo, hi, starts, walked)
    if surveyed is None:
        return None
    a, b, points = surveyed
    edges = np.unique(np.concatenate((np.linspace(a, b, _GRID_PIECES + 1), points)))
    la, lb, lq, _ = integrate(f, edges, u_resolution)
    total = float(np.sum(lq))
    tails = [0.0, 0.0]
    width = max(b - a, 1.0)
    if not math.isfinite(lo):
        tails[0] = _tail(f, a, width, -1.0)
    if not math.isfinite(hi):
        tails[1] = _tail(f, b, width, 1.0)
    empty = lq <= _EMPTY * _LEAF_TOLERANCE * u_resolution * total
    pieces, masses = [], []
    start = None
    for i in range(la.size):
        if not empty[i] and start is None:
            start, mass = la[i], 0.0
        if start is not None:
            if empty[i]:
                pieces.append((start, la[i]))
                masses.append(mass)
                start = None
            else:
                mass += lq[i]
    if start is not None:
        pieces.append((start, lb[-1]))
        masses.append(mass)
    return Exploration(a, b, pieces, masses, total, tails, (np.append(la, lb[-1]), lq))


# ---------------------------------------------------------------------------
# the table against the exploration
# ---------------------------------------------------------------------------

# Table and exploration agree when the table falls short of the
# exploration's total by at most this many u_resolutions of the mass: the
# table cuts tails of 0.05 each and interpolates to 0.9, the quadrature adds
# its own small error; a table whose cut leaves out more than this
# misplaces every u near its ends.
_AGREEMENT = 3.0
# A table holding more than the exploration's total holds no less mass than
# the law: the excess is the two integrations' error (a pole, parts joined
# each with its own cut), allowed up to this many u_resolutions.
_EXCESS = 20.0
# A table whose cut leaves out more tail mass than that (its tail bound is
# exact for tails like x^-2 and may be far off for others, such as
# (2 + cos x) / |x|^3) is built again at a finer resolution, which moves its
# cut outward, aiming at this many u_resolutions left out...
_WIDENED_SHORTFALL = 2.0
# ...at most this many times, and only for a shortfall below this many
# u_resolutions: more is mass the cut did not miss by a tail bound's error
# but by not seeing it (a far mode), which the parts rebuild.
_WIDENINGS = 2
_WIDENABLE = 1e4
# The finest resolution the engine builds.
_FINEST = 1e-15
# A piece is built in parts where its quadrature leaves change scale by more
# than this factor: a spike on a wide mode gets a table of its own.
_SCALE_JUMP = 32.0
# Parts with less mass than this many u_resolutions of the total are left out.
_NEGLIGIBLE_PART = 0.01
_HEADER = 8  # words before the arrays of a stored PINV table


def checked_pinv(table, build, from_words, cdf, explored, u_resolution, lo, hi, center=None):
    """A PINV engine whose mass agrees with the exploration: `table` (built
    from `center`) when it does, or the same built at a finer resolution
    when only its tails fall short, else one table joined from a table per
    part, `build(u_resolution, a, b, center)` each; a ValueError naming the
    missing mass when none does. `cdf(engine, x)` is a table's CDF.

    `table` may be the error the one-center build failed with (a far spike
    the table's intervals cannot resolve from the center): the parts are
    built then, and the error stands when they cannot be."""
    failed = isinstance(table, Exception)
    if explored is None:
        if failed:
            raise table
        return table
    expected = explored.total + sum(t for t in explored.tails if t is not None)
    tolerance = _AGREEMENT * u_resolution * expected
    if not failed and _agree(table.area(), expected, u_resolution):
        return table
    if not failed and center is not None:
        wider = _widened(table, build, expected, u_resolution, lo, hi, center)
        if _agree(wider.area(), expected, u_resolution):
            return wider
    if failed and not (math.isfinite(expected) and None not in explored.tails):
        raise table  # a value the search could not use (NaN, < 0, overflow): the engine's reason stands
    try:
        joined = _joined(build, from_words, _parts(explored), expected, u_resolution, lo, hi)
    except _PartFailed as part:
        a, b, mass, error = part.args
        raise type(error)(
            f"{error} for the mass in [{a!r}, {b!r}] ({mass / expected:.3g} of the total); a coarser "
            f"u_resolution, or a law of its own for that part, may build") from None
    if joined is not None and _agree(joined.area(), expected, u_resolution):
        return joined
    if failed:
        raise table
    raise ValueError(_missing_message(joined or table, cdf, explored, expected, tolerance))


def _widened(table, build, expected, u_resolution, lo, hi, center):
    """`table` built again over the whole support at a finer resolution
    while its tails leave out more than _AGREEMENT u_resolutions: the cut
    targets a tail mass proportional to the resolution, so the shortfall
    says how much finer; the best table found."""
    u = u_resolution
    for _ in range(_WIDENINGS):
        short = expected - table.area()
        if not _AGREEMENT * u_resolution * expected < short < _WIDENABLE * u_resolution * expected:
            return table
        u *= _WIDENED_SHORTFALL * u_resolution * expected / short
        if not u >= _FINEST:
            return table
        try:
            wider = build(u, lo, hi, center)
        except Exception:  # noqa: BLE001 - the table stands, and the parts are tried next
            return table
        if not abs(wider.area() - expected) < abs(table.area() - expected):
            return table
        table = wider
    return table


def _parts(explored):
    """(a, b, center, mass) for each part: pieces split where the leaves
    change scale, then neighbours whose peak densities are alike joined
    again (a jump or the walk's fine first steps refine leaves too, but only
    a spike needs a table of its own)."""
    edges, masses = explored.leaves
    widths = np.diff(edges)
    with np.errstate(all="ignore"):
        density = np.where(widths > 0, masses / widths, 0.0)
    raw = []
    for a, b in explored.pieces:
        i0 = int(np.searchsorted(edges, a))
        i1 = int(np.searchsorted(edges, b))
        start = i0
        for i in range(i0 + 1, i1 + 1):
            if i == i1 or not (widths[start] / _SCALE_JUMP <= widths[i] <= widths[start] * _SCALE_JUMP):
                raw.append((start, i))
                start = i
    parts = []
    for start, stop in raw:
        peak = float(np.max(density[start:stop]))
        if parts and parts[-1][1] == start and _alike(parts[-1][2], peak):
            first = parts.pop()[0]
            peak = float(np.max(density[first:stop]))
            start = first
        parts.append((start, stop, peak))
    out = []
    for start, stop, _ in parts:
        k = start + int(np.argmax(density[start:stop]))
        out.append((float(edges[start]), float(edges[stop]), 0.5 * float(edges[k] + edges[k + 1]),
                    float(np.sum(masses[start:stop]))))
    return out


def part_edges(explored):
    """The ends of the parts a joined table was built from, sorted."""
    return np.unique(np.array([e for a, b, _, _ in _parts(explored) for e in (a, b)], dtype=np.float64))


def _alike(p, q):
    return p <= q * _SCALE_JUMP and q <= p * _SCALE_JUMP


def _joined(build, from_words, parts, expected, u_resolution, lo, hi):
    """One table over the parts (zero-mass gaps between them skipped), each
    part built to the same absolute u-error."""
    words = []
    for a, b, center, mass in parts:
        # A part lighter than the resolution is quadrature noise (or a tail
        # the check allows for); its u-steps would vanish in the offset.
        if not mass > _NEGLIGIBLE_PART * u_resolution * expected:
            continue
        # The same absolute error goal in every part: a light part is held
        # to a finer resolution of its own mass.
        try:
            piece = build(min(1e-5, u_resolution * expected / mass), a, b, center)
        except Exception as error:  # noqa: BLE001 - whatever the engine refused, named with the part
            raise _PartFailed(a, b, mass, error) from None
        words.append(np.frombuffer(piece.to_bytes(), dtype=np.float64))
    if not words:
        return None
    order = int(words[0][2])
    u_starts, x_starts, nodes, coefs = [], [], [], []
    offset, worst = 0.0, 0.0
    for w in words:
        m = int(w[3])
        u = w[_HEADER:_HEADER + m + 1]
        x = w[_HEADER + m + 1:_HEADER + 2 * (m + 1)]
        rest = w[_HEADER + 2 * (m + 1):]
        if x_starts:
            if not x[0] > x_starts[-1][-2]:
                return None
            x_starts[-1] = x_starts[-1][:-1]  # the gap joins the interval before it
            u_starts[-1] = u_starts[-1][:-1]
        u_starts.append(u + offset)
        x_starts.append(x.copy())
        nodes.append(rest[:m * (order - 1)])
        coefs.append(rest[m * (order - 1):])
        worst = max(worst, w[7] * u[-1])
        offset += u[-1]
    u_all = np.concatenate(u_starts)
    x_all = np.concatenate(x_starts)
    header = np.array([words[0][0], words[0][1], order, u_all.size - 1, u_resolution, lo, hi, worst / offset])
    merged = np.concatenate([header, u_all, x_all, *nodes, *coefs])
    return from_words(merged)


class _PartFailed(Exception):
    """A part of the mass the engine could not tabulate: (a, b, mass, error)."""


def _missing_message(table, cdf, explored, expected, tolerance):
    area = table.area()
    left, right = explored.tails
    if right is not None and right > tolerance:
        return (f"mass beyond x = {explored.range[1]!r} on the right ({right / expected:.3g} of the total) "
                f"lies outside the explored range; pass a center there or a finite support")
    if left is not None and left > tolerance:
        return (f"mass beyond x = {explored.range[0]!r} on the left ({left / expected:.3g} of the total) "
                f"lies outside the explored range; pass a center there or a finite support")
    worst, where = 0.0, None
    for (a, b), m in zip(explored.pieces, explored.masses):
        ends = cdf(table, np.array([a, b]))
        held = area * float(ends[1] - ends[0])
        if abs(m - held) > worst:
            worst, where = abs(m - held), (a, b)
    place = f"in [{where[0]!r}, {where[1]!r}]" if where is not None else "in the support"
    return (f"the inversion table holds mass {area!r} where quadrature finds {expected!r}: mass {place} "
            f"({worst / expected:.3g} of the total) is not in the table")
