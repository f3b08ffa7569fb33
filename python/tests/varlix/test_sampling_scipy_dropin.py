"""varlix.sampling as a drop-in for scipy.stats.sampling: seeds, uniform
order, messages and warnings that code written for SciPy relies on."""
import math
import re
import warnings

import numpy as np
import pytest
from scipy import stats

from varlix.sampling import (DiscreteAliasUrn, DiscreteGuideTable, NumericalInverseHermite,
                             NumericalInversePolynomial, RatioUniforms, SetupError, SimpleRatioUniforms,
                             TransformedDensityRejection)


_ROOT_2PI = math.sqrt(2.0 * math.pi)


class Normal:
    def pdf(self, x):
        return np.exp(-0.5 * x * x) / _ROOT_2PI

    def dpdf(self, x):
        return -x * np.exp(-0.5 * x * x) / _ROOT_2PI

    def cdf(self, x):
        return stats.norm.cdf(x)


# ---- seeds and the order of uniforms -------------------------------------------------

@pytest.mark.parametrize("make", [
    lambda rs: NumericalInversePolynomial(Normal(), random_state=rs),
    lambda rs: NumericalInverseHermite(Normal(), random_state=rs),
], ids=["pinv", "hinv"])
def test_int_seed_is_a_random_state_and_inversion_follows_it(make):
    gen = make(123)
    u = np.random.RandomState(123).random_sample(1000)
    expected = gen.ppf(u)
    np.testing.assert_array_equal(gen.rvs(1000), expected)
    # A per-call source and set_random_state read an int the same way.
    np.testing.assert_array_equal(gen.rvs(1000, random_state=123), expected)
    gen.set_random_state(123)
    np.testing.assert_array_equal(gen.rvs(1000), expected)
    # SciPy's draws from the same uniforms agree within the u-resolution.
    assert np.max(np.abs(stats.norm.cdf(expected) - u)) <= 1e-10


def test_a_seed_sequence_still_seeds_a_pcg64_generator():
    gen = NumericalInversePolynomial(Normal(), random_state=np.random.SeedSequence(5))
    u = np.random.Generator(np.random.PCG64(np.random.SeedSequence(5))).random(10)
    np.testing.assert_array_equal(gen.rvs(10), gen.ppf(u))


def test_simple_ratio_uniforms_spends_uniforms_as_u_then_v():
    mode, pdf = 0.5, Normal().pdf
    gen = SimpleRatioUniforms(Normal(), mode=mode, pdf_area=1.0, domain=(0.5, math.inf), random_state=42)
    rs = np.random.RandomState(42)
    umax = math.sqrt(pdf(mode))
    vmax = 1.0 / umax
    expected = []
    while len(expected) < 200:
        u = umax * rs.random_sample()
        v = -vmax + 2.0 * vmax * rs.random_sample()
        x = v / u + mode
        if x >= 0.5 and u * u <= pdf(x):
            expected.append(x)
    np.testing.assert_allclose(gen.rvs(200), expected, rtol=1e-15)


@pytest.mark.parametrize("n", [1, 7, 500])
def test_ratio_uniforms_draws_in_rounds(n):
    vmax = math.sqrt(2.0) * math.exp(-0.5)
    pdf = Normal().pdf
    gen = RatioUniforms(pdf, umax=1.0, vmin=-vmax, vmax=vmax, c=0.25, random_state=np.random.RandomState(9))
    rs = np.random.RandomState(9)
    expected = []
    while len(expected) < n:
        need = n - len(expected)
        us = rs.random_sample(need)
        vs = -vmax + 2.0 * vmax * rs.random_sample(need)
        ok = us * us <= pdf(vs / us + 0.25)
        expected.extend((vs / us + 0.25)[ok])
    np.testing.assert_allclose(gen.rvs(n), expected, rtol=1e-15)


# ---- messages --------------------------------------------------------------------------

class NoMethods:
    pass


