"""varlix.mcmc.nuts: correctness on targets with known answers, divergences,
per-draw statistics, convergence warnings, gradient forms and errors."""
import math
import sys
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from varlix import mcmc

import logearn

numba = pytest.importorskip("numba")
az = pytest.importorskip("arviz")

from numba import carray, cfunc, types  # noqa: E402

JOINT = types.double(types.intc, types.CPointer(types.double), types.CPointer(types.double))

SCALES = np.logspace(-2, 2, 100)
PRECISION = 1.0 / SCALES**2


@cfunc(JOINT)
def ill_scaled(n, xp, gp):
    x = carray(xp, (n,))
    g = carray(gp, (n,))
    lp = 0.0
    for i in range(n):
        s = 0.01 * 10.0 ** (4.0 * i / (n - 1))
        g[i] = -x[i] / (s * s)
        lp += 0.5 * g[i] * x[i]
    return lp


@cfunc(JOINT)
def funnel(n, xp, gp):
    # Neal's funnel: v ~ N(0, 3^2), x_i | v ~ N(0, e^v).
    x = carray(xp, (n,))
    g = carray(gp, (n,))
    v = x[0]
    lp = -v * v / 18.0 - 0.5 * (n - 1) * v
    g[0] = -v / 9.0 - 0.5 * (n - 1)
    w = math.exp(-v)
    for i in range(1, n):
        lp -= 0.5 * x[i] * x[i] * w
        g[i] = -x[i] * w
        g[0] += 0.5 * x[i] * x[i] * w
    return lp


COV = np.array([[1.0, 0.9], [0.9, 1.0]])
COV_PRECISION = np.linalg.inv(COV)


def correlated(x):
    return -0.5 * (x @ COV_PRECISION @ x)


def correlated_grad(x):
    return -(COV_PRECISION @ x)


def correlated_joint(x):
    return correlated(x), correlated_grad(x)


def quiet(**kwargs):
    return dict({"progress": False, "random_state": 1}, **kwargs)


# ---- correctness on known answers ----------------------------------------------------


def test_ill_scaled_gaussian_converges_learns_its_scales_and_gives_no_warning():
    # Scales from 0.01 to 100: the warm-up must learn four orders of
    # magnitude, with the default draws and tuning.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = mcmc.nuts(ill_scaled, np.ones(100), **quiet())
    assert result.rhat().max() < 1.01
    assert result.ess("bulk").min() > 400
    z = result.samples.reshape(-1, 100).mean(axis=0) / SCALES
    mcse = 1.0 / np.sqrt(result.ess("bulk"))
    assert np.all(np.abs(z) < 5 * mcse)
    sd_ratio = result.samples.reshape(-1, 100).std(axis=0) / SCALES
    assert np.all((sd_ratio > 0.85) & (sd_ratio < 1.15))
    ratio = np.sqrt(result.metric) / SCALES
    assert np.all((ratio > 0.5) & (ratio < 2.0))
    assert result.stats["diverging"].sum() == 0


@pytest.mark.parametrize("metric", ["diag", "dense"])
@pytest.mark.parametrize("form", ["grad", "joint", "vectorized"])
def test_correlated_gaussian(metric, form):
    if form == "grad":
        kwargs = {"grad": correlated_grad}
        f = correlated
    elif form == "joint":
        kwargs = {"grad": True}
        f = correlated_joint
    else:
        kwargs = {"grad": lambda x: -(x @ COV_PRECISION), "vectorized": True}
        f = lambda x: -0.5 * np.einsum("ki,ij,kj->k", x, COV_PRECISION, x)  # noqa: E731
    result = mcmc.nuts(f, [3.0, -3.0], draws=1000, tune=500, metric=metric, **quiet(**kwargs))
    flat = result.samples.reshape(-1, 2)
    assert np.allclose(flat.mean(axis=0), 0.0, atol=0.15)
    assert np.allclose(np.cov(flat.T), COV, atol=0.15)
    assert result.rhat().max() < 1.02
    if metric == "dense":
        assert result.metric.shape == (4, 2, 2)
        assert np.allclose(result.metric, COV, atol=0.4)
    else:
        assert result.metric.shape == (4, 2)


