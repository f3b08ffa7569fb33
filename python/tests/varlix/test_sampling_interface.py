"""varlix.sampling's interface: random states, shapes, pickling, errors."""
import math

import numpy as np
import pytest

import varlix
from normal_law import Normal, normal_pdf
from varlix import sampling
from varlix.sampling import (
    DiscreteAliasUrn,
    DiscreteGuideTable,
    NumericalInverseHermite,
    NumericalInversePolynomial,
    RatioUniforms,
    SetupError,
    SimpleRatioUniforms,
    TransformedDensityRejection,
    UNURANError,
)


def test_names_and_version():
    assert UNURANError is SetupError
    assert issubclass(SetupError, RuntimeError)
    assert isinstance(varlix.__version__, str) and varlix.__version__
    for name in sampling.__all__:
        assert getattr(sampling, name).__doc__


def test_discrete_draws_are_integers_and_seeded_stream_matches_batch():
    gen = DiscreteAliasUrn([1.0, 1.0, 2.0], domain=(5, 7), random_state=3)
    x = gen.rvs(1000)
    assert x.dtype == np.int64 and set(np.unique(x)) == {5, 6, 7}
    gen.set_random_state(3)
    singles = [gen.rvs() for _ in range(20)]
    gen.set_random_state(3)
    assert singles == list(gen.rvs(20))


def test_qrvs_shapes():
    pytest.importorskip("scipy")
    from scipy.stats import qmc

    gen = NumericalInversePolynomial(Normal())
    assert np.ndim(gen.qrvs()) == 0
    assert gen.qrvs(5).shape == (5,)
    assert gen.qrvs((2, 3), d=2).shape == (2, 3, 2)
    assert gen.qrvs(4, qmc_engine=qmc.Sobol(3, seed=1)).shape == (4, 3)
    with pytest.raises(ValueError, match="`d`"):
        gen.qrvs(4, d=2, qmc_engine=qmc.Sobol(3, seed=1))
    # quantiles of a low-discrepancy sequence: the same points twice
    x = NumericalInverseHermite(Normal()).qrvs(8, qmc_engine=qmc.Halton(1, seed=2))
    np.testing.assert_allclose(x, gen.qrvs(8, qmc_engine=qmc.Halton(1, seed=2)), atol=1e-8)


class Raises:
    def pdf(self, x):
        raise ZeroDivisionError("from the density")

    dpdf = cdf = pdf


class Negative:
    def pdf(self, x):
        return -1.0 if x > 0.5 else math.exp(-x * x)

    dpdf = pdf


@pytest.mark.parametrize("build, error, match", [
    (lambda: NumericalInversePolynomial(Normal(), order=2), ValueError, "`order`"),
    (lambda: NumericalInversePolynomial(Normal(), order=5.5), ValueError, "`order`"),
    (lambda: NumericalInversePolynomial(Normal(), u_resolution=1e-16), ValueError, "`u_resolution`"),
    (lambda: NumericalInversePolynomial(Normal(), u_resolution=1e-4), ValueError, "`u_resolution`"),
    (lambda: NumericalInversePolynomial(Normal(), domain=(1,)), ValueError, "`domain`"),
    (lambda: NumericalInversePolynomial(Normal(), domain=(np.nan, 1)), ValueError, "`domain`"),
    (lambda: NumericalInversePolynomial(Normal(), domain=(2, 1)), SetupError, "`domain`"),
    (lambda: NumericalInversePolynomial(Normal(), center=np.nan), ValueError, "`center`"),
    (lambda: NumericalInversePolynomial(object()), ValueError, "`pdf`"),
    (lambda: NumericalInversePolynomial(Normal(), center=5.5, domain=(5, 6)).u_error(10), ValueError, "`sample_size`"),
    (lambda: NumericalInverseHermite(Normal(), order=4), ValueError, "`order`"),
    (lambda: NumericalInverseHermite(object()), ValueError, "`cdf`"),
    (lambda: NumericalInverseHermite(Normal(), u_resolution=0), ValueError, "`u_resolution`"),
    (lambda: TransformedDensityRejection(Normal(), c=0.5), ValueError, "`c`"),
    (lambda: TransformedDensityRejection(Normal(), construction_points=0), ValueError, "`construction_points`"),
    (lambda: TransformedDensityRejection(Normal(), construction_points=[]), ValueError, "`construction_points`"),
    (lambda: TransformedDensityRejection(Normal(), max_squeeze_hat_ratio=1.5), ValueError, "max_squeeze_hat_ratio"),
    (lambda: SimpleRatioUniforms(Normal(), pdf_area=-1), ValueError, "`pdf_area`"),
    (lambda: SimpleRatioUniforms(Normal(), mode=0, cdf_at_mode=2), SetupError, "x = 0"),
    (lambda: RatioUniforms(normal_pdf, umax=-1, vmin=-1, vmax=1), ValueError, "umax"),
    (lambda: RatioUniforms(normal_pdf, umax=1, vmin=1, vmax=-1), ValueError, "vmin"),
    (lambda: DiscreteAliasUrn([]), ValueError, "at least one element"),
    (lambda: DiscreteAliasUrn([[0.1, 0.2]]), ValueError, r"wrong number of dimensions \(expected 1, got 2\)"),
    (lambda: DiscreteAliasUrn([0.5, np.nan]), ValueError, "finite"),
    (lambda: DiscreteGuideTable([0, 0]), ValueError, "non-zero"),
    (lambda: DiscreteGuideTable([0.5, -1, 2]), SetupError, "entry 1 is -1.0"),
    (lambda: DiscreteAliasUrn(type("P", (), {"pmf": lambda self, k: 1.0})()), ValueError, "`domain`"),
    (lambda: NumericalInversePolynomial(Negative()), SetupError, "x = 1"),
    (lambda: TransformedDensityRejection(Negative(), mode=0), SetupError, "x = "),
    (lambda: NumericalInversePolynomial(Normal(), center=45, domain=(40, 50)), SetupError, "no mass"),
])
def test_bad_input_errors(build, error, match):
    with pytest.raises(error, match=match):
        build()


