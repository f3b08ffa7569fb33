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


@pytest.mark.parametrize("f", [lambda x, y: -1.0, lambda x, y: 1 / 0])
def test_unusable_density_fails(vx, f):
    est = vx.cdf_mc_estimator(f, rect(vx), 10, 10)
    for call in (est.estimate_normalization, lambda: est.cdf([1.0, 1.0], seed=3)):
        with pytest.raises(vx.SampleError) as error:
            call()
        assert error.value.args == (FAILED,)


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