# A 60-D Gaussian with scales from 0.1 to 10 and, in the space they scale,
# three strong directions (variance ratios 400, 100 and 1/100): a diagonal
# metric leaves it with a condition number near 2e4.
LR_D = 60
LR_SCALES = np.logspace(-1, 1, LR_D)
_LR_U = np.linalg.qr(np.random.default_rng(0).standard_normal((LR_D, 3)))[0]
LR_COV = (LR_SCALES[:, None] * (np.eye(LR_D) + _LR_U @ np.diag([399.0, 99.0, -0.99]) @ _LR_U.T)
          * LR_SCALES[None, :])
LR_PRECISION = np.linalg.inv(LR_COV)


@cfunc(JOINT)
def low_rank_target(n, xp, gp):
    x = carray(xp, (n,))
    g = carray(gp, (n,))
    lp = 0.0
    for i in range(n):
        s = 0.0
        for j in range(n):
            s -= LR_PRECISION[i, j] * x[j]
        g[i] = s
        lp += 0.5 * s * x[i]
    return lp


def test_low_rank_metric_converges_with_far_fewer_gradients_than_diag():
    common = quiet(draws=1000, tune=1000, warn=False)
    x0 = np.zeros(LR_D)
    low = mcmc.nuts(low_rank_target, x0, metric="low_rank", **common)
    diag = mcmc.nuts(low_rank_target, x0, metric="diag", **common)
    assert low.rhat().max() < 1.01
    flat = low.samples.reshape(-1, LR_D)
    sd = np.sqrt(np.diag(LR_COV))
    mcse = sd / np.sqrt(low.ess("bulk"))
    assert np.all(np.abs(flat.mean(axis=0)) < 4 * mcse)
    assert np.all(np.abs(flat.std(axis=0) / sd - 1) < 0.15)
    # Per kept draw a third of the gradients, and (diag not converging) a
    # tenth of the gradients per effective draw, warm-up included.
    assert low.stats["n_steps"].sum() * 3 < diag.stats["n_steps"].sum()
    gradients = {name: r.stats["n_steps"].sum() + r.tune_stats["n_steps"].sum() for name, r in
                 (("low", low), ("diag", diag))}
    assert low.ess("bulk").min() / gradients["low"] > 10 * diag.ess("bulk").min() / gradients["diag"]
    # The adapted metric, read back: k <= 10 directions per chain, and as a
    # dense covariance close to the target's along its strong directions.
    m = low.metric
    assert isinstance(m, mcmc.LowRankMetric)
    assert m.variances.shape == (4, LR_D) and m.vectors.shape[:2] == (4, LR_D)
    assert 3 <= m.eigenvalues.shape[1] <= 10
    cov = m.covariance()
    assert cov.shape == (4, LR_D, LR_D)
    w = LR_SCALES[:, None] * _LR_U  # the strong directions, in x's units
    for c in range(4):
        seen = np.einsum("ik,ij,jk->k", w, cov[c], w) / np.einsum("ik,ij,jk->k", w, LR_COV, w)
        assert np.all((seen > 0.5) & (seen < 2.0)), seen


def test_low_rank_metric_goes_back_in_as_a_starting_value():
    first = mcmc.nuts(low_rank_target, np.zeros(LR_D), metric="low_rank", draws=20, tune=300, warn=False, **quiet())
    for start in (first.metric, first.metric[2]):
        again = mcmc.nuts(low_rank_target, np.zeros(LR_D), metric=start, draws=20, tune=0, warn=False, **quiet())
        expected = start.covariance() if start.variances.ndim == 2 else np.broadcast_to(start.covariance(),
                                                                                        (4, LR_D, LR_D))
        np.testing.assert_allclose(again.metric.covariance(), expected, rtol=1e-12, atol=1e-12)
    # A hand-made one: one direction of variance ratio 9 on unit scales.
    u = np.zeros((2, 1))
    u[:, 0] = [0.6, 0.8]
    start = mcmc.LowRankMetric([1.0, 4.0], u, [9.0])
    np.testing.assert_allclose(start.covariance(), [[1 + 8 * 0.36, 2 * 8 * 0.48], [2 * 8 * 0.48, 4 * (1 + 8 * 0.64)]])
    result = mcmc.nuts(correlated, [0.0, 0.0], grad=correlated_grad, metric=start, draws=10, tune=0, warn=False,
                       **quiet())
    np.testing.assert_allclose(result.metric.covariance()[3], start.covariance())


