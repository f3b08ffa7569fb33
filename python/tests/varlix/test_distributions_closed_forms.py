"""Histogram and discrete distributions: closed forms against SciPy's
rv_histogram and rv_discrete, argument checks, draws, pickling."""
import pickle

import numpy as np
import pytest

varlix = pytest.importorskip("varlix")
stats = pytest.importorskip("scipy.stats")

TOL = 1e-12  # closed forms on both sides: only rounding differs


def _histograms():
    rng = np.random.default_rng(7)
    counts, edges = np.histogram(rng.normal(size=5000), bins=30)
    yield "numpy-output", edges, counts, False
    yield "unequal-widths-counts", np.array([0.0, 0.5, 2.0, 2.25, 5.0]), np.array([3.0, 1.0, 7.0, 2.0]), False
    yield "unequal-widths-density", np.array([-3.0, -1.0, 0.0, 4.0]), np.array([0.1, 0.6, 0.05]), True
    yield "empty-bins-inside", np.array([0.0, 1.0, 2.0, 3.0, 4.0, 5.0]), np.array([2.0, 0.0, 0.0, 5.0, 1.0]), False


HISTOGRAMS = list(_histograms())


@pytest.fixture(params=HISTOGRAMS, ids=[h[0] for h in HISTOGRAMS])
def histogram_pair(request):
    _, edges, counts, density = request.param
    return varlix.from_histogram(edges, counts, density=density), stats.rv_histogram((counts, edges), density=density)


def test_histogram_pointwise_matches_rv_histogram(histogram_pair):
    ours, ref = histogram_pair
    lo, hi = ref.support()
    x = np.concatenate((np.linspace(lo - 1, hi + 1, 2001), [lo, hi]))
    for name in ("pdf", "cdf", "sf", "logpdf", "logcdf", "logsf"):
        with np.errstate(divide="ignore"):
            expected = getattr(ref, name)(x)
        # SciPy's logsf is log(1 - cdf): near the upper end it carries the
        # rounding of 1 - cdf, which the tail sums here do not.
        rtol = 1e-9 if name == "logsf" else TOL
        np.testing.assert_allclose(getattr(ours, name)(x), expected, rtol=rtol, atol=TOL, err_msg=name)


def test_histogram_quantiles_and_moments_match_rv_histogram(histogram_pair):
    ours, ref = histogram_pair
    cdf = ref.cdf(ref._hbins)
    # Quantiles at levels strictly inside bins with mass (where both agree
    # on the one right answer) and at the ends.
    q = np.concatenate(([0.0, 1.0], np.linspace(0.001, 0.999, 997)))
    q = q[~np.isin(q, cdf)]
    np.testing.assert_allclose(ours.ppf(q), ref.ppf(q), rtol=TOL, atol=TOL)
    np.testing.assert_allclose(ours.isf(q), ref.isf(q), rtol=TOL, atol=TOL)
    for name in ("mean", "var", "std", "entropy", "median"):
        assert getattr(ours, name)() == pytest.approx(getattr(ref, name)(), rel=TOL, abs=TOL), name
    assert ours.interval(0.9) == pytest.approx(ref.interval(0.9), rel=TOL)
    assert ours.support() == pytest.approx(ref.support())
    # E[X^2] in closed form: var + mean^2.
    assert ours.expect(lambda x: x * x) == pytest.approx(ours.var() + ours.mean() ** 2, rel=1e-12)


def test_histogram_quantiles_skip_empty_bins():
    d = varlix.from_histogram([0.0, 1.0, 2.0, 3.0, 4.0], [1.0, 0.0, 0.0, 1.0])
    x = d.ppf(np.linspace(0.0, 1.0, 10001))
    assert not np.any((x > 1.0) & (x < 3.0))
    assert d.ppf(0.5 - 1e-12) == pytest.approx(1.0) and d.ppf(0.5 + 1e-12) == pytest.approx(3.0)
    assert d.cdf(2.0) == 0.5
    leading_empty = varlix.from_histogram([0.0, 1.0, 2.0], [0.0, 1.0])
    assert leading_empty.ppf(0.0) == 0.0 and leading_empty.ppf(1e-12) == pytest.approx(1.0)
    assert leading_empty.isf(1.0) == 0.0 and leading_empty.isf(0.0) == 2.0