@pytest.mark.parametrize("build", [
    lambda: NumericalInversePolynomial(Raises()),
    lambda: NumericalInverseHermite(Raises()),
    lambda: TransformedDensityRejection(Raises()),
    lambda: SimpleRatioUniforms(Raises()),
    lambda: SimpleRatioUniforms(Raises(), mode=0.0),
    lambda: RatioUniforms(Raises().pdf, umax=1, vmin=-1, vmax=1).rvs(3),
    lambda: NumericalInversePolynomial(Normal()).u_error.__func__(
        type("G", (), {"_cdf": Raises().cdf, "_probe": (0, 1),
                       "_engine": NumericalInversePolynomial(Normal())._engine})()),
])
def test_user_exceptions_propagate_unchanged(build):
    with pytest.raises(ZeroDivisionError, match="from the density"):
        build()


def test_user_exception_during_draws_propagates():
    calls = []

    def pdf(x):
        calls.append(x)
        if len(calls) > 500:
            raise KeyError("late failure")
        return math.exp(-0.5 * x * x)

    gen = RatioUniforms(pdf, umax=1.0, vmin=-0.86, vmax=0.86, random_state=1)
    with pytest.raises(KeyError, match="late failure"):
        gen.rvs(10000)
    assert len(calls) == 501  # the density is not called again after it failed


def test_stored_table_is_checked():
    gen = NumericalInversePolynomial(Normal())
    words = bytearray(gen._engine.to_bytes())
    engine = type(gen._engine)
    with pytest.raises(SetupError, match="inconsistent"):
        engine.from_bytes(bytes(words[:-8]))
    for position in range(4):  # tag, version, order, interval count
        altered = bytearray(words)
        altered[8 * position:8 * position + 8] = np.float64(1e300).tobytes()
        with pytest.raises(SetupError, match="inconsistent"):
            engine.from_bytes(bytes(altered))
    with pytest.raises(ValueError):
        type(gen._engine).from_bytes(b"abc")


@pytest.mark.parametrize("build", [
    lambda law: NumericalInversePolynomial(law, random_state=1),
    lambda law: NumericalInverseHermite(law, u_resolution=1e-8, random_state=1),
    lambda law: SimpleRatioUniforms(law, random_state=1),
])
def test_narrow_law_far_from_zero_builds(build):
    # Nothing of its mass is near 0, where a search would start without
    # the law's median.
    stats = pytest.importorskip("scipy.stats")
    law = stats.norm(loc=1e4, scale=0.01)
    x = build(law).rvs(2000)
    assert abs(x.mean() - 1e4) < 0.002 and abs(x.std() - 0.01) < 0.002


def test_spawned_streams():
    from varlix._random import as_generator, spawn

    first = lambda gens: [g.random() for g in gens]  # noqa: E731
    # An int and its SeedSequence spawn the same children, every time.
    assert first(spawn(5, 3)) == first(spawn(np.random.SeedSequence(5), 3)) == first(spawn(5, 3))
    assert len(set(first(spawn(5, 3)))) == 3
    # A caller's generator spawns new children on each call.
    rng = np.random.default_rng(1)
    assert first(spawn(rng, 2)) != first(spawn(rng, 2))
    # The legacy global state has no SeedSequence: children come from its stream.
    np.random.seed(3)
    a = first(spawn(None, 2))
    np.random.seed(3)
    assert a == first(spawn(None, 2))
    with pytest.raises(ValueError, match="random_state"):
        as_generator("seed")
    with pytest.raises(ValueError):
        spawn(1, -1)