@pytest.mark.parametrize("metric, x0, match", [
    ("low_rank", [0.0], "at least 2 coordinates"),
    (mcmc.LowRankMetric([1.0, 1.0], [[1.0], [1.0]], [4.0]), [0.0, 0.0], "orthonormal"),
    (mcmc.LowRankMetric(np.ones((3, 2)), np.zeros((3, 2, 0)), np.ones((3, 0))), [0.0, 0.0], "leading axis of 4"),
    (mcmc.LowRankMetric(np.ones(12), np.eye(12)[:, :11], np.full(11, 2.0)), np.zeros(12), "at most 10"),
    (mcmc.LowRankMetric(np.ones(3), np.zeros((3, 0)), np.ones(0)), [0.0, 0.0], "for 2 coordinates"),
])
def test_low_rank_metric_refusals(metric, x0, match):
    with pytest.raises(ValueError, match=match):
        mcmc.nuts(lambda x: -0.5 * float(x @ x), x0, grad=lambda x: -x, metric=metric, **quiet())


@pytest.mark.parametrize("args, match", [
    (([1.0, -1.0], np.eye(2), [2.0, 2.0]), "positive finite"),
    (([1.0, 1.0], np.eye(2), [2.0]), "matching shapes"),
    (([1.0, 1.0], [[np.nan], [0.0]], [2.0]), "finite vectors"),
])
def test_low_rank_metric_checks_its_parts(args, match):
    with pytest.raises(ValueError, match=match):
        mcmc.LowRankMetric(*args)


@pytest.mark.parametrize("rank", [11.0, -1.0, 2.5, np.nan])
def test_the_engine_refuses_a_low_rank_metric_whose_rank_it_cannot_read(rank):
    from varlix import _engine
    words = mcmc.LowRankMetric(np.ones(2), np.zeros((2, 0)), np.ones(0))._words(1, 2).reshape(-1)
    words[2] = rank
    with pytest.raises(ValueError, match=r"rank must be an integer in \[0, 10\]"):
        _engine.NutsChains("python", lambda: 0.0, np.empty(2), np.empty(2), None, np.zeros(2), words, 1, 0, 0.8, 10,
                           "low_rank")


def test_finite_differences_warn_once_and_still_sample():
    with pytest.warns(mcmc.FiniteDifferenceWarning) as record:
        result = mcmc.nuts(correlated, [0.5, 0.5], draws=400, tune=300, warn=False, **quiet())
    assert len(record) == 1
    flat = result.samples.reshape(-1, 2)
    assert np.allclose(np.cov(flat.T), COV, atol=0.25)


def test_starting_metric_array_and_jitter():
    result = mcmc.nuts(correlated, np.zeros(2), grad=correlated_grad, draws=50, tune=0, metric=[4.0, 0.25],
                       init="jitter", warn=False, **quiet())
    assert np.allclose(result.metric, [[4.0, 0.25]] * 4)  # no warm-up: kept as given
    starts = result.samples[:, 0]
    assert len({tuple(s) for s in starts}) == 4


# ---- divergences --------------------------------------------------------------------


def test_funnel_divergences_are_reported_not_fatal():
    with pytest.warns(mcmc.ConvergenceWarning) as record:
        result = mcmc.nuts(funnel, np.zeros(10), draws=300, tune=300, **quiet())
    assert any("divergent transitions after warm-up" in str(w.message) for w in record)
    assert result.stats["diverging"].any()
    assert result.divergent.sum() == result.stats["diverging"].sum()
    assert all(isinstance(w.message, mcmc.ConvergenceWarning) for w in record)


@pytest.mark.parametrize("error", [OverflowError, FloatingPointError])
def test_arithmetic_overflow_in_a_trajectory_is_a_divergence(error):
    def logpdf(x):
        if abs(x[0]) > 3.0:
            raise error("too far")
        return -0.5 * float(x @ x)

    result = mcmc.nuts(logpdf, [0.0, 0.0], grad=lambda x: -x, draws=300, tune=200, warn=False, **quiet())
    assert result.stats["diverging"].any() or result.tune_stats["diverging"].any()
    assert np.all(np.abs(result.samples[..., 0]) <= 3.0)


