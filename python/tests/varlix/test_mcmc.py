"""varlix.mcmc: chains on a log-density, their tuning, their result and their errors."""
import pickle
import pickletools
import sys
import threading
import warnings
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

from varlix import mcmc
from varlix.mcmc import _laplace_step, _samplers

import logearn
import stored_laws

RHO = 0.9
COV = np.array([[1.0, RHO], [RHO, 1.0]])
PRECISION = np.linalg.inv(COV)


def correlated(x):
    return -0.5 * (x @ PRECISION @ x)


def correlated_grad(x):
    return -(PRECISION @ x)


def gaussian(x):
    return -0.5 * np.sum(x * x)


def gaussian_batch(x):
    return -0.5 * np.sum(x * x, axis=-1)


def flat(x):
    return 0.0


SAMPLERS = [
    pytest.param(mcmc.metropolis, {}, id="metropolis"),
    pytest.param(mcmc.hmc, {}, id="hmc-numeric-gradient"),
    pytest.param(mcmc.hmc, {"grad": correlated_grad}, id="hmc-gradient"),
]


# Each metric the chains keep: dense for metropolis, diagonal for metropolis
# on a box and for hmc.
METRICS = [
    pytest.param(mcmc.metropolis, {}, id="metropolis-dense"),
    pytest.param(mcmc.metropolis, {"bounds": ([-6.0, -6.0], [6.0, 6.0])}, id="metropolis-box"),
    pytest.param(mcmc.hmc, {}, id="hmc"),
]


@pytest.fixture(scope="module")
def process_pool():
    with ProcessPoolExecutor(max_workers=2) as pool:
        yield pool


# ---- the draws -----------------------------------------------------------------


@pytest.mark.parametrize("sampler, extra", SAMPLERS)
def test_moments_and_acceptance_after_tuning(sampler, extra):
    # HMC's diagonal metric leaves the long axis of this correlation 0.9 to
    # the trajectories: variances converge more slowly than means.
    chains = sampler(correlated, np.zeros(2), draws=6000, random_state=7, **extra)
    x = chains.samples.reshape(-1, 2)
    np.testing.assert_allclose(x.mean(axis=0), 0.0, atol=0.12)
    np.testing.assert_allclose(np.cov(x.T), COV, atol=0.12)
    # A random walk's acceptance is a coin per step: its step settles in the
    # last 50 tuning steps to about +-0.12.
    target, atol = (0.234, 0.12) if sampler is mcmc.metropolis else (0.9, 0.08)
    np.testing.assert_allclose(chains.accept_rate, target, atol=atol)
    # The recorded log-densities are those of the recorded points.
    np.testing.assert_allclose(chains.logpdf_values[0, :50], [correlated(p) for p in chains.samples[0, :50]])


@pytest.mark.parametrize("sampler", [mcmc.metropolis, mcmc.hmc])
def test_log_densities_far_below_zero_are_fine(sampler):
    # exp(-1013) underflows to 0; only differences of log values matter.
    chains = sampler(lambda x: gaussian(x - 3.0) - 1013.0, np.full(2, 3.0), draws=2000, random_state=2)
    np.testing.assert_allclose(chains.samples.reshape(-1, 2).mean(axis=0), 3.0, atol=0.1)
    assert np.all(chains.logpdf_values < -1013.0)


@pytest.mark.parametrize("sampler", [mcmc.metropolis, mcmc.hmc])
def test_bounded_chains_stay_in_the_box_and_cover_it(sampler):
    lo, hi = np.array([0.0, -1.0]), np.array([1.0, 3.0])
    chains = sampler(flat, [0.5, 0.0], bounds=(lo, hi), draws=4000, random_state=3)
    x = chains.samples.reshape(-1, 2)
    assert np.all(x >= lo) and np.all(x <= hi)
    np.testing.assert_allclose(x.mean(axis=0), (lo + hi) / 2, atol=0.06)
    np.testing.assert_allclose(x.var(axis=0), (hi - lo) ** 2 / 12, rtol=0.1)


def test_shapes_thinning_and_tuning_draws_kept_apart():
    chains = mcmc.metropolis(gaussian, np.zeros(3), draws=50, tune=30, chains=2, thin=4, random_state=1, warn=False)
    assert chains.samples.shape == (2, 50, 3)
    assert chains.logpdf_values.shape == (2, 50)
    assert chains.tune_samples.shape == (2, 30, 3)
    assert chains.tune_logpdf_values.shape == (2, 30)
    assert chains.accept_rate.shape == chains.step_size.shape == chains.divergent.shape == (2,)
    assert (chains.chains, chains.draws, chains.dim) == (2, 50, 3)
    # thin=4 keeps every fourth state of the same path as thin=1.
    dense = mcmc.metropolis(gaussian, np.zeros(3), draws=200, tune=30, chains=2, random_state=1, warn=False)
    np.testing.assert_array_equal(chains.samples, dense.samples[:, 3::4])
    np.testing.assert_array_equal(chains.tune_samples, dense.tune_samples)


