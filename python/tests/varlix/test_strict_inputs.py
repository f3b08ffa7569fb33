"""Bad input is refused by name: values of user functions, arguments that
overflow, results the library composes, and the words of the messages."""
import math

import numpy as np
import pytest

import varlix
from varlix import sampling

ndtr = pytest.importorskip("scipy.special").ndtr


def _normal_pdf(x):
    return np.exp(-0.5 * np.asarray(x) ** 2)


class _Cdf:
    """A dist object for NumericalInverseHermite."""

    def __init__(self, cdf):
        self.cdf = cdf

    def pdf(self, x):
        return _normal_pdf(x) / math.sqrt(2 * math.pi)


# ---- 1. values of user functions ---------------------------------------------------------

_DOUBLE_NDTR = lambda x: 2 * ndtr(x)  # noqa: E731
_EXCESS = lambda x: ndtr(x) + 0.5 * ndtr(x - 50)  # noqa: E731
_DECREASING = lambda x: ndtr(x) - 0.2 * ndtr(x - 3) * (x < 10)  # noqa: E731


@pytest.mark.parametrize(
    "build, error, phrase",
    [
        (lambda: varlix.from_cdf(_DOUBLE_NDTR), ValueError, "the CDF is 1."),
        (lambda: varlix.from_cdf(_DOUBLE_NDTR, support=(-5, math.inf)), ValueError, "a CDF's values lie in [0, 1]"),
        (lambda: varlix.from_cdf(_EXCESS), ValueError, "the CDF is 1."),
        (lambda: varlix.from_cdf(_DECREASING), ValueError, "the CDF decreases from"),
        (lambda: varlix.from_cdf(lambda x: ndtr(x) - 0.1), ValueError, "the CDF is -0.1"),
        (lambda: sampling.NumericalInverseHermite(_Cdf(_DOUBLE_NDTR)), ValueError, "the CDF is 1."),
        (lambda: sampling.NumericalInverseHermite(_Cdf(_DOUBLE_NDTR), domain=(-5, math.inf)), ValueError,
         "a point of the scan of the support"),
        (lambda: sampling.NumericalInverseHermite(_Cdf(_EXCESS)), ValueError, "a CDF's values lie in [0, 1]"),
        (lambda: sampling.NumericalInverseHermite(_Cdf(lambda x: float(ndtr(x)) * 2)), ValueError,
         "the CDF is"),
        (lambda: varlix.from_logpdf(lambda x: 1e300 - 0.5 * x * x), ValueError, "subtract a constant"),
        (lambda: varlix.from_pdf(lambda x: None), TypeError, "returned None at x = "),
        (lambda: varlix.from_pdf(lambda x: "1"), TypeError, "a value of type str"),
        (lambda: sampling.NumericalInversePolynomial(_Density(lambda x: None)), TypeError, "returned None at x ="),
        # Vectorized on the two-point probe only: a batch of another size (or
        # a float) gets the first two values back, which is not broadcast.
        (lambda: varlix.from_pdf(lambda x: np.exp(-0.5 * np.atleast_1d(x)[:2] ** 2)), (TypeError, ValueError),
         "returned an array of shape"),
        (lambda: sampling.NumericalInversePolynomial(_Density(lambda x: np.exp(-0.5 * np.atleast_1d(x)[:2] ** 2))),
         (TypeError, ValueError), "returned an array of shape"),
    ],
    ids=["2ndtr-line", "2ndtr-half-line", "excess", "decreasing", "negative", "hermite-2ndtr",
         "hermite-half-line", "hermite-excess", "hermite-scalar", "log-no-decay", "none", "string",
         "pinv-none", "probe-only-vector", "pinv-probe-only-vector"],
)
def test_bad_function_values_are_refused_by_name(build, error, phrase):
    with pytest.raises(error, match=_literal(phrase)):
        build()


class _Density:
    def __init__(self, pdf):
        self.pdf = pdf


def _literal(phrase):
    import re
    return re.escape(phrase)


def test_a_good_cdf_on_every_support_still_builds():
    for support in [(-math.inf, math.inf), (-5, math.inf), (-math.inf, 2.0), (-3.0, 3.0)]:
        d = varlix.from_cdf(ndtr, support=support)
        lo, hi = support
        assert lo <= d.ppf(0.5) <= hi
    gen = sampling.NumericalInverseHermite(_Cdf(ndtr), domain=(-5, math.inf))
    assert abs(gen.ppf(0.5) - 0.0) < 1e-6