def test_scalars_give_floats_and_arrays_keep_their_shape():
    d = varlix.from_histogram([0.0, 1.0, 3.0], [1.0, 1.0])
    assert isinstance(d.cdf(0.5), float) and isinstance(d.ppf(0.5), float)
    x = np.full((2, 3, 4), 0.5)
    for name in ("pdf", "logpdf", "cdf", "sf", "logcdf", "logsf", "ppf", "isf"):
        assert getattr(d, name)(x).shape == (2, 3, 4), name
    assert np.isnan(d.ppf([-0.1, 1.1, np.nan])).all()
    assert np.isnan(d.cdf(np.nan))


@pytest.mark.parametrize(
    "edges, counts, kwargs, error, message",
    [
        ([0.0, 1.0], [1.0, 2.0], {}, ValueError, "edges must have one more entry than counts"),
        ([0.0, 1.0, 1.0], [1.0, 2.0], {}, ValueError, "edges must be strictly increasing"),
        ([0.0, np.inf], [1.0], {}, ValueError, "edges must be finite"),
        ([0.0, 1.0, 2.0], [1.0, -2.0], {}, ValueError, "counts must be finite and non-negative"),
        ([0.0, 1.0, 2.0], [0.0, 0.0], {}, ValueError, "counts must have a positive total"),
        ([0.0], [], {}, ValueError, "counts must have at least one bin"),
        ([[0.0, 1.0]], [1.0], {}, ValueError, "edges must be 1-D"),
        ([0.0, 1.0], [1.0], {"density": "yes"}, TypeError, "density must be True or False"),
        (["a", "b"], [1.0], {}, TypeError, "edges must be a 1-D array of numbers"),
    ],
)
def test_histogram_arguments_are_checked(edges, counts, kwargs, error, message):
    with pytest.raises(error, match=message):
        varlix.from_histogram(edges, counts, **kwargs)


@pytest.mark.parametrize("density", [False, True])
def test_histogram_takes_numpys_pair_as_rv_histogram_does(density):
    data = np.random.default_rng(5).gamma(2.0, size=500)
    counts, edges = np.histogram(data, bins=12, density=density)
    ours = varlix.from_histogram(np.histogram(data, bins=12, density=density), density=density)
    theirs = stats.rv_histogram((counts, edges), density=density)
    x = np.linspace(edges[0] - 1, edges[-1] + 1, 200)
    np.testing.assert_allclose(ours.cdf(x), theirs.cdf(x), rtol=0, atol=TOL)
    assert ours.mean() == pytest.approx(theirs.mean(), rel=TOL)


@pytest.mark.parametrize("pair", [[0.0, 1.0], ([1.0, 2.0],), 3.0, ([1.0], 2.0)])
def test_histogram_without_counts_needs_numpys_pair(pair):
    with pytest.raises(TypeError, match="from_histogram needs counts"):
        varlix.from_histogram(pair)


def test_histogram_draws_follow_its_cdf_and_repeat_with_the_seed():
    rng = np.random.default_rng(3)
    d = varlix.from_histogram(*np.histogram(rng.gamma(2.0, size=2000), bins=25)[::-1])
    x = d.rvs(100_000, random_state=11)
    assert np.array_equal(x, d.rvs(100_000, random_state=11))
    assert stats.kstest(x, d.cdf).pvalue > 1e-3
    assert isinstance(d.rvs(random_state=1), float)
    assert d.rvs((3, 2), random_state=1).shape == (3, 2)


