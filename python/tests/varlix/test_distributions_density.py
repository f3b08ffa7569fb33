"""Distributions from a density, a log-density or a CDF: accuracy against
closed forms (also on wide and infinite supports and in the tails), the
points the user's function is called at, errors, loc/scale, truncation,
draws and pickling."""
import math
import pickle

import numpy as np
import pytest

varlix = pytest.importorskip("varlix")
stats = pytest.importorskip("scipy.stats")

SQRT_2PI = math.sqrt(2 * math.pi)
NORMAL_ENTROPY = 0.5 * math.log(2 * math.pi * math.e)


def normal_scalar(x):
    return 7.0 * math.exp(-0.5 * (x - 3.0) ** 2)  # unnormalized on purpose


def normal_vector(x):
    return 7.0 * np.exp(-0.5 * (x - 3.0) ** 2)


def normal_log(x):
    return -1000.0 - 0.5 * (x - 3.0) ** 2  # exp() of it underflows


FACTORIES = {
    "pdf-scalar": lambda support: varlix.from_pdf(normal_scalar, support),
    "pdf-vector": lambda support: varlix.from_pdf(normal_vector, support),
    "logpdf": lambda support: varlix.from_logpdf(normal_log, support),
}


@pytest.mark.parametrize("support", [(-100.0, 100.0), (-math.inf, math.inf)], ids=["wide-box", "line"])
@pytest.mark.parametrize("kind", FACTORIES)
def test_normal_far_from_zero_has_exact_moments_and_quantiles(kind, support):
    d = FACTORIES[kind](support)
    assert d.mean() == pytest.approx(3.0, abs=1e-8)
    assert d.var() == pytest.approx(1.0, abs=1e-8)
    assert d.std() == pytest.approx(1.0, abs=1e-8)
    assert d.median() == pytest.approx(3.0, abs=1e-8)
    assert d.entropy() == pytest.approx(NORMAL_ENTROPY, abs=1e-8)
    ref = stats.norm(3.0, 1.0)
    x = np.linspace(-2.0, 8.0, 101)
    np.testing.assert_allclose(d.pdf(x), ref.pdf(x), rtol=1e-9)
    np.testing.assert_allclose(d.logpdf(x), ref.logpdf(x), rtol=1e-9, atol=1e-9)
    # u-error of the table within its resolution (1e-10) on a fine grid
    u = np.linspace(0.0, 1.0, 10001)[1:-1]
    assert np.max(np.abs(ref.cdf(d.ppf(u)) - u)) <= 1e-10
    assert np.max(np.abs(d.cdf(x) - ref.cdf(x))) <= 1e-10
    assert d.interval(0.95) == pytest.approx(ref.interval(0.95), abs=1e-8)
    assert d.support() == support


def test_tails_keep_relative_accuracy():
    d = varlix.from_pdf(normal_vector)
    ref = stats.norm(3.0, 1.0)
    x = np.array([-12.0, -6.0, -1.0, 7.0, 12.0, 30.0])
    np.testing.assert_allclose(d.cdf(x[:3]), ref.cdf(x[:3]), rtol=1e-8)
    np.testing.assert_allclose(d.sf(x[3:]), ref.sf(x[3:]), rtol=1e-8)
    np.testing.assert_allclose(d.logsf(x[3:]), ref.logsf(x[3:]), rtol=1e-9)
    np.testing.assert_allclose(d.logcdf(x[:3]), ref.logcdf(x[:3]), rtol=1e-9)


@pytest.mark.parametrize("support", [(-1000.0, 1000.0), (-math.inf, math.inf)], ids=["wide-box", "line"])
def test_a_narrow_peak_far_from_zero(support):
    # N(30, 0.001^2): its 15 nodes on a wide box would all miss it.
    d = varlix.from_pdf(lambda x: np.exp(-0.5 * ((x - 30.0) / 1e-3) ** 2), support, center=30.0)
    assert d.mean() == pytest.approx(30.0, rel=1e-12)
    assert d.var() == pytest.approx(1e-6, rel=1e-8)
    assert d.median() == pytest.approx(30.0, abs=1e-10)


def test_bimodal_mixture():
    def f(x):
        return np.exp(-0.5 * ((x + 2) / 0.3) ** 2) + 3 * np.exp(-0.5 * ((x - 2) / 0.3) ** 2)

    d = varlix.from_pdf(f)
    assert d.mean() == pytest.approx(1.0, rel=1e-10)
    assert d.var() == pytest.approx(0.09 + 4 - 1, rel=1e-10)
    assert d.cdf(0.0) == pytest.approx(0.25, abs=1e-10)


def test_heavy_tails_have_no_mean_but_an_entropy():
    d = varlix.from_pdf(lambda x: 1.0 / (1.0 + x * x))
    assert math.isnan(d.mean()) and math.isnan(d.var())
    assert d.entropy() == pytest.approx(math.log(4 * math.pi), abs=1e-8)
    assert d.ppf(0.75) == pytest.approx(1.0, abs=1e-8)