def test_a_user_exception_stops_the_run():
    calls = []

    def logpdf(x):
        calls.append(1)
        if len(calls) > 50:
            raise KeyError("model failed")
        return -0.5 * float(x @ x)

    with pytest.raises(KeyError, match="model failed"):
        mcmc.nuts(logpdf, [0.0], grad=lambda x: -x, draws=100, tune=100, **quiet())


@pytest.mark.parametrize("x0, match", [([50.0], "-inf"), ([np.nan], "finite")])
def test_bad_starting_points(x0, match):
    def logpdf(x):
        return -0.5 * float(x @ x) if abs(x[0]) < 10 else -np.inf

    with pytest.raises(ValueError, match=match):
        mcmc.nuts(logpdf, x0, grad=lambda x: -x, **quiet())


@pytest.mark.parametrize("kwargs, error, match", [
    ({"metric": "full"}, ValueError, "metric"),
    ({"metric": [1.0, -1.0]}, ValueError, "positive"),
    ({"grad": 3}, TypeError, "grad"),
    ({"max_tree_depth": 0}, ValueError, "max_tree_depth"),
    ({"target_accept": 1.0}, ValueError, "target_accept"),
    ({"init": "random"}, ValueError, "init"),
])
def test_argument_errors(kwargs, error, match):
    with pytest.raises(error, match=match):
        mcmc.nuts(correlated, [0.0, 0.0], **quiet(**dict({"grad": correlated_grad}, **kwargs)))


# ---- statistics and arviz ------------------------------------------------------------------


def test_sample_stats_names_and_shapes_in_arviz():
    result = mcmc.nuts(correlated, [0.0, 0.0], grad=correlated_grad, draws=200, tune=100, chains=3, warn=False,
                       **quiet())
    data = result.to_arviz()
    stats = data.sample_stats
    for name in ("lp", "acceptance_rate", "step_size", "diverging", "tree_depth", "n_steps", "energy"):
        assert stats[name].shape == (3, 200), name
    assert stats["diverging"].dtype == bool
    assert data.warmup_sample_stats["energy"].shape == (3, 100)
    assert np.all(np.isfinite(az.bfmi(data)))
    assert np.all(result.stats["n_steps"] >= 1)
    assert np.all(result.stats["n_steps"] <= 2 ** result.stats["tree_depth"])
    # Step size is fixed after the warm-up.
    assert np.all(result.stats["step_size"] == result.step_size[:, None])


# ---- warnings ---------------------------------------------------------------------------


def test_a_too_short_run_warns_about_ess_and_warn_false_is_silent():
    with pytest.warns(mcmc.ConvergenceWarning) as record:
        mcmc.nuts(correlated, [0.0, 0.0], grad=correlated_grad, draws=30, tune=50, **quiet())
    assert any("ESS below 100 per chain" in str(w.message) for w in record)
    assert {w.filename for w in record} == {__file__}
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = mcmc.nuts(correlated, [0.0, 0.0], grad=correlated_grad, draws=30, tune=50, warn=False, **quiet())
    assert any("ESS" in p for p in result.problems())


def test_saturated_tree_depth_warns():
    with pytest.warns(mcmc.ConvergenceWarning) as record:
        mcmc.nuts(ill_scaled, np.ones(100), draws=100, tune=0, max_tree_depth=1, metric=np.ones(100), **quiet())
    assert any("reached max_tree_depth=1" in str(w.message) for w in record)


# ---- reproducibility --------------------------------------------------------------------


def test_same_chains_serially_on_threads_and_per_chain_tasks():
    kwargs = quiet(grad=correlated_grad, draws=100, tune=100, warn=False)
    serial = mcmc.nuts(correlated, [1.0, 1.0], **kwargs)
    with ThreadPoolExecutor(2) as pool:
        pooled = mcmc.nuts(correlated, [1.0, 1.0], executor=pool, **kwargs)
    np.testing.assert_array_equal(serial.samples, pooled.samples)
    np.testing.assert_array_equal(serial.stats["energy"], pooled.stats["energy"])


