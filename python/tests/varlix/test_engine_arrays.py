"""The engine takes arrays, and checks them: a wrong element type, a
read-only output or lengths that disagree are refused before any work, where
an address would have let C++ write out of bounds."""
import math

import numpy as np
import pytest

from varlix import _engine
from varlix._random import uniform_source
from varlix.sampling import DiscreteAliasUrn, DiscreteGuideTable, NumericalInversePolynomial


class Normal:
    def pdf(self, x):
        return np.exp(-0.5 * x * x)


@pytest.fixture(scope="module")
def pinv():
    return NumericalInversePolynomial(Normal())._engine


@pytest.fixture(scope="module")
def guide():
    return DiscreteGuideTable([0.2, 0.3, 0.5])._engine


def test_lengths_come_from_the_arrays(pinv, guide):
    u = np.linspace(0.1, 0.9, 5)
    out = np.empty(5)
    pinv.ppf(u, out)
    assert out[2] == pytest.approx(0.0, abs=1e-9)
    with pytest.raises(ValueError, match=r"u and out differ in length \(5 and 4\)"):
        pinv.ppf(u, np.empty(4))
    with pytest.raises(ValueError, match=r"x and out differ in length \(5 and 6\)"):
        pinv.cdf(u, np.empty(6))
    with pytest.raises(ValueError, match="differ in length"):
        guide.ppf(u, np.empty(50))


def test_outputs_are_checked_for_type_and_writeability(pinv):
    source = uniform_source(1)
    frozen = np.empty(3)
    frozen.flags.writeable = False
    with pytest.raises(TypeError, match="argument 'out': .*read-only"):
        pinv.sample(source.capsule, frozen)
    with pytest.raises(TypeError, match="argument 'out': .*int64 array, got elements of type"):
        DiscreteAliasUrn([1.0, 1.0])._engine.sample(source.capsule, np.empty(3))
    with pytest.raises(TypeError, match="argument 'out': .*float64 array, got elements of type"):
        pinv.sample(source.capsule, np.empty(3, dtype=np.float32))
    with pytest.raises(TypeError, match="argument 'u': .*non-contiguous"):
        pinv.ppf(np.linspace(0, 1, 10)[::2], np.empty(5))


def test_integrals_check_the_masses_against_the_partition():
    breaks = np.array([-1.0, 0.0, 1.0])
    spec = _engine_spec(lambda x: math.exp(-x * x))
    values, *_ = _engine.integrate(spec, breaks, 1.0, 1e-10)
    assert values[0] == pytest.approx(math.sqrt(math.pi) * math.erf(1.0), rel=1e-10)
    with pytest.raises(ValueError, match="masses and the intervals of breaks differ in length"):
        _engine.moment_integrals(spec, breaks, 0.0, 0, 1.0, 1e-10, np.ones(3), 1e-3)


def test_copula_columns_are_checked():
    source = uniform_source(1)
    out = np.empty((4, 2))
    with pytest.raises(ValueError, match="chol and d \\* d for d column specs differ in length"):
        _engine.gaussian_copula(source.capsule, np.eye(3), [("uniform",), ("uniform",)], out)
    with pytest.raises(ValueError, match="at least one column"):
        _engine.gaussian_copula(source.capsule, np.empty(0), [], out)
    with pytest.raises(ValueError, match="whole rows"):
        _engine.gaussian_copula(source.capsule, np.eye(2), [("uniform",), ("uniform",)], np.empty(5))
    with pytest.raises(ValueError, match="levels and knots differ in length"):
        _engine.gaussian_copula(source.capsule, np.eye(1), [("histogram", np.array([0.0, 1.0]), np.zeros(3), 0.0,
                                                             1.0)], np.empty(4))
    _engine.gaussian_copula(source.capsule, np.eye(2), [("uniform",), ("uniform",)], out)
    assert np.all((out > 0) & (out < 1))


def _engine_spec(f):
    from varlix._functions import function_spec

    return function_spec(f, np.array([0.0, 0.5]))
