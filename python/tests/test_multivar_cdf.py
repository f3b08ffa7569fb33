"""CdfMcEstimator and cdf_mc_estimator."""
import math

import pytest

FAILED = "numerical integration failed"


class Counting:
    """A density that counts its calls."""

    def __init__(self, f=lambda x, y: 1.0):
        self.calls = 0
        self.f = f

    def __call__(self, x, y):
        self.calls += 1
        return self.f(x, y)


def rect(vx):
    return vx.HyperRect([0.0, 0.0], [2.0, 1.0])


def unit(vx):
    return vx.HyperRect([0.0, 0.0], [1.0, 1.0])


def test_constant_density_is_exact(vx):
    # Every sampled value is 1: Z = 1 * area, F = 1 * clipped area / Z.
    est = vx.cdf_mc_estimator(lambda x, y: 1.0, rect(vx), 100, 100)
    assert est.cdf([1.0, 0.5]) == 0.25
    assert est.estimate_normalization() == 2.0
    assert est.estimate_normalization(seed=1) == 2.0
    assert est.cdf((5.0, 5.0), seed=2) == 1.0


@pytest.mark.parametrize("x", [[0.0, 0.5], [1.0, -3.0], [-math.inf, 0.5]])
def test_limit_at_or_below_lo_gives_zero_after_the_calls(vx, x):
    f = Counting()
    est = vx.cdf_mc_estimator(f, rect(vx), 4, 6)
    assert est.cdf(x) == 0.0
    assert f.calls == 4 + 6


def test_nan_limit_falls_back_to_hi(vx):
    est = vx.cdf_mc_estimator(lambda x, y: 1.0, rect(vx), 10, 10)
    assert est.cdf([math.nan, 0.5]) == 0.5


@pytest.mark.parametrize("x", [[0.5], [0.5, 0.5, 0.5], []])
def test_wrong_length_fails_before_any_call(vx, x):
    f = Counting()
    est = vx.cdf_mc_estimator(f, rect(vx), 4, 6)
    with pytest.raises(vx.SampleError) as error:
        est.cdf(x)
    assert error.value.args == (FAILED,)
    assert f.calls == 0
    est.cdf([1.0, 1.0])
    assert f.calls == 10  # no normalization was cached by the failed call


def test_normalization_is_cached_and_replaced(vx):
    f = Counting()
    est = vx.cdf_mc_estimator(f, rect(vx), 5, 3)
    est.cdf([1.0, 1.0])
    assert f.calls == 8
    est.cdf([1.0, 1.0], seed=1)
    assert f.calls == 11
    est.estimate_normalization()
    assert f.calls == 16
    est.cdf([1.0, 1.0])
    assert f.calls == 19


def test_zero_sample_counts_act_as_one(vx):
    f = Counting()
    est = vx.cdf_mc_estimator(f, rect(vx), 0, 0)
    assert est.estimate_normalization() == 2.0 and f.calls == 1
    assert est.cdf([1.0, 1.0]) == 0.5 and f.calls == 2


@pytest.mark.parametrize("f", [lambda x, y: -1.0, lambda x, y: 0.0, lambda x, y: math.inf, lambda x, y: 1 / 0])
def test_unusable_density_fails(vx, f):
    est = vx.cdf_mc_estimator(f, rect(vx), 10, 10)
    for call in (est.estimate_normalization, lambda: est.cdf([1.0, 1.0], seed=3)):
        with pytest.raises(vx.SampleError) as error:
            call()
        assert error.value.args == (FAILED,)


def test_failed_estimate_keeps_the_cached_one(vx):
    broken = [False]
    f = Counting(lambda x, y: math.nan if broken[0] else 1.0)
    est = vx.cdf_mc_estimator(f, rect(vx), 10, 10)
    assert est.estimate_normalization() == 2.0
    broken[0] = True
    with pytest.raises(vx.SampleError, match=f"^{FAILED}$"):
        est.estimate_normalization()
    broken[0] = False
    calls = f.calls
    assert est.cdf([1.0, 1.0]) == 0.5 and f.calls == calls + 10


def test_seeded_estimates_repeat(vx):
    est = vx.cdf_mc_estimator(lambda x, y: x + y, unit(vx), 1000, 1000)
    z = est.estimate_normalization(seed=3)
    assert est.estimate_normalization(seed=3) == z
    assert est.estimate_normalization(seed=4) != z
    f = est.cdf([0.5, 0.5], seed=5)
    assert est.cdf([0.5, 0.5], seed=5) == f
    # On fresh objects the seeded call also draws the normalization.
    fresh = [vx.cdf_mc_estimator(lambda x, y: x + y, unit(vx), 1000, 1000).cdf([0.5, 0.5], seed=5) for _ in range(2)]
    assert fresh[0] == fresh[1]


def test_estimates_of_a_known_density(vx):
    # f = x + y on the unit square: Z = 1, F(0.5, 0.5) = 1/8. With 20000
    # points the standard errors are near 0.003 and 0.0007.
    est = vx.cdf_mc_estimator(lambda x, y: x + y, unit(vx), 20000, 20000)
    assert est.estimate_normalization(seed=1) == pytest.approx(1.0, abs=0.015)
    assert est.cdf([0.5, 0.5], seed=2) == pytest.approx(0.125, abs=0.004)
    assert est.cdf([2.0, 2.0], seed=3) <= 1.0


def test_density_failing_on_half_the_box_halves_the_estimate(vx):
    # NaN for x >= 1 on [0, 2] x [0, 1]: those points count but add nothing.
    est = vx.cdf_mc_estimator(lambda x, y: 1.0 if x < 1.0 else math.nan, rect(vx), 20000, 10)
    assert est.estimate_normalization(seed=6) == pytest.approx(1.0, abs=0.03)