# ---- 2. arguments that overflow ------------------------------------------------------------

@pytest.mark.parametrize(
    "build, error, phrase",
    [
        (lambda: varlix.from_histogram([0, 4e-323, 1], [1, 1]), ValueError, "reciprocal of its width overflows"),
        (lambda: varlix.from_histogram([-1.7e308, 1.7e308], [1]), ValueError, "its width overflows"),
        (lambda: varlix.from_histogram([0, 1, 2], [0, 0]), ValueError, "every count is 0"),
        (lambda: varlix.from_pdf(_normal_pdf, support=(0.0, 4e-323)), ValueError, "too narrow"),
        (lambda: varlix.from_logpdf(lambda x: -x * x, support=(0.0, 4e-323)), ValueError, "too narrow"),
        (lambda: varlix.from_cdf(ndtr, support=(1.0, 1.0 + 1e-15)), ValueError, "too narrow"),
        (lambda: sampling.NumericalInversePolynomial(_Density(_normal_pdf), domain=(0.0, 4e-323)), ValueError,
         "too narrow"),
        (lambda: varlix.from_pdf(_normal_pdf).truncate(0.0, 4e-323), ValueError, "too narrow"),
    ],
    ids=["subnormal-bin", "infinite-width", "zero-counts", "pdf-ulps", "logpdf-ulps", "cdf-ulps", "pinv-ulps",
         "truncate-ulps"],
)
def test_overflowing_arguments_are_refused(build, error, phrase):
    with pytest.raises(error, match=_literal(phrase)):
        build()


@pytest.mark.parametrize("counts", [[1e308, 1e308], [1e-320, 1e-320], [3.0, 1.0]])
def test_histogram_counts_at_any_scale_give_the_same_law(counts):
    d = varlix.from_histogram([0, 1, 2], counts)
    ratio = counts[0] / counts[1]
    assert d.cdf(1.0) == pytest.approx(ratio / (1 + ratio), rel=1e-12)
    assert d.ppf(0.0) == 0.0 and d.ppf(1.0) == 2.0
    assert np.all(np.isfinite(d.rvs(100, random_state=1)))


def test_histogram_of_huge_bins_as_densities():
    d = varlix.from_histogram([-1e308, 0.0, 1e308], [1.0, 1.0], density=True)
    assert d.cdf(0.0) == pytest.approx(0.5)


@pytest.mark.parametrize(
    "pdf, support, median",
    [
        (lambda x: 1e300 * _normal_pdf(x), (-math.inf, math.inf), 0.0),
        (lambda x: 1e-310 * _normal_pdf(x), (-math.inf, math.inf), 0.0),
        (lambda x: _normal_pdf(x) / math.sqrt(2 * math.pi), (30.0, math.inf), 30.023070467827313),
    ],
    ids=["1e300", "1e-310", "normal-tail"],
)
def test_badly_scaled_densities_build(pdf, support, median):
    d = varlix.from_pdf(pdf, support=support)
    assert d.ppf(0.5) == pytest.approx(median, abs=1e-8)
    assert d.ppf(0.75) - d.ppf(0.25) == pytest.approx(1.3489795003921634 if median == 0 else 0.0365, rel=1e-2)


@pytest.mark.parametrize("scale", [1e300, 1e-310])
def test_badly_scaled_density_in_pinv_is_refused_about_scale(scale):
    dist = _Density(lambda x: scale * _normal_pdf(x))
    with pytest.raises(sampling.SetupError, match="multiply") as info:
        sampling.NumericalInversePolynomial(dist)
    assert "achieved inf" not in str(info.value)


class _LogDensity:
    def __init__(self, logpdf):
        self.logpdf = logpdf


@pytest.mark.parametrize(
    "logpdf, error, phrase",
    [
        (lambda x: None, TypeError, "returned None at x ="),
        (lambda x: -0.5 * np.atleast_1d(x)[:2] ** 2, (TypeError, ValueError), "returned an array of shape"),
    ],
    ids=["none", "probe-only-vector"],
)
def test_log_densities_of_generators_are_checked_before_exp(logpdf, error, phrase):
    with pytest.raises(error, match=_literal(phrase)):
        sampling.NumericalInversePolynomial(_LogDensity(logpdf))