def test_compiled_chains_are_reproducible_across_thread_counts():
    a = mcmc.nuts(funnel, np.zeros(10), draws=100, tune=100, warn=False, **quiet())
    with ThreadPoolExecutor(1) as pool:
        b = mcmc.nuts(funnel, np.zeros(10), draws=100, tune=100, warn=False, executor=pool, **quiet())
    np.testing.assert_array_equal(a.samples, b.samples)


# ---- resume -----------------------------------------------------------------------------


@pytest.mark.parametrize("target, kwargs", [
    pytest.param(correlated, {"grad": correlated_grad}, id="python"),
    pytest.param(correlated, {"grad": correlated_grad, "metric": "dense"}, id="python-dense"),
    pytest.param(low_rank_target, {"metric": "low_rank"}, id="compiled-low-rank"),
    pytest.param(funnel, {}, id="compiled-threads"),
])
def test_resume_is_bit_identical_to_one_run(target, kwargs):
    x0 = {funnel: np.zeros(10), low_rank_target: np.full(LR_D, 0.1)}.get(target, np.array([1.0, -1.0]))
    common = quiet(tune=150, warn=False, **kwargs)
    whole = mcmc.nuts(target, x0, draws=200, **common)
    first = mcmc.nuts(target, x0, draws=120, **common)
    resumed = first.resume(80, warn=False, progress=False)
    np.testing.assert_array_equal(resumed.samples, whole.samples)
    for name in whole.stats:
        np.testing.assert_array_equal(resumed.stats[name], whole.stats[name], err_msg=name)
    assert first.draws == 120  # left as it was
    np.testing.assert_array_equal(first.resume(80, warn=False, progress=False).samples, whole.samples)


def test_chains_pickle_and_resume_in_another_process_without_their_functions():
    import pickle
    common = quiet(grad=correlated_grad, tune=100, warn=False)
    whole = mcmc.nuts(correlated, [0.0, 0.0], draws=150, **common)
    first = pickle.loads(pickle.dumps(mcmc.nuts(lambda x: correlated(x), [0.0, 0.0], draws=100, **common)))
    with pytest.raises(ValueError, match="pass logpdf"):
        first.resume(50)
    resumed = first.resume(50, logpdf=correlated, grad=correlated_grad, warn=False, progress=False)
    np.testing.assert_array_equal(resumed.samples, whole.samples)


# ---- a shared posterior ---------------------------------------------------------------

def logearn_target():
    """The log-earnings posterior's value and gradient (logearn.py)."""
    X, le = logearn.data()
    n = len(le)

    def logp_and_grad(u):
        beta, s = u[:4], u[4]
        r = le - X @ beta
        inv = math.exp(-2.0 * s)
        rr = float(r @ r)
        value = -n * s - 0.5 * rr * inv + s
        grad = np.empty(5)
        grad[:4] = (X.T @ r) * inv
        grad[4] = -n + rr * inv + 1.0
        return value, grad

    return logp_and_grad


def test_logearn_posterior_matches_its_reference():
    reference = logearn.reference()
    f = logearn_target()
    # The check value of model.md.
    ua = np.array([9.525, 0.06481, 0.4202, 0.02975, -0.1257])
    assert f(ua)[0] - f(np.zeros(5))[0] == pytest.approx(56305.32116, abs=1e-3)
    result = mcmc.nuts(f, np.zeros(5), grad=True, draws=500, tune=500, **quiet())
    draws = result.samples.reshape(-1, 5).copy()
    draws[:, 4] = np.exp(draws[:, 4])
    for k, name in enumerate(logearn.NAMES):
        ref = reference[name]
        assert abs(draws[:, k].mean() - ref["mean"]) < 0.15 * ref["sd"], name
        assert draws[:, k].std() == pytest.approx(ref["sd"], rel=0.15), name


@pytest.fixture(scope="module")
def benchmark_targets():
    """The posteriors as the benchmarks write them (NumPy, numba, JAX from
    the same mathematics), so that tests and benchmarks share one copy."""
    pytest.importorskip("numba")
    root = str(__import__("pathlib").Path(__file__).resolve().parents[3] / "benchmarks")
    sys.path.insert(0, root)
    try:
        import targets
    finally:
        sys.path.remove(root)
    return targets