@pytest.mark.parametrize("call, error, pattern", [
    (lambda: NumericalInversePolynomial(Normal(), domain=(2, 1)), SetupError, r"left >= right.*\(2\.0, 1\.0\)"),
    (lambda: NumericalInversePolynomial(Normal(), domain=(1, 2, 3)), ValueError, "must be a length 2 tuple"),
    (lambda: NumericalInversePolynomial(Normal(), domain=(0, np.nan)), ValueError, "only non-nan values"),
    (lambda: NumericalInversePolynomial(Normal(), order=1), ValueError,
     r"`order` must be an integer in the range \[3, 17\], got 1"),
    (lambda: NumericalInversePolynomial(Normal(), u_resolution=1e-3), ValueError,
     "`u_resolution` must be between 1e-15 and 1e-5, got 0.001"),
    (lambda: NumericalInversePolynomial(NoMethods()), ValueError, "Either of the methods `pdf` or `logpdf`"),
    (lambda: NumericalInversePolynomial(Normal(), mode=0, domain=(3, 5)), SetupError,
     r"mode not in domain: mode 0\.0 is outside \(3\.0, 5\.0\)"),
    (lambda: NumericalInverseHermite(Normal(), order=2), ValueError, "`order` must be either 1, 3, or 5, got 2"),
    (lambda: NumericalInverseHermite(Normal(), u_resolution="ekki"), ValueError,
     "could not convert string to float: 'ekki'"),
    (lambda: NumericalInverseHermite(NoMethods()), ValueError, "`cdf` required but not found"),
    (lambda: TransformedDensityRejection(Normal(), c=-1.0), ValueError, r"`c` must either be -0\.5 or 0\."),
    (lambda: TransformedDensityRejection(Normal(), construction_points=[]), ValueError,
     "either be a scalar or a non-empty array"),
    (lambda: SimpleRatioUniforms(Normal(), mode=0, pdf_area=-1), ValueError, "`pdf_area` must be > 0"),
    (lambda: RatioUniforms(Normal().pdf, umax=1, vmin=1, vmax=0), ValueError, "vmin must be smaller than vmax"),
])
def test_messages_carry_the_phrases_scipy_users_match(call, error, pattern):
    with pytest.raises(error, match=pattern):
        call()


class LinearPmf:
    def __init__(self, sign):
        self.sign = sign

    def pmf(self, x):
        return self.sign * np.asarray(x, dtype=float)


@pytest.mark.parametrize("cls", [DiscreteAliasUrn, DiscreteGuideTable])
@pytest.mark.parametrize("dist, domain, error, pattern", [
    ([], None, ValueError, "must contain at least one element"),
    ([[1.0, 0.0]], None, ValueError, r"wrong number of dimensions \(expected 1, got 2\)"),
    ([0.2, np.nan], None, ValueError, "must contain only finite / non-nan values"),
    ([0.0, 0.0], None, ValueError, "must contain at least one non-zero value"),
    ([0.5, -0.1], None, SetupError, r"probability < 0: entry 1 is -0\.1"),
    # A vector's domain is validated whole, not only its first end.
    ([0.5, 0.5], (2, 1), SetupError, "left >= right"),
    ([0.5, 0.5], (1, 2, 3), ValueError, "must be a length 2 tuple"),
    ([0.5, 0.5], (0, np.nan), ValueError, "only non-nan values"),
    ([0.5, 0.5], (np.inf, np.inf), ValueError, "must be finite"),
    # The pmf's negative value is named at its point, not its index.
    (LinearPmf(-1.0), (5, 10), SetupError, r"probability < 0: the pmf is -5\.0 at x = 5"),
    (LinearPmf(1.0), None, ValueError, "`domain` must be provided when the probability vector is not available"),
])
def test_discrete_inputs_are_refused_with_scipys_phrases(cls, dist, domain, error, pattern):
    with pytest.raises(error, match=pattern):
        cls(dist, domain=domain)


def test_a_pmf_value_that_is_not_a_number_is_a_value_error():
    class Listy:
        def pmf(self, x):
            return []

    with pytest.raises(ValueError, match="setting an array element with a sequence"):
        DiscreteAliasUrn(Listy(), domain=(1, 10))


