"""ContinuousDistribution: method table, evaluation and statistics per model,
quantile errors, failing user functions, seeded draws, and each sampling
backend against scipy.stats with fixed seeds."""
import math
import sys

import numpy as np
import pytest
from scipy import stats

SQRT_2PI = math.sqrt(2 * math.pi)


def normal(x):
    return math.exp(-0.5 * x * x)


def logistic_cdf(x):
    return 1.0 / (1.0 + math.exp(-x))


@pytest.fixture(scope="module")
def uniform(vx):
    return vx.from_pdf(lambda x: 1.0, vx.Interval(0, 2))


@pytest.fixture(scope="module")
def by_cdf(vx):
    return vx.from_cdf(logistic_cdf, vx.Interval(-1, 1))


METHOD_SIGNATURES = [
    ("support", "($self)"), ("sample", "($self)"), ("sample_n", "($self, n, seed=None)"), ("cdf", "($self, x)"),
    ("pdf", "($self, x)"), ("ppf", "($self, u)"), ("sf", "($self, x)"), ("isf", "($self, q)"),
    ("logpdf", "($self, x)"), ("logcdf", "($self, x)"), ("logsf", "($self, x)"), ("mean", "($self)"),
    ("var", "($self)"), ("std", "($self)"), ("median", "($self)"), ("entropy", "($self)"),
    ("interval", "($self, confidence)"), ("expect", "($self, func)"), ("uses_hermite_table", "($self)"),
    ("uses_tdr", "($self)"),
]


def test_method_table(vx):
    cls = vx.ContinuousDistribution
    assert [name for name in vars(cls) if not name.startswith("__")] == [name for name, _ in METHOD_SIGNATURES]
    for name, text in METHOD_SIGNATURES:
        assert getattr(cls, name).__text_signature__ == text
    with pytest.raises(TypeError, match=r"^No constructor defined for ContinuousDistribution$"):
        cls(normal)


# ---- evaluation and statistics ------------------------------------------------

def test_uniform_known_values(uniform):
    assert uniform.pdf(1.0) == 0.5 and uniform.pdf(10.0) == 0.5  # a plain density answers outside its support
    assert uniform.logpdf(1.0) == math.log(0.5)
    assert uniform.cdf(0.0) == 0.0 and uniform.cdf(2.0) == 1.0
    assert uniform.logcdf(0.0) == -math.inf and uniform.logsf(2.0) == -math.inf
    assert uniform.sf(3.0) == 0.0 and uniform.sf(-1.0) == 1.0
    assert uniform.cdf(0.5) == pytest.approx(0.25, abs=1e-15)
    assert uniform.logcdf(0.5) == pytest.approx(math.log(0.25), abs=1e-14)
    assert uniform.logsf(0.5) == pytest.approx(math.log(0.75), abs=1e-14)
    assert uniform.mean() == pytest.approx(1.0, abs=1e-12)
    assert uniform.var() == pytest.approx(1 / 3, abs=1e-12)
    assert uniform.std() == pytest.approx(math.sqrt(1 / 3), abs=1e-12)
    assert uniform.entropy() == pytest.approx(math.log(2), abs=1e-12)
    assert uniform.median() == pytest.approx(1.0, abs=1e-11)
    assert uniform.expect(lambda x: 1) == pytest.approx(1.0, abs=1e-12)


def test_outside_a_restricted_support(vx):
    d = vx.from_pdf_loc_scale(normal, vx.Interval(-1, 1), 2, 0.5)
    t = vx.truncated(normal, vx.Interval(-5, 5), vx.Interval(-1, 1))
    h = vx.from_histogram([0, 1, 3], [1, 1])
    for dist, outside in [(d, 0.0), (d, 3.01), (t, -1.01), (t, 2.0), (h, 3.0), (h, -0.5)]:
        assert dist.pdf(outside) == 0.0
        assert dist.logpdf(outside) is None
    assert d.logcdf(0.0) == -math.inf and d.cdf(5.0) == 1.0


def test_plain_density_outside_its_support(vx):
    d = vx.from_pdf(normal, vx.Interval(-5, 5))
    norm = SQRT_2PI * (stats.norm.cdf(5) - stats.norm.cdf(-5))
    assert d.pdf(10.0) == pytest.approx(normal(10.0) / norm, rel=1e-9) and d.pdf(10.0) > 0