@pytest.mark.parametrize("name", ["arK", "arma11", "eight_schools_noncentered"])
def test_posteriors_match_their_references(benchmark_targets, name):
    target = benchmark_targets.make(name)
    result = mcmc.nuts(target.numba()["cfunc_logp_grad"], target.inits(4, seed=1), warn=False, **quiet())
    # Eight schools' funnel may leave a few divergences; the others none.
    assert result.stats["diverging"].sum() <= (10 if name.startswith("eight") else 0)
    assert result.rhat().max() < 1.01
    reported = target.report(result.samples).reshape(-1, len(target.names))
    z = (reported.mean(axis=0) - target.ref_mean) / target.ref_sd
    assert np.all(np.abs(z) < 0.15), dict(zip(target.names, np.round(z, 3)))
    np.testing.assert_allclose(reported.std(axis=0), target.ref_sd, rtol=0.15)


# ---- progress and interrupts -----------------------------------------------------------


@pytest.mark.parametrize("sampler", [mcmc.nuts, mcmc.hmc, mcmc.metropolis])
def test_progress_bar_counts_every_iteration(sampler, capsys):
    pytest.importorskip("tqdm")
    grad = {} if sampler is mcmc.metropolis else {"grad": correlated_grad}
    sampler(correlated, [0.0, 0.0], draws=60, tune=40, chains=2, progress=True, warn=False, random_state=2, **grad)
    err = capsys.readouterr().err
    assert "200/200" in err and "divergences" in err and sampler.__name__ in err


@pytest.mark.parametrize("sampler", [mcmc.hmc, mcmc.metropolis])
def test_jittered_starts_stay_in_the_box(sampler):
    chains = sampler(correlated, np.full(2, 0.5), draws=5, tune=0, init="jitter", bounds=([0, 0], [1, 3]),
                     warn=False, random_state=4)
    starts = chains.tune_samples if chains.tune_samples.shape[1] else chains.samples[:, :1]
    assert len({tuple(p) for p in starts[:, 0]}) == 4
    assert np.all((chains.samples >= 0) & (chains.samples <= [1, 3]))
    with pytest.raises(ValueError, match="init must be None or 'jitter'"):
        sampler(correlated, np.zeros(2), init="random")


def test_a_run_on_an_executor_stops_when_a_chain_raises():
    # A Python exception in one chain's task abandons the others.
    calls = []

    def logpdf(x):
        calls.append(1)
        if len(calls) == 400:
            raise KeyboardInterrupt
        return correlated_joint(x)

    with ThreadPoolExecutor(4) as pool, pytest.raises(KeyboardInterrupt):
        mcmc.nuts(logpdf, [0.0, 0.0], grad=True, draws=2000, tune=100, executor=pool, **quiet())


# ---- fixed-length Hamiltonian chains ------------------------------------------------------


@pytest.mark.parametrize("where", ["logpdf", "grad"])
def test_hmc_overflow_in_a_trajectory_is_a_divergence_not_a_stop(where):
    # Neal's funnel with math.exp: far out on a trajectory exp overflows.
    def logpdf(x):
        v = x[0]
        w = math.exp(-v) if where == "logpdf" else np.exp(-v)
        return -v * v / 18.0 - 0.5 * (len(x) - 1) * v - 0.5 * float(x[1:] @ x[1:]) * w

    def grad(x):
        v = x[0]
        w = math.exp(-v) if where == "grad" else np.exp(-v)
        g = -x * w
        g[0] = -v / 9.0 - 0.5 * (len(x) - 1) + 0.5 * float(x[1:] @ x[1:]) * w
        return g

    # Past the overflow, inf * 0 is NaN: also a divergence, which the
    # chains' check reports.
    with np.errstate(over="ignore", invalid="ignore"), pytest.warns(mcmc.ConvergenceWarning) as record:
        result = mcmc.hmc(logpdf, np.zeros(5), grad=grad, draws=300, tune=300, step_size=3.0, leapfrog_steps=20,
                          random_state=3)
    assert np.all(np.isfinite(result.samples))
    assert result.divergent.sum() > 0
    np.testing.assert_array_equal(result.stats["diverging"].sum(axis=1), result.divergent)
    assert any(f"{result.divergent.sum()} divergent transitions" in str(w.message) for w in record)