@pytest.mark.parametrize("sampler", [mcmc.metropolis, mcmc.hmc])
def test_without_tuning_the_step_sizes_stay_as_given(sampler):
    steps = np.array([0.1, 0.2, 0.3])
    chains = sampler(gaussian, np.zeros(2), draws=20, tune=0, chains=3, step_size=steps, random_state=0, warn=False)
    np.testing.assert_array_equal(chains.step_size, steps)
    assert chains.tune_samples.shape == (3, 0, 2)


# ---- reproducibility ------------------------------------------------------------


@pytest.mark.parametrize("sampler, extra", METRICS)
def test_same_seed_same_chains_whatever_runs_them(sampler, extra, process_pool):
    kwargs = dict(draws=200, tune=100, chains=3, random_state=42, warn=False, **extra)
    serial = sampler(gaussian, np.zeros(2), **kwargs)
    with ThreadPoolExecutor(max_workers=3) as threads:
        threaded = sampler(gaussian, np.zeros(2), executor=threads, **kwargs)
    in_processes = sampler(gaussian, np.zeros(2), executor=process_pool, **kwargs)
    # A vectorized log-density moves the chains in lockstep: same paths.
    batched = sampler(gaussian_batch, np.zeros(2), **kwargs)
    for other in (threaded, in_processes, batched):
        np.testing.assert_array_equal(other.samples, serial.samples)
        np.testing.assert_array_equal(other.step_size, serial.step_size)
    # The caller's executor is left open.
    assert process_pool.submit(int, "7").result() == 7
    different = sampler(gaussian, np.zeros(2), **{**kwargs, "random_state": 43})
    assert not np.array_equal(different.samples, serial.samples)


def test_chains_are_independent_streams_spawned_from_one_seed():
    seq = np.random.SeedSequence(5)
    chains = mcmc.metropolis(gaussian, np.zeros(1), draws=100, tune=0, chains=2, random_state=seq, warn=False)
    assert not np.array_equal(chains.samples[0], chains.samples[1])
    # A Generator advances its seed sequence's spawn counter: a second run
    # from the same Generator object draws new streams.
    rng = np.random.default_rng(9)
    first = mcmc.metropolis(gaussian, np.zeros(1), draws=50, tune=0, chains=1, random_state=rng, warn=False)
    second = mcmc.metropolis(gaussian, np.zeros(1), draws=50, tune=0, chains=1, random_state=rng, warn=False)
    assert not np.array_equal(first.samples, second.samples)


def test_usable_from_any_thread():
    results = {}

    def run():
        results["chains"] = mcmc.hmc(gaussian, np.zeros(2), draws=50, tune=50, random_state=2, warn=False)

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    np.testing.assert_array_equal(results["chains"].samples,
                                  mcmc.hmc(gaussian, np.zeros(2), draws=50, tune=50, random_state=2, warn=False).samples)


# ---- native log-densities -----------------------------------------------------------


@pytest.fixture(scope="module")
def native_gaussian():
    numba = pytest.importorskip("numba")
    from numba import types

    @numba.cfunc(types.double(types.intc, types.CPointer(types.double)))
    def logpdf(n, x):
        s = 0.0
        for i in range(n):
            s += x[i] * x[i]
        return -0.5 * s

    @numba.cfunc(types.double(types.intc, types.CPointer(types.double), types.voidptr))
    def with_data(n, x, data):
        s = 0.0
        for i in range(n):
            s += x[i] * x[i]
        return -0.5 * s

    return logpdf, with_data


def loop_gaussian(x):
    s = 0.0
    for v in x:
        s += v * v
    return -0.5 * s


@pytest.mark.parametrize("sampler", [mcmc.metropolis, mcmc.hmc])
def test_native_log_densities_give_the_python_chains(sampler, native_gaussian):
    from scipy import LowLevelCallable

    cfunc, with_data = native_gaussian
    kwargs = dict(draws=300, tune=200, chains=3, random_state=11, warn=False)
    expected = sampler(loop_gaussian, np.zeros(2), **kwargs).samples
    for f in (cfunc, LowLevelCallable(cfunc.ctypes), LowLevelCallable(with_data.ctypes)):
        np.testing.assert_array_equal(sampler(f, np.zeros(2), **kwargs).samples, expected)


