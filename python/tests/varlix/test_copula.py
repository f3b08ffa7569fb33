"""Gaussian copula: argument checks, shapes and seeds, the compiled path
against the NumPy path, and the dependence it produces."""
import pickle

import numpy as np
import pytest

varlix = pytest.importorskip("varlix")
stats = pytest.importorskip("scipy.stats")


class PpfOnly:
    """Any marginal with a vectorized ppf: drawn through NumPy."""

    def __init__(self, dist):
        self.dist = dist

    def ppf(self, q):
        return self.dist.ppf(q)


@pytest.fixture(scope="module")
def histogram():
    rng = np.random.default_rng(2)
    return varlix.from_histogram(*np.histogram(rng.exponential(size=3000), bins=40)[::-1])


@pytest.mark.parametrize(
    "corr, error, message",
    [
        ([[1.0, 0.5], [0.4, 1.0]], ValueError, "corr must be symmetric"),
        ([[1.0, 0.5], [0.5, 0.9]], ValueError, "corr must have ones on its diagonal"),
        ([[1.0, 1.5], [1.5, 1.0]], ValueError, "corr must be positive definite"),
        ([[1.0, 1.0], [1.0, 1.0]], ValueError, "corr must be positive definite"),
        ([[1.0, 0.0, 0.0]], ValueError, "corr must be a non-empty square matrix"),
        ([[1.0, np.nan], [np.nan, 1.0]], ValueError, "corr must be finite"),
        ([[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]], ValueError, "corr is 3 x 3 but 2 marginals"),
        ("abc", TypeError, "corr must be a square array of numbers"),
    ],
)
def test_correlation_matrix_faults_each_have_their_message(corr, error, message, histogram):
    with pytest.raises(error, match=message):
        varlix.gaussian_copula(corr, [histogram, histogram])


def test_marginal_without_ppf_is_named(histogram):
    with pytest.raises(TypeError, match=r"marginals\[1\] has no ppf method"):
        varlix.gaussian_copula(np.eye(2), [histogram, object()])


def test_shapes_seeds_and_generator_state(histogram):
    c = varlix.gaussian_copula([[1.0, 0.3], [0.3, 1.0]], [histogram, stats.norm(2.0, 3.0)])
    assert c.rvs(5, random_state=1).shape == (5, 2)
    assert c.rvs((2, 3), random_state=1).shape == (2, 3, 2)
    assert c.rvs(random_state=1).shape == (2,)
    assert c.rvs(0, random_state=1).shape == (0, 2)
    assert np.array_equal(c.rvs(1000, random_state=4), c.rvs(1000, random_state=4))
    g = np.random.default_rng(9)
    first, second = c.rvs(10, random_state=g), c.rvs(10, random_state=g)
    assert not np.array_equal(first, second)  # the caller's generator advanced
    with pytest.raises(ValueError, match="size must be non-negative"):
        c.rvs(-1)
    with pytest.raises(MemoryError):
        c.rvs(2**62, random_state=1)


def test_compiled_marginals_draw_what_their_ppf_gives(histogram):
    """The same uniforms through the compiled tables and through NumPy, for
    each kind of table (PINV, Hermite, histogram) with loc and scale."""
    corr = [[1.0, -0.4, 0.2], [-0.4, 1.0, 0.1], [0.2, 0.1, 1.0]]
    marginals = [
        varlix.from_pdf(lambda x: np.exp(-np.abs(x) ** 1.5), loc=1.0, scale=2.0),
        varlix.from_cdf(lambda x: 1 - np.exp(-x), (0.0, np.inf), scale=0.5),
        histogram,
    ]
    compiled = varlix.gaussian_copula(corr, marginals)
    numpy_path = varlix.gaussian_copula(corr, [PpfOnly(m) for m in marginals])
    a = compiled.rvs(50_000, random_state=3)
    b = numpy_path.rvs(50_000, random_state=3)
    np.testing.assert_allclose(a, b, rtol=1e-13, atol=1e-13)


def test_normal_scores_have_the_requested_correlation(histogram):
    rho = 0.6
    c = varlix.gaussian_copula([[1.0, rho], [rho, 1.0]], [histogram, stats.norm()])
    x = c.rvs(200_000, random_state=8)
    # Spearman's rho of a Gaussian copula is (6/pi) asin(rho/2).
    expected = 6 / np.pi * np.arcsin(rho / 2)
    assert stats.spearmanr(x[:, 0], x[:, 1]).statistic == pytest.approx(expected, abs=0.005)
    # Each column keeps its marginal.
    assert stats.kstest(x[:, 0], histogram.cdf).pvalue > 1e-3
    assert stats.kstest(x[:, 1], "norm").pvalue > 1e-3


def test_copula_pickles(histogram):
    c = varlix.gaussian_copula([[1.0, 0.2], [0.2, 1.0]], [histogram, histogram])
    back = pickle.loads(pickle.dumps(c))
    assert np.array_equal(back.rvs(100, random_state=2), c.rvs(100, random_state=2))
    assert repr(back) == "GaussianCopula(dim=2, marginals=(Distribution, Distribution))"


def test_compiled_draws_release_the_interpreter_lock(histogram):
    """Another Python thread runs while one engine call draws 400k rows."""
    import threading

    from varlix import _engine
    from varlix._random import uniform_source

    c = varlix.gaussian_copula(np.eye(2), [varlix.from_pdf(lambda x: np.exp(-x * x)), histogram])
    specs = c._columns()
    out = np.empty((400_000, 2))
    source = uniform_source(1)
    ticks = [0]
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            ticks[0] += 1

    t = threading.Thread(target=spin)
    t.start()
    try:
        before = ticks[0]
        _engine.gaussian_copula(source.capsule, c._chol, specs, out)
        during = ticks[0] - before
    finally:
        stop.set()
        t.join()
    assert during > 0
    assert np.all(np.isfinite(out))
