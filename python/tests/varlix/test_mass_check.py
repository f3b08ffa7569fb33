"""The common case's mass check, the search reported on demand, and the CDF
of a heavy tail the table cuts short."""
import math

import numpy as np
import pytest
from scipy import integrate, special

import varlix
from varlix import _discovery


def _heavy(x):
    return (2 + np.cos(x)) / (1 + x * x) ** 1.5


def _heavy_cdf(x):
    """Closed form of the even part; the oscillating part integrated from 0
    one half-period at a time (whole-line integral 2 K1(1))."""
    g = lambda t: math.cos(t) / (1 + t * t) ** 1.5  # noqa: E731
    cuts = np.append(np.arange(0.0, abs(x), math.pi), abs(x))
    part = math.fsum(integrate.quad(g, p, q, epsabs=1e-15, epsrel=1e-12)[0] for p, q in zip(cuts[:-1], cuts[1:]))
    c = 2 * special.k1(1.0)
    return (2 * (1 + x / math.sqrt(1 + x * x)) + c / 2 + math.copysign(part, x)) / (4 + c)


def test_heavy_tail_cdf_and_quantiles_meet_the_resolution():
    # The one-center table's cut leaves out 14 u_resolutions of the x^-3
    # tails: it is built again with a wider cut, and its CDF is anchored by
    # quadrature where its own integration of the oscillating tails drifts.
    d = varlix.from_pdf(_heavy, u_resolution=1e-10)
    r = np.logspace(-2, 3.5, 23)
    xs = np.concatenate((-r[::-1], [0.0], r))
    ref = np.array([_heavy_cdf(x) for x in xs])
    np.testing.assert_allclose(d.cdf(xs), ref, rtol=0, atol=1e-10)
    np.testing.assert_allclose(d.sf(xs), 1 - ref, rtol=0, atol=1e-10)
    assert np.all(np.diff(d.cdf(np.linspace(-20.0, 20.0, 401))) >= 0)
    u = np.array([1e-8, 1e-5, 0.3, 0.5, 0.9, 1 - 1e-8])
    u_error = [abs(_heavy_cdf(x) - ui) for x, ui in zip(d.ppf(u), u)]
    assert max(u_error) <= 1e-10


@pytest.mark.parametrize("f", [
    lambda x: np.exp(-0.5 * x * x),
    lambda x: math.exp(-0.5 * x * x),
    lambda x: 1 / (1 + x * x),
], ids=["vector", "scalar", "cauchy"])
def test_unimodal_laws_report_the_search_when_asked(f):
    d = varlix.from_pdf(f)
    e = d.explored
    assert len(e.pieces) == 1 and e.pieces[0][0] < -3 < 3 < e.pieces[0][1]
    assert e.fractions()[0] == pytest.approx(1.0, abs=1e-6)


def test_a_mode_the_table_misses_is_still_found():
    # The table from 0 stops before the mode at 60; the quick check must disagree.
    f = lambda x: 0.7 * np.exp(-0.5 * x * x) + 0.3 * np.exp(-0.5 * (x - 60) ** 2)  # noqa: E731
    d = varlix.from_pdf(f, support=(-10.0, 70.0))
    assert d.cdf(30.0) == pytest.approx(0.7, abs=1e-8)
    assert len(d.explored.pieces) == 2


def _nan_left_of(x):
    return np.where(x < -3, np.nan, np.exp(-0.5 * x * x))


def _overflow_left_of(x):
    if x < -3:
        raise OverflowError("math range error")
    return math.exp(-0.5 * x * x)


@pytest.mark.parametrize("f", [_nan_left_of, np.vectorize(_overflow_left_of)], ids=["nan", "overflow"])
def test_the_walk_ends_only_the_side_that_meets_an_unusable_value(f):
    # Both sides share a call of f; the bad value ends the left side at its
    # last good point, and the right side walks on until its tail is quiet.
    x, y = _discovery.walk(f, -math.inf, math.inf, [0.0])
    assert x.min() == -2.0 and x.max() == 1000.0
    assert np.all(np.isfinite(y))


@pytest.mark.parametrize("pdf", [lambda x: np.exp(-0.5 * x * x), lambda x: math.exp(-0.5 * x * x)])
def test_a_confirmed_table_costs_no_full_search(pdf, monkeypatch):
    # The quick check confirms a smooth unimodal law's table by itself; the
    # search that locates the pieces runs only when `explored` is read.
    def refuse(*args, **kwargs):
        raise AssertionError("the full search ran")

    monkeypatch.setattr(_discovery, "explore", refuse)
    d = varlix.from_pdf(pdf)
    assert d.cdf(0.0) == pytest.approx(0.5, abs=1e-10)