def test_native_signature_is_checked(native_gaussian):
    from scipy import LowLevelCallable
    numba = pytest.importorskip("numba")

    @numba.cfunc(numba.types.double(numba.types.double))
    def scalar(x):
        return -x * x

    with pytest.raises(ValueError, match="signature 'double \\(int, double \\*\\)'"):
        mcmc.metropolis(LowLevelCallable(scalar.ctypes), np.zeros(1), draws=1, tune=0)
    with pytest.raises(ValueError, match="signature 'double \\(int, double \\*\\)'"):
        mcmc.metropolis(scalar, np.zeros(1), draws=1, tune=0)


# ---- what the user function sees -------------------------------------------------------


def test_points_the_function_keeps_never_change():
    kept = []

    def keeping(x):
        value = gaussian(x)
        x[0] = 1e6  # writing to the argument does not move the chain
        kept.append((x, x.copy()))
        return value

    chains = mcmc.metropolis(keeping, np.zeros(2), draws=100, tune=0, chains=1, random_state=0, warn=False)
    assert all(np.array_equal(x, copy) for x, copy in kept)
    assert np.all(np.abs(chains.samples) < 100)


# ---- errors ----------------------------------------------------------------------------------


@pytest.mark.parametrize("kwargs, error, message", [
    ({"step_size": float("nan")}, ValueError, "step_size must be a positive finite number, got nan"),
    ({"step_size": -1.0}, ValueError, "step_size must be a positive finite number, got -1.0"),
    ({"step_size": [0.1, 0.2]}, ValueError, "step_size must be a number or one per chain"),
    ({"step_size": [0.1, 0.2, np.inf, 0.1]}, ValueError, r"got inf \(chain 2\)"),
    ({"leapfrog_steps": 0}, ValueError, "leapfrog_steps must be a positive integer, got 0"),
    ({"leapfrog_steps": 2.5}, TypeError, "leapfrog_steps must be an integer, not float"),
    ({"target_accept": 1.0}, ValueError, r"target_accept must lie in \(0, 1\), got 1.0"),
    ({"target_accept": 0}, ValueError, r"target_accept must lie in \(0, 1\), got 0"),
    ({"target_accept": float("nan")}, ValueError, r"target_accept must lie in \(0, 1\), got nan"),
    ({"chains": 0}, ValueError, "chains must be a positive integer, got 0"),
    ({"draws": 0}, ValueError, "draws must be a positive integer, got 0"),
    ({"tune": -1}, ValueError, "tune must be a non-negative integer, got -1"),
    ({"thin": True}, TypeError, "thin must be an integer, not bool"),
    ({"bounds": ([0, 0], [1, 0])}, ValueError, r"lower < upper, but coordinate 1 has \[0.0, 0.0\]"),
    ({"bounds": ([0, 0], [1, np.inf])}, ValueError, "bounds must be finite"),
    ({"bounds": ([0, 0, 0], [1, 1, 1])}, ValueError, r"bounds must be numbers or arrays of shape \(2,\), like x0"),
    ({"executor": 3}, TypeError, "executor must be a concurrent.futures.Executor"),
    ({"grad": 3}, TypeError, "grad must be callable or None, not int"),
])
def test_tuning_parameters_are_refused_by_name(kwargs, error, message):
    with pytest.raises(error, match=message):
        mcmc.hmc(gaussian, np.full(2, 0.5), **kwargs)


@pytest.mark.parametrize("x0, kwargs, message", [
    ([[0, 0], [0, 0], [0, np.nan], [0, 0]], {}, r"x0 must be finite, got \[ 0. nan\] \(chain 2\)"),
    ([0, np.inf], {}, r"x0 must be finite, got \[ 0. inf\]$"),
    ([[0.5, 0.5], [2, 0.5], [0.5, 0.5], [0.5, 0.5]], {"bounds": ([0, 0], [1, 1])},
     r"x0 lies outside the bounds: \[2.  0.5\] \(chain 1\)"),
    ([[0, 0], [0, 0], [0, 0], [5, 0]], {}, r"x0 has log-density -inf: \[5. 0.\] \(chain 3\)"),
    ([[0, 0], [0, 0]], {}, r"x0 must be one point \(d,\) or one per chain \(4, d\); got shape \(2, 2\)"),
])
@pytest.mark.parametrize("sampler", [mcmc.metropolis, mcmc.hmc])
def test_bad_starting_points_are_refused_with_the_chain(sampler, x0, kwargs, message):
    def support(x):
        return -np.inf if x[0] > 3 else gaussian(x)

    with pytest.raises(ValueError, match=message):
        sampler(support, x0, draws=1, tune=0, **kwargs)