def test_loc_and_scale_give_the_law_of_loc_plus_scale_x():
    d = varlix.from_pdf(lambda x: np.exp(-x), (0.0, math.inf), loc=2.0, scale=3.0)
    ref = stats.expon(2.0, 3.0)
    assert d.support() == (2.0, math.inf)
    assert d.mean() == pytest.approx(5.0, rel=1e-10) and d.var() == pytest.approx(9.0, rel=1e-10)
    assert d.entropy() == pytest.approx(ref.entropy(), rel=1e-10)
    x = np.array([1.0, 2.0, 2.5, 10.0])
    np.testing.assert_allclose(d.pdf(x), ref.pdf(x), rtol=1e-9)
    np.testing.assert_allclose(d.cdf(x), ref.cdf(x), atol=1e-10)
    np.testing.assert_allclose(d.ppf([0.1, 0.5, 0.9]), ref.ppf([0.1, 0.5, 0.9]), rtol=1e-9)
    np.testing.assert_allclose(d.isf([0.1, 0.5, 0.9]), ref.isf([0.1, 0.5, 0.9]), rtol=1e-9)
    assert d.rvs(1000, random_state=1).min() >= 2.0


def test_expect_has_scipys_meaning():
    d = varlix.from_pdf(normal_vector)
    assert d.expect() == pytest.approx(3.0, rel=1e-10)
    assert d.expect(lambda x: x * x) == pytest.approx(10.0, rel=1e-10)
    assert d.expect(lambda x: math.cos(x)) == pytest.approx(math.cos(3) * math.exp(-0.5), rel=1e-9)
    # not conditional: E[X; X > 3] = 3/2 + 1/sqrt(2 pi)
    assert d.expect(lb=3.0) == pytest.approx(1.5 + 1 / SQRT_2PI, rel=1e-10)
    assert d.expect(lambda x: 1.0, lb=1.0, ub=4.0) == pytest.approx(stats.norm.cdf(1) - stats.norm.cdf(-2), rel=1e-10)


class Recorder:
    """A density that records where it is called."""

    def __init__(self, lo=-math.inf, hi=math.inf):
        self.calls = []
        self.lo, self.hi = lo, hi

    def __call__(self, x):
        self.calls.append(np.array(x, dtype=float, copy=True).ravel())
        return np.exp(-0.5 * np.asarray(x) ** 2)


@pytest.mark.parametrize("support", [(-math.inf, math.inf), (-1.0, 2.0), (0.0, math.inf)])
def test_the_function_is_called_only_at_finite_points_of_the_support(support):
    f = Recorder()
    d = varlix.from_pdf(f, support)
    d.pdf(np.array([-5.0, 0.5, 1.5, 5.0, np.inf, -np.inf, np.nan]))
    d.mean(), d.var(), d.entropy(), d.expect(np.sin), d.cdf(np.array([-9.0, 9.0]))
    called = np.concatenate(f.calls)
    assert np.all(np.isfinite(called))
    assert np.all((called >= support[0]) & (called <= support[1]))
    before = len(f.calls)
    d.ppf(np.linspace(0, 1, 11)), d.isf(0.3), d.rvs(1000, random_state=1), d.median()
    assert len(f.calls) == before


class Boom(Exception):
    pass


def test_user_exceptions_propagate():
    def fails_at_setup(x):
        raise Boom("setup")

    with pytest.raises(Boom, match="setup"):
        varlix.from_pdf(fails_at_setup)

    def fails_far_out(x):
        if abs(x) > 3:
            raise Boom("far")
        return math.exp(-x * x)

    with pytest.raises(Boom, match="far"):
        varlix.from_pdf(fails_far_out)

    d = varlix.from_pdf(normal_scalar)

    def bad_func(x):
        raise Boom("func")

    with pytest.raises(Boom, match="func"):
        d.expect(bad_func)


@pytest.mark.parametrize(
    "f, message",
    [
        (lambda x: -1.0 if 0.5 < x < 0.7 else math.exp(-x * x), r"x = 0\.[56]"),
        (lambda x: math.nan if x > 1.5 else math.exp(-x * x), "x = "),
        (lambda x: 1.0 / (1.0 + abs(x)), "does not converge"),
        (lambda x: 0.0, "density is 0"),
    ],
    ids=["negative", "nan", "divergent", "zero"],
)
def test_bad_densities_are_refused_with_their_reason(f, message):
    with pytest.raises((ValueError, varlix.sampling.SetupError), match=message):
        varlix.from_pdf(f)