@pytest.mark.parametrize("method", [NumericalInversePolynomial, NumericalInverseHermite])
def test_qrvs_argument_checks(method):
    gen = method(Normal())
    with pytest.raises(ValueError, match="`qmc_engine` must be an instance of scipy.stats.qmc.QMCEngine"):
        gen.qrvs(qmc_engine=0)
    with pytest.raises(ValueError, match=r"`d` must be consistent with dimension of `qmc_engine`: d=3, qmc_engine.d=2"):
        gen.qrvs(d=3, qmc_engine=stats.qmc.Halton(2))
    assert gen.qrvs((2, 4), d=3).shape == (2, 4, 3)


# ---- warnings --------------------------------------------------------------------------

@pytest.mark.parametrize("kwargs", [{"center": 0}, {}])
def test_a_center_outside_the_domain_is_moved_with_a_warning(kwargs):
    with pytest.warns(RuntimeWarning, match=r"center moved into domain of distribution: 0(\.0)? is outside"):
        gen = NumericalInversePolynomial(Normal(), domain=(3, 5), **kwargs)
    assert np.all((gen.rvs(100, random_state=1) >= 3) & (gen.rvs(100, random_state=1) <= 5))


@pytest.mark.parametrize("call, pattern", [
    (lambda: DiscreteAliasUrn([0.5, 0.5], urn_factor=-1), r"relative urn size < 1\.: urn_factor -1\.0; using 1"),
    (lambda: DiscreteGuideTable([0.5, 0.5], guide_factor=0), "guide_factor 0: no guide table"),
    (lambda: DiscreteGuideTable([0.5, 0.5], guide_factor=7), "guide_factor 7.0 > 3"),
    (lambda: TransformedDensityRejection(Normal(), construction_points=[1, 1, 0]),
     "starting points not strictly monotonically increasing"),
    (lambda: TransformedDensityRejection(Normal(), domain=(-3, 3), construction_points=[-10, 0, 10]),
     "starting point out of domain: 2 construction points outside"),
    (lambda: TransformedDensityRejection(Normal(), max_squeeze_hat_ratio=0.9999, max_intervals=40),
     r"max_squeeze_hat_ratio 0\.9999 not reached: 0\.9\d+ with 40 construction points"),
])
def test_warnings_where_scipy_warns(call, pattern):
    with pytest.warns(RuntimeWarning, match=pattern):
        call()


def test_guide_factor_zero_still_draws_the_law():
    with pytest.warns(RuntimeWarning):
        gen = DiscreteGuideTable([0.25, 0.75], guide_factor=0, random_state=3)
    assert abs(gen.rvs(20000).mean() - 0.75) < 0.02


def test_tdr_refines_well_past_the_target_ratio():
    for target in (0.9, 0.99, 0.999):
        gen = TransformedDensityRejection(Normal(), max_squeeze_hat_ratio=target)
        assert 1.0 - gen.squeeze_hat_ratio <= 1.0 - target


# A pole at 1 where the CDF loses its last digits: the default 1e-12 cannot be met.
_POLE = stats.beta(2.3098496451481823, 0.6268795430096368)


def test_a_u_resolution_short_of_the_asked_one_warns_and_says_what_the_table_meets():
    with pytest.warns(RuntimeWarning, match=r"u-resolution 1e-12 not reached .* built for u-resolution (1e-\d+)") as got:
        gen = NumericalInverseHermite(_POLE)
    met = float(re.search(r"built for u-resolution (1e-\d+)", str(got[0].message)).group(1))
    assert 1e-12 < met <= 1e-8
    u = np.linspace(0.001, 0.999, 999)
    assert np.max(np.abs(_POLE.cdf(gen.ppf(u)) - u)) <= met
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        NumericalInverseHermite(_POLE, u_resolution=1e-8)


def test_a_density_error_reaches_the_thread_whose_draw_called_it():
    import threading

    local = threading.local()

    class Armed(Normal):
        def pdf(self, x):
            message = getattr(local, "message", None)
            if message is not None:
                raise ValueError(message)
            return super().pdf(x)

    gen = TransformedDensityRejection(Armed(), random_state=1)
    seen = {}

    def run(name):
        local.message = name
        try:
            gen.rvs(100000)
        except ValueError as error:
            seen[name] = str(error)

    threads = [threading.Thread(target=run, args=(name,)) for name in ("foo", "bar")]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert seen == {"foo": "foo", "bar": "bar"}