class Boom(Exception):
    pass


def raising(x):
    if x[0] > 1.0:
        raise Boom("from the log-density")
    return gaussian(x)


@pytest.mark.parametrize("sampler", [mcmc.metropolis, mcmc.hmc])
@pytest.mark.parametrize("vectorized", [False, True])
def test_a_raising_log_density_stops_the_run_and_propagates(sampler, vectorized):
    f = raising
    if vectorized:
        def f(x):
            if np.any(x[:, 0] > 1.0):
                raise Boom("from the log-density")
            return gaussian_batch(x)
    with pytest.raises(Boom, match="from the log-density"):
        sampler(f, np.zeros(2), draws=1000, random_state=0, vectorized=vectorized)


@pytest.mark.parametrize("value, message", [
    (float("nan"), r"logpdf returned nan at x = \[.*\] \(chain \d\)"),
    (float("inf"), r"logpdf returned \+inf at x = .*a log-density must be finite or -inf"),
])
def test_nan_or_plus_infinity_stops_the_run(value, message):
    with pytest.raises(ValueError, match=message):
        mcmc.metropolis(lambda x: value if x[0] > 1.0 else gaussian(x), np.zeros(2), random_state=0)


@pytest.mark.parametrize("grad, error, message", [
    (lambda x: np.zeros(3), ValueError, r"grad must return an array of shape \(2,\), got shape \(3,\)"),
    (lambda x: 1 / 0, ZeroDivisionError, "division by zero"),
])
def test_gradient_errors(grad, error, message):
    with pytest.raises(error, match=message):
        mcmc.hmc(gaussian, np.zeros(2), grad=grad, draws=5, tune=0)


def test_vectorized_function_must_return_one_value_per_point():
    with pytest.raises(ValueError, match=r"a vectorized logpdf must return shape \(4,\) for 4 points"):
        mcmc.metropolis(lambda x: np.zeros((len(x), 2)), np.zeros(2), vectorized=True, draws=5)


# ---- the result ----------------------------------------------------------------------------------


def _total(chains):
    return float(chains.samples.sum())


@pytest.mark.parametrize("sampler, extra", METRICS)
def test_chains_pickle_and_work_in_another_process(sampler, extra, process_pool):
    chains = sampler(gaussian, np.zeros(2), draws=100, tune=50, random_state=4, warn=False, **extra)
    back = pickle.loads(pickle.dumps(chains))
    for name in ("samples", "logpdf_values", "accept_rate", "step_size", "tune_samples", "divergent"):
        np.testing.assert_array_equal(getattr(back, name), getattr(chains, name))
    assert process_pool.submit(_total, chains).result() == _total(chains)
    assert f"Chains(sampler='{sampler.__name__}', chains=4, draws=100, dim=2" in repr(chains)


@pytest.mark.parametrize("name", ["metropolis", "nuts_low_rank"])
def test_chains_pickled_by_an_earlier_version_load_and_resume_as_they_did(name):
    # Written once by data/write_stored_chains.py, when varlix.mcmc was a
    # single module: a pickle names the classes by their public path.
    with open(Path(__file__).resolve().parent / "data" / "stored_chains.pickle", "rb") as f:
        record = pickle.load(f)
    chains = record["chains"][name]
    assert type(chains) is mcmc.Chains
    grad = stored_laws.gaussian_grad if chains.sampler == "nuts" else None
    if grad is not None:
        assert type(chains.metric) is mcmc.LowRankMetric
    resumed = chains.resume(len(record["resumed"][name][0]) - chains.draws, logpdf=stored_laws.gaussian_logpdf,
                            grad=grad, warn=False)
    np.testing.assert_array_equal(resumed.samples, record["resumed"][name])


def test_the_public_classes_pickle_by_their_public_path():
    chains = mcmc.nuts(gaussian, np.zeros(2), grad=lambda x: -x, metric="low_rank", draws=20, tune=20, chains=2,
                       random_state=1, warn=False)
    names = {arg for op, arg, _ in pickletools.genops(pickle.dumps(chains)) if isinstance(arg, str)}
    assert "varlix.mcmc" in names
    assert not any(n.startswith("varlix.mcmc.") for n in names)