def test_the_center_search_passes_over_points_where_the_function_overflows():
    def f(x):
        with np.errstate(over="ignore", invalid="ignore"):
            return np.exp(-x * x) * np.cosh(x)  # 0 * inf = NaN far out

    d = varlix.from_pdf(f)
    assert d.mean() == pytest.approx(0.0, abs=1e-12)
    assert d.var() == pytest.approx(0.5 + 0.25, rel=1e-10)  # E[X^2] of the tilted mixture N(+-1/2, 1/2)


def test_pdf_reports_a_bad_value_with_its_x():
    calls = {"setup": True}

    def f(x):
        if not calls["setup"] and x > 1:
            return -2.0
        return math.exp(-x * x)

    d = varlix.from_pdf(f)
    d.mean()
    calls["setup"] = False
    with pytest.raises(ValueError, match=r"density value -2\.0 at x = 1\.5 "):
        d.pdf(1.5)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"support": (1.0, 1.0)}, ValueError, "support must satisfy lo < hi"),
        ({"support": (0.0,)}, TypeError, r"support must be a pair \(lo, hi\)"),
        ({"support": ("a", 1.0)}, TypeError, r"support\[0\] must be a real number"),
        ({"scale": 0.0}, ValueError, "scale must be finite and positive"),
        ({"scale": -1.0}, ValueError, "scale must be finite and positive"),
        ({"loc": math.inf}, ValueError, "loc must be finite"),
        ({"u_resolution": 1e-3}, ValueError, r"u_resolution must be in \[1e-15, 1e-5\]"),
        ({"u_resolution": 1e-16}, ValueError, r"u_resolution must be in \[1e-15, 1e-5\]"),
        ({"support": (0.0, 1.0), "center": 2.0}, ValueError, "center must be a finite point of the support"),
        ({"center": "x"}, TypeError, "center must be a real number"),
    ],
)
def test_arguments_are_checked_and_named(kwargs, error, message):
    with pytest.raises(error, match=message):
        varlix.from_pdf(normal_scalar, **kwargs)


def test_point_arguments_are_named():
    d = varlix.from_pdf(normal_vector)
    with pytest.raises(TypeError, match="x must be a real number or an array of real numbers"):
        d.cdf("a")
    with pytest.raises(TypeError, match="q must be a real number"):
        d.ppf([object()])
    with pytest.raises(ValueError, match="confidence must be in"):
        d.interval(1.5)
    with pytest.raises(ValueError, match="random_state must be None, an int"):
        d.rvs(3, random_state="seed")
    with pytest.raises(ValueError, match="size must be non-negative"):
        d.rvs(-2)


def test_a_compiled_density_is_called_without_python():
    """libm's exp as a LowLevelCallable: the law of -Exp(1)."""
    import ctypes
    import ctypes.util

    scipy = pytest.importorskip("scipy")
    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    exp = libm.exp
    exp.restype, exp.argtypes = ctypes.c_double, [ctypes.c_double]
    d = varlix.from_pdf(scipy.LowLevelCallable(exp), (-math.inf, 0.0))
    assert d.mean() == pytest.approx(-1.0, rel=1e-12) and d.var() == pytest.approx(1.0, rel=1e-12)
    assert d.entropy() == pytest.approx(1.0, rel=1e-12)
    np.testing.assert_allclose(d.pdf([-1.0, 0.0, 1.0]), [math.exp(-1), 1.0, 0.0], rtol=1e-12)
    assert d.cdf(-40.0) == pytest.approx(math.exp(-40.0), rel=1e-10)


def test_non_callables_are_refused():
    with pytest.raises(TypeError, match="pdf must be callable"):
        varlix.from_pdf(3.0)
    with pytest.raises(TypeError, match="cdf must be callable"):
        varlix.from_cdf("cdf")


def test_arrays_in_arrays_out():
    d = varlix.from_pdf(normal_vector)
    x = np.full((3, 4), 3.0)
    for name in ("pdf", "logpdf", "cdf", "sf", "logcdf", "logsf"):
        out = getattr(d, name)(x)
        assert isinstance(out, np.ndarray) and out.shape == (3, 4), name
    assert d.ppf(np.full((2, 5), 0.5)).shape == (2, 5)
    assert isinstance(d.pdf(3.0), float) and isinstance(d.ppf(0.5), float)
    assert np.isnan(d.ppf([-0.5, 1.5, np.nan])).all() and np.isnan(d.isf(2.0))
    assert d.ppf([0.0, 1.0]).tolist() == [-math.inf, math.inf]
    assert d.cdf([-math.inf, math.inf]).tolist() == [0.0, 1.0]