def test_histogram(vx):
    counts, dens = vx.from_histogram([0, 1, 3], [1, 1]), vx.from_histogram([0, 1, 3], [1, 1], density=True)
    for d in (counts, dens):
        assert d.pdf(0.0) == pytest.approx(0.5, abs=1e-9) and d.pdf(1.0) == pytest.approx(0.25, abs=1e-9)
        assert d.cdf(1.0) == pytest.approx(0.5, abs=1e-9)
        assert d.pdf(3.0) == 0.0


def test_from_cdf(vx, by_cdf):
    g_calls = []
    assert by_cdf.cdf(-1.0) == 0.0 and by_cdf.cdf(1.0) == 1.0
    assert by_cdf.cdf(2.0) > 1.0 and by_cdf.sf(2.0) == 0.0 and by_cdf.logcdf(2.0) == 0.0
    assert by_cdf.cdf(-2.0) < 0.0 and by_cdf.sf(-2.0) > 1.0 and by_cdf.logcdf(-2.0) == -math.inf
    assert by_cdf.pdf(0.0) is None and by_cdf.logpdf(0.0) is None
    assert by_cdf.entropy() == 0.0
    assert by_cdf.median() == pytest.approx(0.0, abs=1e-11)
    for call in (by_cdf.mean, by_cdf.var, by_cdf.std, lambda: by_cdf.expect(g_calls.append)):
        with pytest.raises(vx.SampleError) as error:
            call()
        assert str(error.value) == "operation requires an underlying PDF"
    assert g_calls == []


@pytest.mark.parametrize("make", [
    lambda vx, f: vx.from_pdf(f, vx.Interval(-5, 5)),
    lambda vx, f: vx.from_pdf_loc_scale(f, vx.Interval(-5, 5), 1, 2),
    lambda vx, f: vx.truncated(f, vx.Interval(-5, 5), vx.Interval(-1, 2)),
])
def test_nan_argument_integrates_nothing(vx, make):
    calls = []
    d = make(vx, lambda x: calls.append(x) or normal(x))
    calls.clear()
    assert math.isnan(d.cdf(math.nan)) and d.sf(math.nan) == 0.0
    assert math.isnan(d.logcdf(math.nan)) and math.isnan(d.logsf(math.nan))
    assert calls == []


def test_user_cdf_is_asked_at_nan(vx):
    seen = []
    d = vx.from_cdf(lambda x: seen.append(x) or logistic_cdf(x), vx.Interval(-1, 1))
    assert math.isnan(d.cdf(math.nan)) and d.sf(math.nan) == 0.0
    assert math.isnan(seen[-1])


@pytest.mark.parametrize("make, reference", [
    (lambda vx: vx.from_pdf(normal, vx.Interval(-5, 5)), stats.truncnorm(-5, 5)),
    (lambda vx: vx.from_pdf_loc_scale(normal, vx.Interval(-5, 5), 1, 2), stats.truncnorm(-5, 5, loc=1, scale=2)),
    (lambda vx: vx.truncated(normal, vx.Interval(-5, 5), vx.Interval(-1, 2)), stats.truncnorm(-1, 2)),
])
def test_against_scipy(vx, make, reference):
    # Integrals at tolerance 1e-10 over a density of order 1: 1e-8 leaves room
    # for the normalizer's own error.
    d = make(vx)
    for x in np.linspace(*reference.support(), 7)[1:-1]:
        assert d.pdf(x) == pytest.approx(reference.pdf(x), abs=1e-8)
        assert d.cdf(x) == pytest.approx(reference.cdf(x), abs=1e-8)
    for u in (0.01, 0.3, 0.5, 0.9):
        assert d.ppf(u) == pytest.approx(reference.ppf(u), abs=1e-7)
        assert d.isf(u) == pytest.approx(reference.isf(u), abs=1e-7)
    assert d.mean() == pytest.approx(reference.mean(), abs=1e-8)
    assert d.var() == pytest.approx(reference.var(), abs=1e-8)
    assert d.std() == pytest.approx(reference.std(), abs=1e-8)
    assert d.entropy() == pytest.approx(reference.entropy(), abs=1e-8)
    assert d.expect(lambda x: x**3) == pytest.approx(reference.expect(lambda x: x**3), abs=1e-7)


def test_negative_variance_is_zero(vx):
    # A density negative on part of the support: m2 - m1^2 comes out negative.
    d = vx.from_pdf(lambda x: 1.0 if x < 1 else -0.9, vx.Interval(0, 2))
    assert d.var() == 0.0 and d.std() == 0.0


def test_callbacks_may_reenter_the_distribution(uniform):
    assert uniform.expect(lambda x: uniform.pdf(x)) == pytest.approx(0.5, abs=1e-12)