def test_arviz_diagnostics():
    az = pytest.importorskip("arviz")
    chains = mcmc.hmc(correlated, np.zeros(2), draws=500, tune=300, random_state=8, warn=False)
    data = chains.to_arviz()
    assert isinstance(data, az.InferenceData)
    assert data.posterior["x"].shape == (4, 500, 2)
    assert data.warmup_posterior["x"].shape == (4, 300, 2)
    np.testing.assert_array_equal(data.sample_stats["lp"].values, chains.logpdf_values)
    ess, rhat = chains.ess(), chains.rhat()
    assert ess.shape == rhat.shape == (2,)
    np.testing.assert_allclose(ess, az.ess(data)["x"].values)
    assert np.all(ess > 100) and np.all(rhat < 1.05)
    table = chains.summary()
    assert list(table.index) == ["x[0]", "x[1]"]
    assert {"mean", "sd", "ess_bulk", "r_hat"} <= set(table.columns)


def test_without_arviz_sampling_works_and_to_arviz_names_it(monkeypatch):
    monkeypatch.setitem(sys.modules, "arviz", None)
    chains = mcmc.metropolis(gaussian, np.zeros(1), draws=10, tune=0, warn=False)
    for method in (chains.to_arviz, chains.ess, chains.rhat, chains.summary):
        with pytest.raises(ImportError, match="arviz"):
            method()


# ---- the engine's arrays -------------------------------------------------------------


def _unaligned(values):
    raw = np.zeros(len(values) * 8 + 1, dtype=np.uint8)
    x = np.frombuffer(raw.data, dtype=np.float64, count=len(values), offset=1)
    x[:] = values
    assert not x.flags.aligned
    return x


@pytest.mark.parametrize("sampler", [mcmc.metropolis, mcmc.hmc, mcmc.nuts])
def test_an_unaligned_start_gives_the_chains_of_an_aligned_one(sampler):
    # What a process pool's worker may unpickle.
    kwargs = dict(draws=50, tune=50, chains=2, random_state=5, warn=False)
    grad = {} if sampler is mcmc.metropolis else {"grad": lambda x: -x}
    expected = sampler(loop_gaussian, np.array([0.5, -0.5]), **kwargs, **grad).samples
    got = sampler(loop_gaussian, _unaligned([0.5, -0.5]), **kwargs, **grad).samples
    np.testing.assert_array_equal(got, expected)


def test_the_chains_engine_takes_checked_arrays_and_records_pieces_at_their_rows():
    from varlix import _engine

    d, chains = 2, 3
    spec = ("point", loop_gaussian, lambda: np.empty(d))
    settings = ("metropolis", d, chains, 0.234, 10, 1, True, None, None)
    engine = _engine.Chains(spec, None, settings)
    with pytest.raises(ValueError, match="not been started"):
        engine.report()
    with pytest.raises(TypeError, match="argument 'x0'"):
        engine.start(np.zeros(chains * d, dtype=np.float32), np.ones(chains))
    with pytest.raises(ValueError, match="one row and one value per chain"):
        engine.start(np.zeros(chains * d - 1), np.ones(chains))
    assert engine.start(np.zeros(chains * d), np.ones(chains)) is None
    bit_generators = [np.random.PCG64(k) for k in range(chains)]  # a capsule does not keep its generator
    generators = [g.capsule for g in bit_generators]
    samples, values, stop = np.empty((chains, 10, d)), np.empty((chains, 10)), np.zeros(1, dtype=np.uint8)
    draws, draw_values = np.empty((chains, 4, d)), np.empty((chains, 4))
    with pytest.raises(ValueError, match="one row per chain"):
        engine.record_into(samples[:, :9].copy(), values, draws, draw_values)
    read_only = samples.copy()
    read_only.flags.writeable = False
    with pytest.raises(TypeError, match="argument 'tune_samples'"):
        engine.record_into(read_only, values, draws, draw_values)
    assert engine.record_into(samples, values, draws, draw_values) is None
    with pytest.raises(ValueError, match="no room"):
        engine.run(generators, "tune", 4, 1, 7, stop)
    with pytest.raises(ValueError, match="phase"):
        engine.run(generators, "warmup", 4, 1, 0, stop)
    # Pieces land at their rows, the state carried from one to the next.
    assert engine.run(generators, "tune", 4, 1, 0, stop) is None
    assert engine.run(generators, "tune", 6, 1, 4, stop) is None
    assert engine.run(generators, "draw", 4, 2, 0, stop) is None
    np.testing.assert_array_equal(values, [[loop_gaussian(x) for x in chain] for chain in samples])
    np.testing.assert_array_equal(draw_values, [[loop_gaussian(x) for x in chain] for chain in draws])
    steps = np.array(engine.report())[:, 2]
    np.testing.assert_array_equal(steps, 8)  # the draw phase's steps: 4 draws, thinned by 2