def test_histogram_truncation_and_pickling():
    d = varlix.from_histogram([0.0, 1.0, 2.0, 4.0], [1.0, 2.0, 2.0])
    t = d.truncate(0.5, 3.0)
    assert t.support() == (0.5, 3.0)
    # mass in [0.5, 3]: 0.1 + 0.4 + 0.2 = 0.7 of the whole
    assert t.cdf(1.0) == pytest.approx(0.1 / 0.7, rel=1e-14)
    with pytest.raises(ValueError, match="holds no part of the support"):
        d.truncate(5.0, 6.0)
    back = pickle.loads(pickle.dumps(t))
    q = np.linspace(0, 1, 101)
    assert np.array_equal(back.ppf(q), t.ppf(q))
    assert "histogram with 3 bins" in repr(t)


# -- discrete -------------------------------------------------------------------

POINTS = np.array([2.5, -1.0, 7.0, 0.0, 3.0])
WEIGHTS = np.array([2.0, 1.0, 0.5, 4.0, 2.5])


@pytest.fixture
def discrete_pair():
    order = np.argsort(POINTS)
    ref = stats.rv_discrete(values=(POINTS[order], WEIGHTS[order] / WEIGHTS.sum()))
    return varlix.from_pmf(POINTS, WEIGHTS), ref


def test_discrete_matches_rv_discrete(discrete_pair):
    ours, ref = discrete_pair
    x = np.array([-2.0, -1.0, -0.5, 0.0, 1.0, 2.5, 2.75, 3.0, 7.0, 8.0])
    for name in ("pmf", "cdf", "sf"):
        np.testing.assert_allclose(getattr(ours, name)(x), getattr(ref, name)(x), rtol=1e-14, atol=1e-15, err_msg=name)
    q = np.array([0.0, 1e-9, 0.05, 0.1, 0.1 + 1e-12, 0.5, 0.97, 1.0, -0.1, 1.5])
    np.testing.assert_array_equal(ours.ppf(q), ref.ppf(q))
    for name in ("mean", "var", "std"):
        assert getattr(ours, name)() == pytest.approx(getattr(ref, name)(), rel=1e-14), name
    assert ours.support() == (-1.0, 7.0)
    np.testing.assert_array_equal(ours.points, np.sort(POINTS))
    assert ours.probabilities.sum() == pytest.approx(1.0, rel=1e-15)


def test_discrete_draws_have_the_pmf_frequencies(discrete_pair):
    ours, _ = discrete_pair
    x = ours.rvs(200_000, random_state=5)
    assert np.array_equal(x, ours.rvs(200_000, random_state=5))
    observed = np.array([np.count_nonzero(x == p) for p in ours.points])
    assert observed.sum() == x.size  # nothing outside the points
    assert stats.chisquare(observed, ours.probabilities * x.size).pvalue > 1e-3
    assert ours.rvs(random_state=1) in ours.points


@pytest.mark.parametrize(
    "points, pmf, message",
    [
        ([1.0, 2.0], [1.0], "points and pmf must have the same length"),
        ([], [], "points must not be empty"),
        ([1.0, 1.0], [1.0, 1.0], "points must be distinct, 1.0 appears more than once"),
        ([1.0, np.nan], [1.0, 1.0], "points must be finite"),
        ([1.0, 2.0], [1.0, -1.0], "pmf must be finite and non-negative"),
        ([1.0, 2.0], [0.0, 0.0], "pmf must have a positive sum"),
        ([[1.0, 2.0]], [1.0, 2.0], "points must be 1-D"),
    ],
)
def test_discrete_arguments_are_checked(points, pmf, message):
    with pytest.raises(ValueError, match=message):
        varlix.from_pmf(points, pmf)


def test_discrete_point_arguments_are_named(discrete_pair):
    ours, _ = discrete_pair
    with pytest.raises(TypeError, match="k must be a real number"):
        ours.pmf("one")
    with pytest.raises(TypeError, match="q must be a real number"):
        ours.ppf(["x"])


def test_discrete_pickles_and_keeps_its_arrays_read_only(discrete_pair):
    ours, _ = discrete_pair
    with pytest.raises(ValueError):
        ours.points[0] = 10.0
    back = pickle.loads(pickle.dumps(ours))
    assert np.array_equal(back.points, ours.points) and np.array_equal(back.probabilities, ours.probabilities)
    assert repr(back) == repr(ours)