# ---- quantiles ----------------------------------------------------------------

@pytest.mark.parametrize("call, message", [
    (lambda d: d.ppf(0.0), "quantile u=0 not in (0, 1)"),
    (lambda d: d.ppf(1.0), "quantile u=1 not in (0, 1)"),
    (lambda d: d.ppf(math.nan), "quantile u=NaN not in (0, 1)"),
    (lambda d: d.ppf(-0.25), "quantile u=-0.25 not in (0, 1)"),
    (lambda d: d.ppf(math.inf), "quantile u=inf not in (0, 1)"),
    (lambda d: d.isf(1.5), "quantile u=-0.5 not in (0, 1)"),
    (lambda d: d.isf(0.0), "quantile u=1 not in (0, 1)"),
    (lambda d: d.isf(1e-17), "quantile u=1 not in (0, 1)"),
    (lambda d: d.interval(1.0), "confidence 1 must be in (0, 1)"),
    (lambda d: d.interval(0.0), "confidence 0 must be in (0, 1)"),
    (lambda d: d.interval(1.5), "confidence 1.5 must be in (0, 1)"),
    (lambda d: d.interval(math.nan), "confidence NaN must be in (0, 1)"),
])
def test_quantile_errors(vx, uniform, by_cdf, call, message):
    for d in (uniform, by_cdf):
        with pytest.raises(vx.SampleError) as error:
            call(d)
        assert str(error.value) == message


def test_central_intervals(uniform):
    lower, upper = uniform.interval(0.5)
    assert (lower, upper) == (uniform.ppf(0.25), uniform.ppf(0.75))
    assert uniform.interval(0.95) == (uniform.ppf(0.025), uniform.ppf(0.975))
    assert uniform.interval(5e-324) == (uniform.median(), uniform.median())
    assert type(uniform.interval(0.5)) is tuple


def test_quantile_of_an_unusable_cdf_fails(vx):
    # The CDF span is found NaN while inverting: the call fails cleanly.
    state = {"fail": False}
    d = vx.from_cdf(lambda x: math.nan if state["fail"] else x, vx.Interval(0, 1))
    state["fail"] = True
    for call in (lambda: d.ppf(0.5), d.median, d.sample, lambda: d.sample_n(3, seed=1)):
        with pytest.raises(vx.SampleError, match=r"^failed to invert CDF$"):
            call()


# ---- failing user functions -------------------------------------------------------

def raise_interrupt(x):
    raise KeyboardInterrupt


@pytest.mark.parametrize("failure", [raise_interrupt, lambda x: None, lambda x: "0.5", lambda x: math.nan])
def test_failing_density_after_building(vx, failure):
    state = {"failure": None}
    d = vx.from_pdf(lambda x: (state["failure"] or normal)(x), vx.Interval(-5, 5))
    state["failure"] = failure
    assert math.isnan(d.pdf(0.5)) and d.logpdf(0.5) is None
    assert math.isnan(d.cdf(0.5)) and d.sf(0.5) == 0.0
    assert math.isnan(d.logcdf(0.5)) and math.isnan(d.logsf(0.5))
    assert d.entropy() == 0.0  # NaN densities contribute nothing
    assert math.isnan(d.ppf(0.3)) and math.isnan(d.sample())  # the polish ends on NaN
    for call in (d.mean, d.var, d.std, lambda: d.expect(lambda x: 1.0)):
        with pytest.raises(vx.SampleError, match=r"^numerical integration failed$"):
            call()


@pytest.mark.parametrize("func", [None, raise_interrupt, lambda x: "1", lambda: 1.0, lambda x: math.inf])
def test_failing_expectation(vx, uniform, func):
    with pytest.raises(vx.SampleError) as error:
        uniform.expect(func)
    assert str(error.value) == "numerical integration failed"


def test_expect_drops_its_adaptor(uniform):
    func = lambda x: x  # noqa: E731
    base = sys.getrefcount(func)
    assert uniform.expect(func) == pytest.approx(1.0, abs=1e-12)
    assert sys.getrefcount(func) == base


def test_hermite_table_answers_without_the_density(vx):
    state = {"fail": False}
    d = vx.from_pdf_with_options(lambda x: math.nan if state["fail"] else normal(x), vx.Interval(-5, 5),
                                 vx.BuildOptions.hermite(64))
    before = d.ppf(0.3)
    state["fail"] = True
    assert d.ppf(0.3) == before and math.isfinite(d.sample())


# ---- draws --------------------------------------------------------------------