def test_hmc_learns_scales_spanning_ten_thousand():
    # The old warm-up shrank every variance toward a common value; the
    # windowed one takes each scale from draws and gradients together.
    scales = np.logspace(-2, 2, 8)

    def logpdf(x):
        return -0.5 * float(np.sum((x / scales) ** 2))

    chains = mcmc.hmc(logpdf, np.zeros(8), grad=lambda x: -x / scales**2, draws=1500, random_state=4)
    sd = chains.samples.reshape(-1, 8).std(axis=0)
    np.testing.assert_allclose(sd / scales, 1.0, atol=0.15)


# ---- the check after sampling ----------------------------------------------------------


def two_wells(x):
    return -0.5 * float(np.min([(x - 8.0) @ (x - 8.0), (x + 8.0) @ (x + 8.0)]))


@pytest.mark.parametrize("sampler", [mcmc.metropolis, mcmc.hmc])
def test_chains_stuck_apart_warn_and_mixed_ones_do_not(sampler):
    pytest.importorskip("arviz")
    starts = np.array([[-8.0, -8.0], [-8.0, -8.0], [8.0, 8.0], [8.0, 8.0]])
    with pytest.warns(mcmc.ConvergenceWarning) as record:
        stuck = sampler(two_wells, starts, draws=300, tune=200, random_state=1)
    assert [str(w.message) for w in record] == stuck.problems()
    assert {w.filename for w in record} == {__file__}  # the caller's line, not varlix's
    assert "R-hat above 1.01 for 2 of 2 coordinates" in stuck.problems()[0]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        mixed = sampler(gaussian, np.zeros(2), draws=3000, tune=1000, random_state=1)
        quiet = sampler(two_wells, starts, draws=300, tune=200, random_state=1, warn=False)
    assert mixed.problems() == []
    np.testing.assert_array_equal(quiet.samples, stuck.samples)


@pytest.mark.parametrize("sampler", [mcmc.metropolis, mcmc.hmc])
def test_per_draw_statistics_reach_arviz(sampler):
    az = pytest.importorskip("arviz")
    chains = sampler(correlated, np.zeros(2), draws=400, tune=200, thin=2, random_state=3, warn=False)
    expected = {"lp", "acceptance_rate", "step_size"}
    if sampler is mcmc.hmc:
        expected |= {"diverging", "energy", "n_steps"}
    assert set(chains.stats) == set(chains.tune_stats) == expected
    assert all(v.shape == (4, 400) for v in chains.stats.values())
    assert all(v.shape == (4, 200) for v in chains.tune_stats.values())
    np.testing.assert_array_equal(chains.stats["lp"], chains.logpdf_values)
    accept = chains.stats["acceptance_rate"]
    assert np.all((accept >= 0) & (accept <= 1))
    np.testing.assert_allclose(accept.mean(axis=1), chains.accept_rate, atol=0.1)
    step = chains.stats["step_size"] / chains.step_size[:, None]
    if sampler is mcmc.metropolis:
        np.testing.assert_array_equal(step, 1.0)
    else:
        # Jittered by up to 20%, with trajectories of 1 to 19 steps (mean 10).
        assert step.min() >= 0.8 and step.max() <= 1.2 and step.std() > 0.05
        assert chains.stats["n_steps"].min() >= 1 and chains.stats["n_steps"].max() <= 19
        assert abs(chains.stats["n_steps"].mean() - 10) < 0.5
        assert chains.stats["diverging"].dtype == bool
        assert 0.5 < float(az.bfmi(chains.to_arviz()).min())
    data = chains.to_arviz()
    assert set(data.sample_stats.data_vars) == expected
    assert set(data.warmup_sample_stats.data_vars) == expected


def test_metrics_are_read_back_and_start_where_given():
    scales = np.array([0.01, 1.0, 100.0])
    learnt = mcmc.hmc(lambda x: -0.5 * float(np.sum((x / scales) ** 2)), np.ones(3),
                      grad=lambda x: -x / scales**2, draws=200, random_state=5, warn=False)
    assert learnt.metric.shape == (4, 3)
    ratio = np.sqrt(learnt.metric) / scales
    assert np.all((ratio > 0.5) & (ratio < 2.0))
    cov = np.array([[2.0, 0.5], [0.5, 1.0]])
    kept = mcmc.metropolis(gaussian, np.zeros(2), metric=cov, draws=20, tune=0, warn=False, random_state=1)
    np.testing.assert_allclose(kept.metric, np.broadcast_to(cov, (4, 2, 2)))
    diagonal = mcmc.metropolis(gaussian, np.zeros(2), metric="diag", draws=20, tune=0, warn=False)
    np.testing.assert_array_equal(diagonal.metric, np.ones((4, 2)))