def test_draws_are_seeded_follow_the_law_and_fill_an_ndarray():
    d = varlix.from_pdf(normal_vector)
    x = d.rvs(10**6, random_state=42)
    assert x.dtype == np.float64 and x.shape == (10**6,) and x.nbytes == 8 * 10**6
    assert np.array_equal(x[:1000], d.rvs(1000, random_state=42))
    assert stats.kstest(x[:100_000], stats.norm(3.0).cdf).pvalue > 1e-3
    assert isinstance(d.rvs(random_state=1), float)
    assert d.rvs((2, 3), random_state=1).shape == (2, 3)
    g = np.random.default_rng(0)
    assert d.rvs(5, random_state=g).tolist() != d.rvs(5, random_state=g).tolist()
    with pytest.raises(MemoryError):
        d.rvs(2**62, random_state=1)


def test_truncation_is_a_new_distribution():
    d = varlix.from_pdf(lambda x: np.exp(-0.5 * x * x))
    t = d.truncate(-1.0, 2.0)
    ref = stats.truncnorm(-1.0, 2.0)
    assert t.support() == (-1.0, 2.0) and d.support() == (-math.inf, math.inf)
    assert t.mean() == pytest.approx(ref.mean(), rel=1e-9) and t.var() == pytest.approx(ref.var(), rel=1e-9)
    x = np.linspace(-1, 2, 31)
    np.testing.assert_allclose(t.cdf(x), ref.cdf(x), atol=1e-10)
    with pytest.raises(ValueError, match="truncate needs lo < hi"):
        d.truncate(2.0, 1.0)


def test_from_cdf_with_and_without_density():
    def gumbel_cdf(x):
        with np.errstate(over="ignore"):
            return np.exp(-np.exp(-x))

    def gumbel_pdf(x):
        with np.errstate(over="ignore"):
            return np.exp(-x - np.exp(-x))

    for d in (varlix.from_cdf(gumbel_cdf), varlix.from_cdf(gumbel_cdf, pdf=gumbel_pdf)):
        u = np.linspace(0.001, 0.999, 999)
        np.testing.assert_allclose(gumbel_cdf(d.ppf(u)), u, atol=1e-10)
        assert d.mean() == pytest.approx(np.euler_gamma, abs=1e-7)
        assert d.var() == pytest.approx(math.pi**2 / 6, abs=1e-6)
        assert d.cdf(0.0) == pytest.approx(math.exp(-1), rel=1e-15)
        np.testing.assert_allclose(d.pdf([-1.0, 0.0, 2.0]), gumbel_pdf(np.array([-1.0, 0.0, 2.0])), rtol=1e-6)


def module_level_density(x):
    return np.exp(-np.abs(x) ** 3)


def test_pickling_carries_the_table():
    d = varlix.from_pdf(module_level_density, loc=1.0, scale=2.0)
    back = pickle.loads(pickle.dumps(d))
    u = np.linspace(0, 1, 101)
    assert np.array_equal(back.ppf(u), d.ppf(u))
    assert back.mean() == pytest.approx(d.mean(), abs=1e-14) and repr(back) == repr(d)
    cloudpickle = pytest.importorskip("cloudpickle")
    lam = varlix.from_logpdf(lambda x: -x * x)
    back = pickle.loads(cloudpickle.dumps(lam))
    assert back.var() == pytest.approx(0.5, rel=1e-10)


def test_repr_names_the_function_and_the_transform():
    d = varlix.from_pdf(module_level_density, (0.0, 5.0), loc=1.0, scale=2.0)
    assert repr(d) == "Distribution(density module_level_density on [0, 5], loc=1, scale=2)"


def test_summary_tells_source_support_accuracy_and_what_was_explored():
    d = varlix.from_pdf(module_level_density, (0.0, 5.0), loc=1.0, scale=2.0, u_resolution=1e-12)
    lines = d.summary().splitlines()
    assert lines[:3] == [
        "made from  density module_level_density on [0, 5], loc=1, scale=2",
        "support    [1, 11]",
        "accuracy   |F(ppf(u)) - u| <= 1e-12 (u_resolution)",
    ]
    # The search is reported where the draws live: after loc and scale.
    assert lines[3].startswith("explored   Exploration(range=[1, 11], pieces={[1, ")
    h = varlix.from_histogram([0.0, 1.0, 3.0], [1.0, 2.0])
    assert "accuracy   exact (closed form)" in h.summary() and "explored" not in h.summary()
    html = varlix.from_cdf(lambda x: 1 - np.exp(-x), (0.0, np.inf))._repr_html_()
    assert html.startswith("<table>") and "<lambda>" not in html and "&lt;lambda&gt;" in html
    assert "[0, inf]" in html


def test_summary_lists_every_piece_of_mass_found():
    d = varlix.from_pdf(lambda x: np.exp(-x * x / 2) + np.exp(-(x - 40) ** 2 / 2))
    pieces = d.explored.pieces
    assert len(pieces) == 2 and pieces[0][1] < 20 < pieces[1][0]
    assert d.explored.fractions() == pytest.approx([0.5, 0.5], abs=1e-9)
    assert "explored" in d.summary()