BACKENDS = {
    "inversion": lambda vx: vx.BuildOptions(),
    "hermite": lambda vx: vx.BuildOptions.hermite(64),
    "tdr_log": lambda vx: vx.BuildOptions.tdr("log"),
    "tdr_inv_sqrt": lambda vx: vx.BuildOptions.tdr("inv_sqrt"),
}


@pytest.fixture(scope="module", params=list(BACKENDS))
def backend(request, vx):
    d = vx.from_pdf_with_options(normal, vx.Interval(-5, 5), BACKENDS[request.param](vx))
    return request.param, d


def test_backend_flags(backend):
    name, d = backend
    assert (d.uses_hermite_table(), d.uses_tdr()) == (name == "hermite", name.startswith("tdr"))


def test_seeded_draws_repeat_and_extend(backend):
    _, d = backend
    first = d.sample_n(6, seed=11)
    assert first == d.sample_n(6, seed=11)
    assert d.sample_n(3, seed=11) == first[:3]
    assert d.sample_n(6, seed=12) != first
    assert d.sample_n(0) == [] and d.sample_n(0, seed=3) == []
    assert all(-5 <= x <= 5 for x in first + d.sample_n(3, seed=None) + [d.sample()])


@pytest.mark.parametrize("make", [
    lambda vx: vx.from_pdf(normal, vx.Interval(-5, 5)),
    lambda vx: vx.from_pdf_with_options(normal, vx.Interval(-5, 5), vx.BuildOptions.hermite(64)),
    lambda vx: vx.from_cdf(logistic_cdf, vx.Interval(-1, 1)),
])
def test_seeded_inversion_inverts_the_seeded_uniforms(vx, make):
    # seed 0 gives the uniforms 0.7090754154265618 and 0.46592172228961015.
    d = make(vx)
    assert d.sample_n(2, seed=0) == [d.ppf(0.7090754154265618), d.ppf(0.46592172228961015)]


@pytest.mark.parametrize("call, exception, message", [
    (lambda d: d.sample_n(-1), OverflowError, None),
    (lambda d: d.sample_n(1, seed=-1), OverflowError, None),
    (lambda d: d.sample_n(1, seed=1.5), TypeError, "argument 'seed': 'float' object cannot be interpreted as an integer"),
    (lambda d: d.sample_n(None), TypeError, "argument 'n': 'NoneType' object cannot be interpreted as an integer"),
    (lambda d: d.cdf("0"), TypeError, "argument 'x': must be real number, not str"),
    (lambda d: d.mean(1), TypeError, None),
    (lambda d: d.sample_n(2**62), MemoryError, None),
    (lambda d: d.sample_n(2**62, seed=1), MemoryError, None),
])
def test_argument_and_size_errors(uniform, call, exception, message):
    with pytest.raises(BaseException) as info:
        call(uniform)
    assert type(info.value) is exception
    if message is not None:
        assert str(info.value) == message


# Each backend's draws against the truncated normal CDF with scipy's
# Kolmogorov-Smirnov test, fixed seeds. 2000 draws reject a normal 20% too
# wide (checked below); inversion by quadrature of a Python density costs
# milliseconds per draw, so it gets 150, enough for a gross error only.
KS_DRAWS = {"inversion": 150, "hermite": 2000, "tdr_log": 2000, "tdr_inv_sqrt": 2000}


def test_draws_follow_the_truncated_normal(backend):
    name, d = backend
    draws = d.sample_n(KS_DRAWS[name], seed=4)
    assert stats.kstest(draws, stats.truncnorm(-5, 5).cdf).pvalue > 0.05
    if KS_DRAWS[name] == 2000:
        assert stats.kstest(draws, stats.truncnorm(-5 / 1.2, 5 / 1.2, scale=1.2).cdf).pvalue < 0.001


def test_restricted_models_draw_inside_their_support(vx):
    d = vx.from_pdf_loc_scale(normal, vx.Interval(-5, 5), 1, 2, vx.BuildOptions.tdr("log"))
    draws = d.sample_n(2000, seed=5)
    assert stats.kstest(draws, stats.truncnorm(-5, 5, loc=1, scale=2).cdf).pvalue > 0.01
    t = vx.truncated(normal, vx.Interval(-5, 5), vx.Interval(0.5, 3), vx.BuildOptions.hermite(64))
    draws = t.sample_n(2000, seed=6)
    assert min(draws) >= 0.5 and max(draws) <= 3
    assert stats.kstest(draws, stats.truncnorm(0.5, 3).cdf).pvalue > 0.01