@pytest.mark.parametrize("sampler, kwargs, message", [
    (mcmc.hmc, {"metric": "dense"}, "hmc takes a diagonal metric"),
    (mcmc.hmc, {"metric": np.eye(2)}, "hmc takes a diagonal metric"),
    (mcmc.metropolis, {"metric": "dense", "bounds": ([0, 0], [1, 1])}, "cannot be used with bounds"),
    (mcmc.metropolis, {"metric": "low_rank"}, "metric must be 'diag', 'dense' or an array"),
    (mcmc.metropolis, {"metric": [1.0, -1.0]}, "positive finite variances"),
])
def test_bad_metrics_are_refused(sampler, kwargs, message):
    with pytest.raises(ValueError, match=message):
        sampler(gaussian, np.full(2, 0.5), **kwargs)


@pytest.mark.parametrize("sampler, extra", METRICS)
def test_resume_continues_every_chain_bit_for_bit(sampler, extra):
    kwargs = dict(tune=100, chains=3, thin=2, random_state=8, warn=False, **extra)
    whole = sampler(correlated, np.full(2, 0.5), draws=300, **kwargs)
    first = sampler(correlated, np.full(2, 0.5), draws=120, **kwargs)
    resumed = first.resume(180, warn=False)
    for name in ("samples", "logpdf_values", "accept_rate", "step_size", "divergent", "metric", "tune_samples"):
        np.testing.assert_array_equal(getattr(resumed, name), getattr(whole, name), err_msg=name)
    for name in whole.stats:
        np.testing.assert_array_equal(resumed.stats[name], whole.stats[name], err_msg=name)
    # Resuming leaves the first Chains as it was, and works after pickling.
    assert first.draws == 120
    back = pickle.loads(pickle.dumps(first))
    with pytest.raises(ValueError, match="pass logpdf="):
        back.resume(10)
    again = back.resume(180, logpdf=correlated, warn=False)
    np.testing.assert_array_equal(again.samples, whole.samples)


# ---- the Laplace warm-up of a random walk ---------------------------------------------------

def logearn_batch():
    """The log-earnings posterior (logearn.py), vectorized."""
    X, le = logearn.data()
    n = len(le)

    def logpdf(u):
        s = u[:, 4]
        r = le - u[:, :4] @ X.T
        return -(n - 1) * s - 0.5 * np.sum(r * r, axis=1) * np.exp(-2.0 * s)

    return logpdf


@pytest.mark.parametrize("seed", [0, 1])
def test_default_metropolis_converges_on_a_correlated_posterior_from_far_away(seed):
    # From 0, the mode is 200 posterior sds away (log earnings near 9.5)
    # and the scales span 0.02 to 0.07 with correlations: a random walk
    # learning its metric from the identity failed R-hat in half the seeds
    # (up to 3.2); the Laplace start, and its jumps in the warm-up, converge.
    az = pytest.importorskip("arviz")
    reference = logearn.reference()
    chains = mcmc.metropolis(logearn_batch(), np.zeros(5), random_state=seed, warn=False)
    draws = chains.samples.reshape(-1, 5).copy()
    draws[:, 4] = np.exp(draws[:, 4])
    with np.errstate(all="ignore"):
        data = az.from_dict(posterior={"x": chains.samples}, dims={"x": ["x_dim"]})
        assert float(np.max(az.rhat(data)["x"].values)) < 1.05
    for k, name in enumerate(logearn.NAMES):
        ref = reference[name]
        # About 150 independent draws: a mean within 0.35 sd is 4 MCSE.
        assert abs(draws[:, k].mean() - ref["mean"]) < 0.35 * ref["sd"], name
        assert draws[:, k].std() == pytest.approx(ref["sd"], rel=0.25), name


def test_default_metropolis_thins_enough_for_its_chains_to_be_compared():
    # 31 correlated coordinates (condition number 72): a random walk moves
    # an independent draw every ~3d steps, so unthinned its 1000 draws gave
    # R-hat 1.19-1.30 even with the exact covariance from the Laplace step.
    rng = np.random.default_rng(7)
    a = rng.normal(size=(31, 31))
    cov = a @ a.T / 31 + 0.05 * np.eye(31)
    precision = np.linalg.inv(cov)
    chains = mcmc.metropolis(lambda x: -0.5 * np.einsum("ki,ij,kj->k", x, precision, x), np.zeros(31),
                             random_state=0, warn=False)
    assert chains.samples.shape == (4, 1000, 31)
    assert chains.rhat().max() < 1.05
    assert np.all(np.abs(chains.samples.mean(axis=(0, 1))) < 0.3 * np.sqrt(np.diag(cov)))