def test_probe_points_are_named_as_such():
    with pytest.raises(TypeError, match="while searching for the density's mass"):
        varlix.from_pdf(lambda x: None)


def test_memory_errors_say_what_was_asked():
    class Normal:
        def pdf(self, x):
            return _normal_pdf(x)

        def dpdf(self, x):
            return -x * _normal_pdf(x)

    with pytest.raises(MemoryError, match="construction_points=10000000"):
        sampling.TransformedDensityRejection(Normal(), construction_points=10**7)
    pytest.importorskip("dask")
    from varlix import dask as vdask
    with pytest.raises(MemoryError, match="sample of shape"):
        vdask.rvs(varlix.from_pdf(_normal_pdf), 2**63)


# ---- 3. results the library composes ------------------------------------------------------

class _BadPpf:
    def __init__(self, ppf):
        self.ppf = ppf


@pytest.mark.parametrize(
    "marginal, phrase",
    [
        (_BadPpf(lambda u: np.full_like(u, np.nan)), "returned nan at level u ="),
        (_BadPpf(lambda u: np.where(u > 0.5, np.inf, 0.0)), "returned inf at level u ="),
        (_BadPpf(lambda u: np.zeros(1)), "returned shape (1,)"),
    ],
    ids=["nan", "inf", "shape"],
)
def test_copula_refuses_bad_marginal_quantiles(marginal, phrase):
    c = varlix.gaussian_copula([[1.0, 0.3], [0.3, 1.0]], [varlix.from_pdf(_normal_pdf), marginal])
    with pytest.raises(ValueError, match=_literal(phrase)):
        c.rvs(50, random_state=2)


class _WrongLength:
    def rvs(self, size=None, random_state=None):
        n = size if isinstance(size, int) else size[0]
        return np.zeros(max(n - 1, 1))


class _WrongDtype:
    def rvs(self, size=None, random_state=None):
        return np.zeros(size, dtype=np.float64 if size == 2 else np.float32)


@pytest.mark.parametrize(
    "dist, size, error, phrase",
    [
        (varlix.from_pdf(_normal_pdf), 2.5, TypeError, "size must be"),
        (varlix.from_pdf(_normal_pdf), -1, ValueError, "size must be non-negative"),
        (_WrongLength(), 10, ValueError, "expected shape (5,)"),
        (_WrongDtype(), (6,), ValueError, "dtype float32"),
    ],
    ids=["float-size", "negative", "block-length", "block-dtype"],
)
def test_dask_sizes_and_blocks_are_checked(dist, size, error, phrase):
    vdask = pytest.importorskip("varlix.dask")
    pytest.importorskip("dask")
    with pytest.raises(error, match=_literal(phrase)):
        vdask.rvs(dist, size, chunks=5, random_state=3).compute(scheduler="synchronous")


def test_dask_float_size_matches_distribution_rvs():
    pytest.importorskip("dask")
    from varlix import dask as vdask
    d = varlix.from_pdf(_normal_pdf)
    with pytest.raises(TypeError) as from_dist:
        d.rvs(2.5)
    with pytest.raises(TypeError) as from_dask:
        vdask.rvs(d, 2.5)
    assert str(from_dist.value) == str(from_dask.value)


# ---- 5. messages -----------------------------------------------------------------------------

def test_numbers_in_setup_messages_are_short():
    # A density negative by a hair: the value is shown as repr shows it.
    pdf = lambda x: -1e-300  # noqa: E731
    with pytest.raises(Exception) as info:
        sampling.NumericalInversePolynomial(_Density(pdf), domain=(0, 1))
    text = str(info.value)
    assert "0000000" not in text
    assert "-1e-300" in text


@pytest.mark.parametrize(
    "logpdf, vectorized, error, phrase",
    [
        (lambda x: -0.5 * x * x, False, TypeError, "returned an array of shape (2,) for one point"),
        (lambda x: float(-0.5 * np.sum(x * x)), True, ValueError, "pass vectorized=False for a function of one"),
    ],
    ids=["point-returns-vector", "vectorized-point-function"],
)
def test_mcmc_log_density_shape_is_named(logpdf, vectorized, error, phrase):
    from varlix import mcmc
    with pytest.raises(error, match=_literal(phrase)):
        mcmc.metropolis(logpdf, np.zeros(2), draws=10, tune=10, chains=1, vectorized=vectorized, random_state=1)