def _without_laplace(monkeypatch, f, x0, **kwargs):
    with monkeypatch.context() as patch:
        patch.setattr(_samplers, "_laplace_start", lambda *args: None)
        return mcmc.metropolis(f, x0, **kwargs)


def _flat_in_a_ball(x):
    return 0.0 if x @ x < 100.0 else -np.inf


def _narrow_support(x):
    return gaussian(x) if abs(x[0]) < 1e-3 else -np.inf


def _between_two_modes(x):
    return np.logaddexp(-0.5 * (x[0] - 2.0) ** 2, -0.5 * (x[0] + 2.0) ** 2) - 0.5 * x[1] ** 2


def _funnel(u):
    """Neal's funnel, v ~ N(0, 9) and x_i | v ~ N(0, e^v): its mode is the
    bottom of the neck (v = -40.5), whose curvature would freeze the x's."""
    return -u[0] ** 2 / 18.0 - 0.5 * (len(u) - 1) * u[0] - 0.5 * float(u[1:] @ u[1:]) * np.exp(-u[0])


@pytest.mark.parametrize("f, d, why", [
    (_flat_in_a_ball, 2, "indefinite"),     # no curvature
    (_narrow_support, 2, "not_finite"),     # -inf beside the start
    (_between_two_modes, 2, "indefinite"),  # a start at a saddle between two modes
    (_funnel, 10, "narrow"),                # a mode unlike the bulk
])
def test_where_the_laplace_step_fails_the_walk_starts_from_the_identity(monkeypatch, f, d, why):
    found = _laplace_step._laplace(f, "point", np.zeros((1, d)))
    assert found[0] is None and found[1] == why
    kwargs = dict(draws=50, tune=60, chains=2, random_state=3, warn=False)
    with np.errstate(over="ignore"):
        np.testing.assert_array_equal(mcmc.metropolis(f, np.zeros(d), **kwargs).samples,
                                      _without_laplace(monkeypatch, f, np.zeros(d), **kwargs).samples)


@pytest.mark.parametrize("kwargs", [
    {"bounds": ([-5.0, -5.0], [5.0, 5.0])},  # a box mirrors a diagonal walk
    {"tune": 0},                             # no warm-up to start
    {"sampler": mcmc.hmc},
], ids=["box", "no-tuning", "hmc"])
def test_the_laplace_step_is_skipped_where_it_does_not_apply(monkeypatch, kwargs):
    kwargs = dict(kwargs)
    sampler = kwargs.pop("sampler", mcmc.metropolis)

    def refuse(*args):
        raise AssertionError("no Laplace step here")

    monkeypatch.setattr(_laplace_step, "_laplace", refuse)
    sampler(gaussian, np.zeros(2), draws=20, chains=2, random_state=1, warn=False, **{"tune": 30, **kwargs})


def test_the_laplace_step_is_skipped_beyond_its_dimension(monkeypatch):
    from varlix import _engine

    calls = []
    monkeypatch.setattr(_laplace_step, "_laplace", lambda *args: calls.append(1))
    d = _engine.LAPLACE_MAX_DIM + 1
    mcmc.metropolis(gaussian_batch, np.zeros(d), draws=5, tune=25, chains=1, random_state=1, warn=False)
    assert not calls


def test_the_laplace_step_keeps_numpy_warnings_of_points_it_probes_to_itself():
    # Its first Newton trial steps go far below the start in the second
    # coordinate, where exp(-100 u) overflows; the chains never go there.
    # (The suite turns warnings into errors.)
    def logpdf(u):
        return -100.0 * u[1] - 0.5 * 1e4 * np.exp(-2.0 * u[1] * 50.0) - 0.5 * u[0] ** 2

    chains = mcmc.metropolis(logpdf, np.array([0.0, 0.2]), draws=20, tune=40, chains=2, random_state=0,
                             warn=False)
    assert np.all(np.isfinite(chains.samples))


def test_an_exception_in_the_laplace_step_propagates():
    def logpdf(x):
        if x[1] != 0.0:
            raise Boom("beside the start")
        return gaussian(x)

    with pytest.raises(Boom, match="beside the start"):
        mcmc.metropolis(logpdf, np.zeros(2), vectorized=False)
