"""Markov chain Monte Carlo on a log-density.

Three samplers, all tuned automatically and run as several chains at once:

* :func:`nuts`: the No-U-Turn sampler, the one to use for smooth
  log-densities (with their gradient), with per-draw statistics, warnings
  when the chains should not be trusted, and ``Chains.resume``;
* :func:`metropolis`: random-walk Metropolis, for log-densities without a
  gradient;
* :func:`hmc`: Hamiltonian Monte Carlo with trajectories of a random number
  of leapfrog steps around a chosen mean (with the gradient when you have it,
  central differences otherwise).

During ``tune`` steps each chain adapts its step size by dual averaging
(Hoffman & Gelman 2014) toward ``target_accept`` and its proposal metric in
windows of doubling length, on the warm-up schedule :func:`nuts` uses: for
hmc a diagonal metric from the draws and gradients together, for metropolis
the draws' covariance (dense without bounds, diagonal on a box; without
bounds it starts from a Laplace approximation, see :func:`metropolis`); after
tuning nothing adapts, and ``draws`` draws are kept per chain. Both return a :class:`Chains` result, with
diagnostics by arviz (``pip install varlix[mcmc]``).

The log-density may be

* a Python function of one point, an ndarray of shape ``(d,)``, returning a
  float;
* a NumPy-vectorized Python function taking ``(k, d)`` and returning
  ``(k,)`` (detected by a probe call, or forced with ``vectorized=True``):
  the chains then move in lockstep and one call evaluates a point of each;
* a ``scipy.LowLevelCallable`` or numba ``cfunc`` with the C signature
  ``double (int d, double *x)`` or ``double (int d, double *x, void *user_data)``:
  chains then run on threads without the interpreter lock.

Any finite value is a valid log-density and ``-inf`` means outside the
support; NaN or ``+inf`` stops the run with a ``ValueError``, and an
exception raised by the function stops it and propagates unchanged.

The point handed to a Python log-density is a fresh array whenever the
function kept the previous one, so keeping it is safe; writing to it does
not affect the chain.

Reproducibility: one ``SeedSequence`` (from ``random_state``) spawns one
stream per chain, so the same ``random_state`` gives bit-identical chains
whether they run serially, on threads or on the workers of an ``executor``;
with one exception for metropolis and hmc: a NumPy-vectorized log-density
is called with a batch of all chains when run serially and with one chain
per call on an executor, and NumPy may round a reduction differently by
batch shape, so those chains can differ in the last bits. nuts never
batches chains and has no such exception.
"""
from __future__ import annotations

import copy
import operator
import os
import sys
import threading
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from . import _engine
from . import _functions
from ._random import spawn

__all__ = ["Chains", "ConvergenceWarning", "FiniteDifferenceWarning", "LowRankMetric", "hmc", "metropolis", "nuts"]

# Steps per engine call. A native log-density is polled for interrupts
# within a call (every few milliseconds); a Python one sees them itself.
_STEPS_PER_CALL = 4096

# The C signatures a native log-density may carry, as scipy spells them.
_NATIVE_PLAIN = ("double (int, double *)", "double (int, const double *)")
_NATIVE_WITH_DATA = ("double (int, double *, void *)", "double (int, const double *, void *)")


# ---- results -----------------------------------------------------------------


def _import_arviz():
    try:
        with warnings.catch_warnings():
            # arviz announces its coming refactor on import.
            warnings.simplefilter("ignore", FutureWarning)
            import arviz
    except ImportError as error:
        raise ImportError(
            "this needs arviz, an optional dependency of varlix: pip install 'varlix[mcmc]' (or pip install arviz)"
        ) from error
    return arviz


class Chains:
    """The draws of several Markov chains, with their diagnostics.

    Attributes
    ----------
    samples : ndarray, shape (chains, draws, d)
        The kept draws of each chain.
    logpdf_values : ndarray, shape (chains, draws)
        The log-density at each kept draw.
    accept_rate : ndarray, shape (chains,)
        The fraction of accepted proposals after tuning.
    step_size : ndarray, shape (chains,)
        The step size each chain used after tuning.
    tune_samples, tune_logpdf_values : ndarray
        The positions and log-densities visited while tuning, shapes
        (chains, tune, d) and (chains, tune); never part of ``samples``.
    divergent : ndarray, shape (chains,)
        Hamiltonian transitions after tuning whose energy error was
        too large to trust (always 0 for Metropolis).
    sampler : str
        "metropolis", "hmc" or "nuts".
    stats : dict of ndarray, shape (chains, draws) each
        Per-draw statistics (``tune_stats``: the same for the warm-up):
        ``lp``, ``acceptance_rate`` and ``step_size`` for every sampler;
        ``diverging``, ``energy`` and ``n_steps`` (leapfrog steps) for hmc
        and nuts; ``tree_depth`` for nuts. With ``thin``, those of the
        transition that produced the draw.
    metric : ndarray, LowRankMetric or None
        The metric each chain adapted (for metropolis, the shape of its
        proposal's covariance, which the step size scales): variances
        (chains, d) for a diagonal one, covariances (chains, d, d) for a
        dense one, a :class:`LowRankMetric` with a leading chain axis for a
        low-rank one (nuts).

    ``ess()``, ``rhat()`` and ``summary()`` are arviz's, on ``to_arviz()``.
    A ``Chains`` pickles.
    """

    def __init__(self, samples, logpdf_values, accept_rate, step_size, tune_samples, tune_logpdf_values,
                 divergent, sampler):
        self.samples = samples
        self.logpdf_values = logpdf_values
        self.accept_rate = accept_rate
        self.step_size = step_size
        self.tune_samples = tune_samples
        self.tune_logpdf_values = tune_logpdf_values
        self.divergent = divergent
        self.sampler = sampler
        # Per-draw statistics (nuts): name -> (chains, draws), and the same
        # for the warm-up; the adapted metric, (chains, d) variances,
        # (chains, d, d) covariances or a LowRankMetric.
        self.stats = {}
        self.tune_stats = {}
        self.metric = None
        self._max_tree_depth = None
        self._resume = None
        self._target = None

    def __getstate__(self):
        # The user's functions need not pickle (a lambda does not); resume()
        # in another process takes them again.
        state = dict(self.__dict__)
        state.pop("_target", None)
        return state

    def __setstate__(self, state):
        # Pickles from before the per-draw statistics lack them.
        self.__dict__.update({"stats": {}, "tune_stats": {}, "metric": None, "_max_tree_depth": None,
                              "_resume": None, "_target": None})
        self.__dict__.update(state)

    def resume(self, draws: int, *, logpdf=None, grad=None, executor=None, progress=None, warn=True) -> "Chains":
        """These chains continued by ``draws`` more draws each: a new Chains
        with the draws so far followed by the new ones. Every chain goes on
        from its position, adapted metric and step size and random stream,
        so that 1000 draws then ``resume(1000)`` equal 2000 draws at once,
        bit for bit (for metropolis and hmc with a NumPy-vectorized
        log-density, when both runs group the chains alike: serially, or
        on an executor). After unpickling (the functions are not pickled),
        pass ``logpdf`` (and ``grad``) again, as given to the sampler. This
        Chains is left unchanged and can be resumed again."""
        if self._resume is None:
            raise ValueError("these chains carry no state to resume from (made before varlix could resume them)")
        draws = _count(draws, "draws", 1)
        if logpdf is None:
            if self._target is None:
                raise ValueError("these chains were unpickled without their log-density: pass logpdf= (and grad=)")
            logpdf, grad = self._target
        setup = dict(self._resume["setup"], logpdf=logpdf, grad=grad,
                     generators=copy.deepcopy(self._resume["generators"]))
        if self.sampler != "nuts":
            result = _gather(_execute(setup, draws, self._resume["state"], executor, progress), setup, self)
        else:
            done = self._resume["done"]
            tune_left = max(0, setup["tune"] - done)
            results = _run_nuts(setup, (self._resume["state"], done, tune_left + draws), executor, progress)
            result = _nuts_chains(results, setup, tune_left, self)
        result._check(warn, 3)
        return result

    @property
    def chains(self) -> int:
        """The number of chains."""
        return self.samples.shape[0]

    @property
    def draws(self) -> int:
        """The number of kept draws per chain."""
        return self.samples.shape[1]

    @property
    def dim(self) -> int:
        """The number of coordinates of a draw."""
        return self.samples.shape[2]

    def __repr__(self) -> str:
        rates = ", ".join(f"{r:.3f}" for r in self.accept_rate)
        return (f"Chains(sampler={self.sampler!r}, chains={self.chains}, draws={self.draws}, dim={self.dim}, "
                f"accept_rate=[{rates}])")

    def to_arviz(self):
        """The draws as an ``arviz.InferenceData``.

        The posterior group holds the variable ``x`` with dimensions
        (chain, draw, x_dim); sample_stats holds ``lp`` (the log-density)
        and every other per-draw statistic of ``stats``;
        the tuning draws go to the warmup groups. Raises ImportError when
        arviz is not installed.
        """
        az = _import_arviz()
        stats = dict(self.stats) if self.stats else {"lp": self.logpdf_values}
        tune_stats = dict(self.tune_stats) if self.tune_stats else {"lp": self.tune_logpdf_values}
        dims = {"x": ["x_dim"]}
        kwargs = {}
        if self.tune_samples.shape[1] > 0:
            kwargs = {"warmup_posterior": {"x": self.tune_samples},
                      "warmup_sample_stats": tune_stats, "save_warmup": True}
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", FutureWarning)
            return az.from_dict(posterior={"x": self.samples}, sample_stats=stats, dims=dims, **kwargs)

    def _posterior(self):
        az = _import_arviz()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", FutureWarning)
            return az, az.from_dict(posterior={"x": self.samples}, dims={"x": ["x_dim"]})

    def ess(self, method: str = "bulk") -> np.ndarray:
        """arviz's effective sample size of each coordinate, shape (d,)."""
        az, data = self._posterior()
        return np.asarray(az.ess(data, method=method)["x"].values, dtype=np.float64)

    def rhat(self) -> np.ndarray:
        """arviz's R-hat of each coordinate, shape (d,)."""
        az, data = self._posterior()
        return np.asarray(az.rhat(data)["x"].values, dtype=np.float64)

    def summary(self):
        """arviz's summary table: mean, sd, HDI, MCSE, ESS and R-hat per coordinate."""
        az, data = self._posterior()
        return az.summary(data)

    def problems(self) -> list:
        """What makes these chains untrustworthy, one sentence each (empty
        when nothing does): R-hat above 1.01, bulk or tail ESS below 100 per
        chain (the worst coordinates named), divergences after warm-up, tree
        depth saturated, low BFMI. Needs arviz."""
        return _convergence_problems(self)

    def check(self, warn: bool = True) -> list:
        """``problems()``, each also issued as a ``ConvergenceWarning`` when
        ``warn``; without arviz, nothing is checked."""
        return self._check(warn, 3)

    def _check(self, warn: bool, stacklevel: int) -> list:
        # stacklevel counts from here: the warnings point at the line of
        # the user's code that asked for the chains.
        try:
            found = self.problems()
        except ImportError:
            return []
        if warn:
            for text in found:
                warnings.warn(text, ConvergenceWarning, stacklevel=stacklevel)
        return found


# ---- validation ----------------------------------------------------------------


def _count(value, name: str, minimum: int) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        n = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if n < minimum:
        kind = "a positive" if minimum == 1 else "a non-negative"
        raise ValueError(f"{name} must be {kind} integer, got {n}")
    return n


def _probability(value, name: str) -> float:
    p = float(value)
    if not 0.0 < p < 1.0:
        raise ValueError(f"{name} must lie in (0, 1), got {value!r}")
    return p


def _step_sizes(step_size, chains: int) -> np.ndarray:
    steps = np.asarray(step_size, dtype=np.float64)
    if steps.ndim == 0:
        steps = np.full(chains, float(steps))
    if steps.shape != (chains,):
        raise ValueError(f"step_size must be a number or one per chain, shape ({chains},); got shape {steps.shape}")
    bad = ~(np.isfinite(steps) & (steps > 0))
    if bad.any():
        c = int(np.argmax(bad))
        where = f" (chain {c})" if np.ndim(step_size) else ""
        raise ValueError(f"step_size must be a positive finite number, got {float(steps[c])!r}{where}")
    return steps


def _bounds(bounds, d: int):
    if bounds is None:
        return None, None
    try:
        lo, hi = bounds
    except (TypeError, ValueError):
        raise ValueError("bounds must be None or a pair (lower, upper) of arrays of shape (d,)") from None
    try:
        lo = np.broadcast_to(np.asarray(lo, dtype=np.float64), (d,)).copy()
        hi = np.broadcast_to(np.asarray(hi, dtype=np.float64), (d,)).copy()
    except ValueError:
        raise ValueError(f"bounds must be numbers or arrays of shape ({d},), like x0") from None
    if not (np.all(np.isfinite(lo)) and np.all(np.isfinite(hi))):
        raise ValueError("bounds must be finite; use None for an unbounded coordinate set")
    if np.any(lo >= hi):
        i = int(np.argmax(lo >= hi))
        raise ValueError(f"bounds must have lower < upper, but coordinate {i} has [{lo[i]}, {hi[i]}]")
    return lo, hi


def _starting_points(x0, chains: int, lo, hi) -> np.ndarray:
    x = np.array(x0, dtype=np.float64)
    if x.ndim == 1:
        per_chain = False
        x = np.tile(x, (chains, 1))
    elif x.ndim == 2 and x.shape[0] == chains:
        per_chain = True
    else:
        raise ValueError(f"x0 must be one point (d,) or one per chain ({chains}, d); got shape {np.shape(x0)}")
    if x.shape[1] == 0:
        raise ValueError("x0 must have at least one coordinate")
    for c in range(chains):
        where = f" (chain {c})" if per_chain else ""
        if not np.all(np.isfinite(x[c])):
            raise ValueError(f"x0 must be finite, got {x[c]}{where}")
        if lo is not None and (np.any(x[c] < lo) or np.any(x[c] > hi)):
            raise ValueError(f"x0 lies outside the bounds: {x[c]}{where}")
    return np.ascontiguousarray(x), per_chain


# ---- user functions ----------------------------------------------------------------


def _native_spec(f):
    """("native", capsule, owner) for a LowLevelCallable or numba cfunc."""
    compiled = _functions.compiled_function(
        f, _NATIVE_PLAIN + _NATIVE_WITH_DATA, shown=(_NATIVE_PLAIN[0], _NATIVE_WITH_DATA[0]),
        cfunc_label="a compiled log-density", low_level_label="a LowLevelCallable log-density")
    return ("native", compiled.capsule, compiled)


def _point_spec(f, d: int):
    def renew():
        return np.empty(d)

    return ("point", f, renew)


def _batch_spec(f, d: int, capacity: int):
    xs = np.empty((capacity, d))
    ys = np.empty(capacity)
    asarray = np.asarray
    float64 = np.float64

    def evaluate(n):
        # A copy: the function may keep its argument, the buffer is reused.
        try:
            y = asarray(f(xs[:n].copy()), dtype=float64)
        except (TypeError, ValueError) as error:
            if type(error) not in (TypeError, ValueError):
                raise
            raise type(error)(
                f"{error} (the logpdf is taken as vectorized: it was called with {n} points as an array "
                f"of shape ({n}, {d}) and must return shape ({n},); pass vectorized=False for a function "
                f"of one point)"
            ) from error
        if y.shape != (n,):
            raise ValueError(
                f"a vectorized logpdf must return shape ({n},) for {n} points (an array of shape ({n}, {d})), "
                f"got shape {y.shape}; pass vectorized=False for a function of one point"
            )
        ys[:n] = y

    return ("batch", evaluate, xs, ys)


def _gradient_spec(grad, d: int):
    x = np.empty(d)
    g = np.empty(d)
    asarray = np.asarray
    float64 = np.float64

    def evaluate():
        value = asarray(grad(x.copy()), dtype=float64)
        if value.shape != (d,):
            raise ValueError(f"grad must return an array of shape ({d},), got shape {value.shape}")
        g[:] = value

    return ("gradient", evaluate, x, g)


def _is_vectorized(f, x0: np.ndarray) -> bool:
    d = x0.shape[1]
    # k differs from d, so that a function of one point indexing x[0], x[1]
    # (which returns shape (d,) for a batch) is not taken for a vectorized one.
    k = 3 if d != 3 else 2
    probe = np.resize(x0, (k, d))
    try:
        with np.errstate(all="ignore"):
            y = f(probe.copy())
    except Exception:
        return False
    return isinstance(y, np.ndarray) and y.shape == (k,) and y.dtype.kind in "fiu"


def _kind_of(logpdf, x0, vectorized) -> str:
    if _functions.is_native(logpdf):
        return "native"
    if not callable(logpdf):
        raise TypeError(f"logpdf must be callable or a LowLevelCallable, not {type(logpdf).__name__}")
    if vectorized is None:
        vectorized = _is_vectorized(logpdf, x0)
    return "batch" if vectorized else "point"


# ---- running ----------------------------------------------------------------------


def _engine_array(x) -> np.ndarray:
    """x as the engine takes an array: float64, C-contiguous and aligned (an
    array unpickled in a worker may not be)."""
    return np.require(x, dtype=np.float64, requirements=["C", "A"])


def _fault_error(fault, first_chain: int):
    kind, chain, point = fault
    where = f" (chain {first_chain + chain})"
    x = np.array(point)
    if kind == "nan":
        return ValueError(f"logpdf returned nan at x = {x}{where}")
    if kind == "inf":
        return ValueError(f"logpdf returned +inf at x = {x}{where}; a log-density must be finite or -inf")
    if kind == "outside":
        return ValueError(f"x0 has log-density -inf: {x}{where}; a chain must start inside the support")
    if kind == "gradient_not_finite":
        return ValueError(f"the gradient of logpdf at x0 is not finite: {x}{where}")
    if kind == "gradient":
        return ValueError(f"grad failed at x = {x}{where}")
    return RuntimeError(f"the chains stopped: {kind}{where}")


class _Task:
    """One group of chains to run: picklable, for an executor's workers."""

    def __init__(self, sampler, logpdf, grad, kind, x0, steps, generators, first_chain, draws, tune, thin,
                 target_accept, leapfrog_steps, lo, hi, dense, metric0, laplace=None):
        self.sampler = sampler
        self.dense = dense
        self.metric0 = metric0  # each chain's starting metric words, or None for the identity
        self.logpdf = logpdf
        self.grad = grad
        self.kind = kind
        self.x0 = x0
        self.steps = steps
        self.generators = generators
        self.first_chain = first_chain
        self.draws = draws
        self.tune = tune
        self.thin = thin
        self.target_accept = target_accept
        self.leapfrog_steps = leapfrog_steps
        self.lo = lo
        self.hi = hi
        # The Laplace approximation the warm-up starts from, (factor (d, d),
        # mode (d,)), or None for the identity metric.
        self.laplace = laplace
        # A byte set to 1 when the caller gave up, read by the engine while
        # it runs: it stops tasks on threads of this process (a process
        # pool's worker holds a copy, and is stopped by its pending task
        # being cancelled or by the signal itself).
        self.stop = np.zeros(1, dtype=np.uint8)
        self.progress = None  # a progress bar's update, in the caller's process only
        self.saved = None  # the state rows of these chains when resumed (then no tuning)

    def __getstate__(self):
        state = dict(self.__dict__)
        state["progress"] = None
        return state


def _overflow_diverges(f, shape):
    """f, with an arithmetic overflow inside it turned into NaN values (of
    `shape(x)`), which a Hamiltonian trajectory takes as a divergence."""
    def safe(x):
        try:
            return f(x)
        except (OverflowError, FloatingPointError):
            return np.full(shape(x), np.nan)
    return safe


def _run_task(task: _Task) -> dict:
    """Runs one group of chains from its start to its last draw."""
    chains, d = task.x0.shape
    hmc_without_gradient = task.sampler == "hmc" and task.grad is None
    logpdf = task.logpdf
    if task.sampler == "hmc" and task.kind != "native":
        logpdf = _overflow_diverges(logpdf, lambda x: x.shape[:-1])
    if task.kind == "native":
        spec = _native_spec(task.logpdf)
    elif task.kind == "batch":
        # Central differences evaluate 2d points per chain at once.
        spec = _batch_spec(logpdf, d, chains * (2 * d if hmc_without_gradient else 1))
    else:
        spec = _point_spec(logpdf, d)
    grad = _gradient_spec(_overflow_diverges(task.grad, np.shape), d) if task.grad is not None else None
    lo, hi = (None, None) if task.lo is None else (_engine_array(task.lo), _engine_array(task.hi))
    settings = (task.sampler, d, chains, task.target_accept, task.tune, task.leapfrog_steps, task.dense, lo, hi)
    # Built here, inside the task: a process pool's worker builds its own.
    engine = _engine.Chains(spec, grad, settings)
    if task.saved is not None:
        engine.restore_state(_engine_array(task.saved))
    else:
        factor, mode = (None, None) if task.laplace is None else map(_engine_array, task.laplace)
        fault = engine.start(_engine_array(task.x0), _engine_array(task.steps), factor, mode)
        if fault is not None:
            raise _fault_error(fault, task.first_chain)
        if task.metric0 is not None:
            engine.set_metric(_engine_array(task.metric0))
    capsules = [g.bit_generator.capsule for g in task.generators]
    tune = 0 if task.saved is not None else task.tune
    tune_samples = np.empty((chains, tune, d))
    tune_values = np.empty((chains, tune))
    samples = np.empty((chains, task.draws, d))
    values = np.empty((chains, task.draws))
    engine.record_into(tune_samples, tune_values, samples, values)
    stats = {phase: _transition_stats(chains, rows) for phase, rows in (("tune", tune), ("draw", task.draws))}
    for phase, arrays in stats.items():
        engine.stats_into(phase, *arrays.values())

    def run(phase, total, thin):
        per_call = max(1, _STEPS_PER_CALL // thin)
        for start in range(0, total, per_call):
            if task.stop[0]:
                raise KeyboardInterrupt("the run was abandoned")
            n = min(per_call, total - start)
            fault = engine.run(capsules, phase, n, thin, start, task.stop)
            if fault is not None:
                raise _fault_error(fault, task.first_chain)
            if task.progress is not None:
                task.progress(chains * n, stats[phase], start + n)

    run("tune", tune, 1)
    run("draw", task.draws, task.thin)
    report = np.array(engine.report()).reshape(chains, 4)
    steps_done = np.maximum(report[:, 2], 1.0)
    return {
        "samples": samples,
        "logpdf_values": values,
        "accept_rate": np.where(report[:, 2] > 0, report[:, 1] / steps_done, 0.0),
        "step_size": report[:, 0].copy(),
        "tune_samples": tune_samples,
        "tune_logpdf_values": tune_values,
        "divergent": report[:, 3].astype(np.int64),
        "metric": _metric_of(engine.metric(), chains, d, task.dense),
        "stats": _named_stats(task.sampler, values, stats["draw"]),
        "tune_stats": _named_stats(task.sampler, tune_values, stats["tune"]),
        "state": np.array(engine.save_state()).reshape(chains, -1),
        "generators": task.generators,
    }


def _transition_stats(chains: int, rows: int) -> dict:
    """The arrays the engine records each transition's statistics into, in
    the order of its stats_into."""
    return {"acceptance_rate": np.empty((chains, rows)), "step_size": np.empty((chains, rows)),
            "energy": np.empty((chains, rows)), "n_steps": np.empty((chains, rows), dtype=np.int64),
            "diverging": np.empty((chains, rows), dtype=np.uint8)}


def _named_stats(sampler: str, values, arrays: dict) -> dict:
    """arviz's sample_stats of a phase: a random walk has no energy, no
    trajectory and never diverges."""
    names = ("acceptance_rate", "step_size") if sampler == "metropolis" else tuple(arrays)
    stats = {"lp": values, **{name: arrays[name] for name in names}}
    if "diverging" in stats:
        stats["diverging"] = stats["diverging"].astype(bool)
    return stats


# The optimal random-walk proposal for a Gaussian target of covariance S in
# d coordinates is N(0, 2.38^2 / d S) (Roberts & Rosenthal 2001): the step
# a Laplace metric starts from, per unit of step_size.
_RANDOM_WALK_SCALE = 2.38


def _laplace_start(logpdf, kind, x0):
    """(factor, mode): the Cholesky factor (d, d) of the covariance of the
    log-density's Laplace approximation, from the best of the starting
    points, and its mode, for a random walk's warm-up; None where it cannot
    be trusted (the chains then start from the identity, as without it) or
    d is beyond _engine.LAPLACE_MAX_DIM. A user exception propagates."""
    d = x0.shape[1]
    if d > _engine.LAPLACE_MAX_DIM:
        return None
    factor, _, mode, _ = _laplace(logpdf, kind, x0)
    return None if factor is None else (factor, mode)


def _laplace(logpdf, kind, x0):
    """(factor or None, why, mode or None, log-density evaluations) of the
    Laplace step from the rows of x0."""
    chains, d = x0.shape
    if kind == "native":
        spec = _native_spec(logpdf)
    elif kind == "batch":
        # One Hessian's difference points in one call (and every start).
        spec = _batch_spec(logpdf, d, max(chains, 1 + 2 * d + d * (d - 1) // 2))
    else:
        spec = _point_spec(logpdf, d)
    settings = ("metropolis", d, 1, 0.5, 0, 1, True, None, None)
    # The differences and trial steps probe points the chains may never
    # visit: NumPy's overflow warnings there are noise, and a value that is
    # not finite fails the step anyway.
    with np.errstate(all="ignore"):
        why, factor, mode, evaluations = _engine.Chains(spec, None, settings).laplace(_engine_array(x0))
    if factor is None:
        return None, why, None, evaluations
    return np.array(factor).reshape(d, d), why, np.array(mode), evaluations


def _gather(results, setup, before=None) -> Chains:
    """The Chains of a run's task results, appended to the Chains `before`
    when resumed (whose warm-up they keep)."""
    def stack(key):
        return np.concatenate([r[key] for r in results], axis=0)

    stats = {name: np.concatenate([r["stats"][name] for r in results], axis=0) for name in results[0]["stats"]}
    samples, values = stack("samples"), stack("logpdf_values")
    tune_samples, tune_values = stack("tune_samples"), stack("tune_logpdf_values")
    tune_stats = {name: np.concatenate([r["tune_stats"][name] for r in results], axis=0)
                  for name in results[0]["tune_stats"]}
    if before is not None:
        samples = np.concatenate([before.samples, samples], axis=1)
        values = np.concatenate([before.logpdf_values, values], axis=1)
        stats = {name: np.concatenate([before.stats[name], v], axis=1) for name, v in stats.items()}
        tune_samples, tune_values, tune_stats = before.tune_samples, before.tune_logpdf_values, before.tune_stats
    # The engine's acceptance and divergence counters run from the end of
    # the warm-up, across resumed runs.
    result = Chains(samples, values, stack("accept_rate"), stack("step_size"), tune_samples, tune_values,
                    stack("divergent"), setup["sampler"])
    result.stats, result.tune_stats = stats, tune_stats
    result.metric = stack("metric")
    result._resume = {"state": stack("state"), "generators": [g for r in results for g in r["generators"]],
                      "setup": {k: v for k, v in setup.items() if k not in ("logpdf", "grad", "generators")}}
    result._target = (setup["logpdf"], setup["grad"])
    return result


def _sample(sampler, logpdf, x0, *, grad, draws, tune, chains, thin, step_size, target_accept, leapfrog_steps,
            bounds, metric, random_state, executor, vectorized, progress, init, warn) -> Chains:
    _check_init(init)
    result = _run_chains(sampler, logpdf, x0, grad=grad, draws=draws, tune=tune, chains=chains, thin=thin,
                         step_size=step_size, target_accept=target_accept, leapfrog_steps=leapfrog_steps,
                         bounds=bounds, metric=metric, random_state=random_state, executor=executor,
                         vectorized=vectorized, init=init, progress=progress)
    result._check(warn, 4)
    return result


def _run_chains(sampler, logpdf, x0, *, grad, draws, tune, chains, thin, step_size, target_accept, leapfrog_steps,
                bounds, metric, random_state, executor, vectorized, init, progress) -> Chains:
    chains = _count(chains, "chains", 1)
    draws = _count(draws, "draws", 1)
    tune = _count(tune, "tune", 0)
    leapfrog_steps = _count(leapfrog_steps, "leapfrog_steps", 1)
    target_accept = _probability(target_accept, "target_accept")
    steps = _step_sizes(step_size, chains)
    d = np.shape(x0)[-1] if np.ndim(x0) >= 1 else 0
    lo, hi = _bounds(bounds, max(d, 1))
    x0, _ = _starting_points(x0, chains, lo, hi)
    thin = _default_thin(sampler, x0.shape[1]) if thin is None else _count(thin, "thin", 1)
    if grad is not None and not callable(grad):
        raise TypeError(f"grad must be callable or None, not {type(grad).__name__}")
    if executor is not None and not hasattr(executor, "submit"):
        raise TypeError(f"executor must be a concurrent.futures.Executor (with submit), not {type(executor).__name__}")
    dense, metric0 = _chain_metric(sampler, metric, chains, d, lo is not None)
    kind = _kind_of(logpdf, x0, vectorized)
    generators = spawn(random_state, chains)
    if init == "jitter":
        x0 = _jittered(x0, generators, lo, hi)
    laplace = None
    if sampler == "metropolis" and tune > 0 and lo is None and dense and metric0 is None:
        # Once for the run, whatever runs the chains, so that they are the
        # same serially and on an executor.
        laplace = _laplace_start(logpdf, kind, x0)
        if laplace is not None:
            steps = steps * (_RANDOM_WALK_SCALE / np.sqrt(x0.shape[1]))
    setup = {"sampler": sampler, "logpdf": logpdf, "grad": grad, "kind": kind, "x0": x0, "steps": steps,
             "generators": generators, "tune": tune, "thin": thin, "target_accept": target_accept,
             "leapfrog_steps": leapfrog_steps, "lo": lo, "hi": hi, "dense": dense, "metric0": metric0,
             "laplace": laplace}
    return _gather(_execute(setup, draws, None, executor, progress), setup)


def _execute(setup, draws, saved, executor, progress):
    """The task results of the chains of `setup`, run for `draws` draws
    (from the state rows `saved` when resumed, else from their start), with
    a progress bar when `progress` asks for one."""
    chains = setup["x0"].shape[0]
    show = _progress_wanted(progress)
    iterations = draws + (setup["tune"] if saved is None else 0)
    with _ProgressBar(show, chains * iterations, setup["sampler"]) as bar:
        return _execute_tasks(setup, draws, saved, executor, bar.update if show else None)


def _execute_tasks(setup, draws, saved, executor, progress):
    """All chains in one group serially, one chain per thread for a
    compiled log-density, one chain per task on an executor."""
    chains = setup["x0"].shape[0]

    def task(first, last):
        metric0 = setup["metric0"]
        t = _Task(setup["sampler"], setup["logpdf"], setup["grad"], setup["kind"], setup["x0"][first:last],
                  setup["steps"][first:last], setup["generators"][first:last], first, draws, setup["tune"],
                  setup["thin"], setup["target_accept"], setup["leapfrog_steps"], setup["lo"], setup["hi"],
                  setup["dense"], None if metric0 is None else metric0[first:last], setup["laplace"])
        t.progress = progress
        t.saved = None if saved is None else saved[first:last]
        return t

    threaded = setup["kind"] == "native" and setup["grad"] is None and executor is None and chains > 1
    if executor is None and not threaded:
        return [_run_task(task(0, chains))]
    tasks = [task(c, c + 1) for c in range(chains)]
    stop = np.zeros(1, dtype=np.uint8)
    for t in tasks:
        t.stop = stop
    if threaded:
        workers = min(chains, os.cpu_count() or 1)
        with ThreadPoolExecutor(max_workers=workers) as pool:
            return _results(pool, tasks, stop)
    # The caller's executor: one chain per task, results in chain order; it
    # stays open.
    return _results(executor, tasks, stop)


def _default_thin(sampler: str, d: int) -> int:
    """A random walk's independent draws are about 3d steps apart: keeping
    every ceil(d/3)-th one leaves about nine per independent draw."""
    return -(-d // 3) if sampler == "metropolis" else 1


def _chain_metric(sampler, metric, chains, d, boxed):
    """(dense, starting words per chain or None) of metropolis or hmc.
    By default a random walk learns a dense metric (correlations from its
    draws) and hmc a diagonal one (scales from draws and gradients); on a
    box the mirroring needs a diagonal one."""
    if metric is None:
        metric = "dense" if sampler == "metropolis" and not boxed else "diag"
    if (isinstance(metric, str) and metric not in ("diag", "dense")) or isinstance(metric, LowRankMetric):
        raise ValueError(f"metric must be 'diag', 'dense' or an array, got {metric!r} (a low-rank metric is "
                         "for nuts)")
    kind, words = _starting_metric(metric, chains, d)
    dense = kind == "dense"
    if dense and sampler == "hmc":
        raise ValueError("hmc takes a diagonal metric ('diag' or variances of shape (d,)); nuts takes a dense one")
    if dense and boxed:
        raise ValueError("a dense metric cannot be used with bounds: proposals are mirrored coordinate by "
                         "coordinate, which needs a diagonal metric")
    return dense, None if isinstance(metric, str) else words


def _metric_of(words, chains, d, dense):
    """The engine's metric words as a user reads them: variances (chains, d)
    of a diagonal metric, covariances (chains, d, d) of a dense one."""
    words = np.array(words).reshape(chains, -1)
    if dense:
        factors = np.tril(words.reshape(chains, d, d))
        return np.einsum("cij,ckj->cik", factors, factors)
    return words**2


def _check_init(init):
    if init not in (None, "jitter"):
        raise ValueError(f"init must be None or 'jitter', got {init!r}")


def _jittered(x0, generators, lo, hi):
    """Each chain's start moved by a uniform draw in (-2, 2) per coordinate,
    from the chain's own stream (as Stan's default initialisation spreads
    chains); on a box, from the part of that cube inside it."""
    if lo is None:
        return x0 + np.stack([gen.uniform(-2.0, 2.0, size=x0.shape[1]) for gen in generators])
    low, high = np.maximum(x0 - 2.0, lo), np.minimum(x0 + 2.0, hi)
    return np.stack([gen.uniform(a, b) for gen, a, b in zip(generators, low, high)])


def _results(executor, tasks, stop):
    """The results of the tasks in order; on Ctrl-C (or a failed chain) the
    tasks not started are cancelled and those running on threads of this
    process stop within milliseconds, before the exception propagates."""
    futures = [executor.submit(_run_task, t) for t in tasks]
    try:
        return [f.result() for f in futures]
    except BaseException:
        stop[0] = 1
        for f in futures:
            f.cancel()
        raise


def metropolis(logpdf, x0, *, draws=1000, tune=1000, chains=4, thin=None, step_size=1.0, target_accept=0.234,
               bounds=None, metric=None, random_state=None, executor=None, vectorized=None, progress=None, init=None,
               warn=True) -> Chains:
    """Random-walk Metropolis chains on a log-density.

    Parameters
    ----------
    logpdf : callable or LowLevelCallable
        The log of an unnormalised density of d coordinates (see the module
        documentation for the three forms). -inf outside the support.
    x0 : array_like, shape (d,) or (chains, d)
        The starting point of every chain, or one per chain.
    draws : int
        Draws kept per chain.
    tune : int
        Tuning steps per chain before the first kept draw; they adapt the
        step size and metric and are kept apart (``Chains.tune_samples``).
    chains : int
        The number of chains.
    thin : int, optional
        Steps between kept draws; by default ``ceil(d / 3)``. A random walk
        at its best scale needs about 3d steps per independent draw, so
        without thinning 1000 draws of 30 coordinates hold about 10 per
        chain: too few for the chains to be compared (R-hat about 1.2 on a
        31-D logistic regression, 1.02-1.04 with the default).
    step_size : float or array_like of shape (chains,)
        The initial proposal scale; kept as given when ``tune=0``.
    target_accept : float in (0, 1)
        The acceptance rate tuning aims at (0.234 is optimal for many
        targets, Roberts, Gelman & Gilks 1997).
    bounds : None or (lower, upper)
        A box for the support; proposals leaving it are mirrored back.
    metric : None, "dense", "diag" or array_like
        The proposal's metric, adapted while tuning: "dense" (the default
        without bounds: correlations and scales from the draws, O(d^2) per
        step) or "diag" (the default on a box, O(d) per step); an array of
        shape (d,) (variances) or (d, d) (a covariance) is the starting
        value. Read back as ``Chains.metric``.
    random_state : None, int, SeedSequence, Generator or RandomState
        The source of one independent stream per chain.
    executor : concurrent.futures.Executor, optional
        Runs each chain as a task on it (a process pool or a Dask client's
        ``get_executor()``, say); the result is the same as serially. The
        executor is not shut down.
    vectorized : bool, optional
        Whether ``logpdf`` takes a batch (k, d); detected when None.
    progress : bool, optional
        A progress bar (tqdm) on stderr, with divergences and step size; by
        default when stderr is a terminal.
    init : None or "jitter"
        "jitter" moves each chain's start by a uniform draw in (-2, 2) per
        coordinate (from the chain's own stream; within ``bounds``).
    warn : bool
        Whether to check the chains (with arviz) and warn with a
        :class:`ConvergenceWarning` for each problem ``Chains.problems()``
        finds: R-hat, bulk and tail ESS, divergences.

    Returns
    -------
    Chains

    Notes
    -----
    A random walk cannot learn a dense covariance in d coordinates from its
    own draws in a short warm-up (they are about 3d steps apart), so when
    ``tune > 0``, without ``bounds`` and for d up to 100, the warm-up starts
    from the Laplace approximation of the log-density: damped Newton
    iterations with finite differences from the best of the starting points
    find the mode, and the inverse of the negated Hessian there is the
    starting proposal covariance, scaled by 2.38**2 / d (times
    ``step_size**2``; Roberts & Rosenthal 2001). This costs about
    d**2 / 2 evaluations of ``logpdf`` per Newton iteration (one call per
    iteration for a vectorized one). The warm-up's windows then refine that
    covariance with the draws, which count against it as much as they can
    tell (the starting covariance weighs as 3 d**2 steps). The chains still
    start from ``x0``; a tenth of the tuning steps propose from a
    multivariate t around the mode (accepted by the Metropolis-Hastings
    rule), which carries a chain that starts far out in the tails into the
    bulk, where a posterior-sized random walk would crawl. Where the
    approximation cannot be trusted (a value that is not finite near an
    iterate, a Hessian that is not negative definite at the end, no
    convergence, a mode far narrower than the bulk, as a funnel's neck is)
    the chains start from the identity metric instead, as they do on a box,
    for d above 100 and with ``tune=0``. Even with the right covariance a random walk needs about 3d
    steps per independent draw: in 30 coordinates, 1000 draws per chain
    hold about 10 independent ones.
    """
    return _sample("metropolis", logpdf, x0, grad=None, draws=draws, tune=tune, chains=chains, thin=thin,
                   step_size=step_size, target_accept=target_accept, leapfrog_steps=1, bounds=bounds, metric=metric,
                   random_state=random_state, executor=executor, vectorized=vectorized, progress=progress,
                   init=init, warn=warn)


def hmc(logpdf, x0, *, grad=None, draws=1000, tune=1000, chains=4, thin=1, step_size=1.0, leapfrog_steps=10,
        target_accept=0.9, bounds=None, metric=None, random_state=None, executor=None, vectorized=None, progress=None, init=None,
        warn=True) -> Chains:
    """Hamiltonian Monte Carlo chains on a log-density.

    Each transition draws a momentum, follows a trajectory of leapfrog steps
    and accepts its end point by its energy. The number of steps is drawn
    uniformly from 1 to ``2 * leapfrog_steps - 1`` and their size jittered by
    up to 20%, per transition: a fixed trajectory length resonates with the
    target's scales near it and barely moves them. Arguments as for
    :func:`metropolis`, and:

    Parameters
    ----------
    grad : callable, optional
        ``grad(x)`` returns the gradient of ``logpdf`` at x, shape (d,);
        without it, central differences of ``logpdf`` (2d calls per gradient).
    leapfrog_steps : int
        The mean number of leapfrog steps per transition.
    metric : None, "diag" or array_like of shape (d,)
        The diagonal metric adapted while tuning, from identity or from the
        given variances; read back as ``Chains.metric``.
    target_accept : float in (0, 1)
        The mean acceptance probability tuning aims at. Above nuts's 0.8:
        each rejection repeats a draw, and on a 100-dimensional Gaussian
        the repeats at 0.8 leave too few effective draws in the tails
        for R-hat below 1.01 from 4 x 1000 draws.

    Returns
    -------
    Chains
    """
    return _sample("hmc", logpdf, x0, grad=grad, draws=draws, tune=tune, chains=chains, thin=thin,
                   step_size=step_size, target_accept=target_accept, leapfrog_steps=leapfrog_steps, bounds=bounds,
                   metric=metric,
                   random_state=random_state, executor=executor, vectorized=vectorized, progress=progress,
                   init=init, warn=warn)


# ---- the No-U-Turn sampler -----------------------------------------------------------

# Iterations per engine call: small enough for a lively progress bar and a
# prompt Ctrl-C with a Python target, large enough that the call costs
# nothing beside the iterations.
_NUTS_PIECE = 50

# The C signatures of a compiled log-density for nuts: value and gradient
# together (the gradient written into the third argument), or the value
# alone (then central differences).
_NATIVE_JOINT = ("double (int, double *, double *)",)
_NATIVE_JOINT_WITH_DATA = ("double (int, double *, double *, void *)",)


class ConvergenceWarning(UserWarning):
    """The chains should not be trusted as they are: they disagree, are too
    short, diverged or hit a limit. The message says what failed."""


class FiniteDifferenceWarning(UserWarning):
    """A gradient sampler runs on central differences of the log-density,
    2d + 1 calls per leapfrog step instead of one."""


_STAT_NAMES = ("lp", "acceptance_rate", "step_size", "energy", "tree_depth", "n_steps", "diverging")


def _native_target(f):
    """The capsule of a compiled log-density for nuts, and whether it writes the gradient."""
    joint = _NATIVE_JOINT + _NATIVE_JOINT_WITH_DATA
    compiled = _functions.compiled_function(
        f, joint + _NATIVE_PLAIN + _NATIVE_WITH_DATA, shown=(_NATIVE_JOINT[0], _NATIVE_PLAIN[0]),
        cfunc_label="a compiled log-density for nuts (writing the gradient into its third argument)",
        low_level_label="a LowLevelCallable log-density for nuts")
    return compiled, compiled.signature in joint


def _scalar_of(value, what: str) -> float:
    if type(value) is float:
        return value
    v = np.asarray(value, dtype=np.float64)
    if v.size != 1:
        raise ValueError(f"{what} must return one number, got shape {v.shape}")
    return float(v.reshape(()))


def _python_target(logpdf, grad, d: int, vectorized: bool):
    """(kind, fn, x, g): fn() evaluates at x, writes the gradient into g and
    returns the value. An arithmetic overflow inside the user's function is
    NaN, which the sampler takes as a divergence."""
    x = np.empty(d)
    g = np.empty(d)
    nan = float("nan")
    asarray = np.asarray
    float64 = np.float64

    def point():
        # A copy: the user's function may keep or change its argument.
        return x[None].copy() if vectorized else x.copy()

    def gradient_into(value):
        value = asarray(value, dtype=float64)
        if value.size != d:
            raise ValueError(f"the gradient must have shape ({d},), got shape {value.shape}")
        g[:] = value.reshape(d)

    if grad is True:
        def fn():
            try:
                out = logpdf(point())
            except (OverflowError, FloatingPointError):
                return nan
            try:
                value, gradient = out
            except (TypeError, ValueError):
                raise TypeError("with grad=True, logpdf must return the pair (log-density, gradient)") from None
            gradient_into(gradient)
            return _scalar_of(value, "logpdf")
        return "python", fn, x, g
    if grad is not None:
        def fn():
            try:
                p = point()
                value = _scalar_of(logpdf(p), "logpdf")
                if value == value and value != -np.inf:
                    gradient_into(grad(p))
            except (OverflowError, FloatingPointError):
                return nan
            return value
        return "python", fn, x, g

    def fn():
        try:
            return _scalar_of(logpdf(point()), "logpdf")
        except (OverflowError, FloatingPointError):
            return nan
    return "python_value", fn, x, g


def _starting_metric(metric, chains: int, d: int):
    """(kind, words per chain): scales for "diag", a factor for "dense",
    LowRankMetric's words for "low_rank"; an array is a starting covariance
    (its diagonal: variances)."""
    if isinstance(metric, LowRankMetric):
        return "low_rank", metric._words(chains, d)
    if isinstance(metric, str):
        if metric not in ("diag", "dense", "low_rank"):
            raise ValueError("metric must be 'diag', 'dense', 'low_rank', an array or a LowRankMetric, "
                             f"got {metric!r}")
        if metric == "diag":
            return "diag", np.ones((chains, d))
        if metric == "low_rank":
            return "low_rank", LowRankMetric(np.ones(d), np.zeros((d, 0)), np.zeros(0))._words(chains, d)
        return "dense", np.tile(np.eye(d).reshape(-1), (chains, 1))
    m = np.asarray(metric, dtype=np.float64)
    if m.shape == (d,):
        if not np.all(np.isfinite(m) & (m > 0)):
            raise ValueError("a diagonal metric must hold positive finite variances")
        return "diag", np.tile(np.sqrt(m), (chains, 1))
    if m.shape == (d, d):
        if not np.all(np.isfinite(m)) or not np.allclose(m, m.T):
            raise ValueError("a dense metric must be a finite symmetric matrix")
        try:
            factor = np.linalg.cholesky(m)
        except np.linalg.LinAlgError:
            raise ValueError("a dense metric must be positive definite") from None
        return "dense", np.tile(factor.reshape(-1), (chains, 1))
    raise ValueError(f"a metric array must have shape ({d},) (variances) or ({d}, {d}) (a covariance), "
                     f"got shape {m.shape}")


class LowRankMetric:
    """The low-rank metric of :func:`nuts` (``metric="low_rank"``): the
    covariance (inverse mass matrix)

        C = D^1/2 (I + U (diag(eigenvalues) - I) U^T) D^1/2

    with D = diag(variances), and U's k orthonormal columns the directions
    (in the space scaled by D^-1/2) where the target's variance is an
    eigenvalue instead of 1. Work per leapfrog step is O(dk) and a chain
    keeps O(dk) numbers, where a dense metric needs O(d^2).

    ``Chains.metric`` of a low-rank run holds every chain's parts with a
    leading chain axis: ``variances`` (chains, d), ``vectors`` (chains, d, k)
    and ``eigenvalues`` (chains, k), k the largest rank among the chains
    (a chain of smaller rank has eigenvalues 1 and zero columns beyond its
    own, which change nothing). ``metric[c]`` is chain c's metric and
    ``covariance()`` the dense C, shape (..., d, d). Either may be passed as
    ``metric=`` to :func:`nuts`: one chain's metric starts every chain, one
    with a chain axis starts each chain from its own.

    Parameters
    ----------
    variances : array_like, shape (..., d)
        Positive finite.
    vectors : array_like, shape (..., d, k)
        Orthonormal columns (zero columns allowed with eigenvalue 1); k at
        most 10.
    eigenvalues : array_like, shape (..., k)
        Positive finite.
    """

    max_rank = 10

    def __init__(self, variances, vectors, eigenvalues):
        self.variances = np.asarray(variances, dtype=np.float64)
        self.vectors = np.asarray(vectors, dtype=np.float64)
        self.eigenvalues = np.asarray(eigenvalues, dtype=np.float64)
        v, u, e = self.variances, self.vectors, self.eigenvalues
        if v.ndim < 1 or u.shape != v.shape + e.shape[-1:] or e.shape[:-1] != v.shape[:-1]:
            raise ValueError(f"a LowRankMetric needs variances (..., d), vectors (..., d, k) and eigenvalues "
                             f"(..., k) of matching shapes, got {v.shape}, {u.shape} and {e.shape}")
        if not np.all(np.isfinite(v) & (v > 0)) or not np.all(np.isfinite(e) & (e > 0)):
            raise ValueError("a LowRankMetric needs positive finite variances and eigenvalues")
        if not np.all(np.isfinite(u)):
            raise ValueError("a LowRankMetric needs finite vectors")

    def __getitem__(self, chain) -> "LowRankMetric":
        if self.variances.ndim < 2:
            raise IndexError("this LowRankMetric has no chain axis")
        return LowRankMetric(self.variances[chain], self.vectors[chain], self.eigenvalues[chain])

    def covariance(self) -> np.ndarray:
        """C as a dense array, shape (..., d, d)."""
        u = self.vectors
        inner = np.eye(u.shape[-2]) + np.einsum("...ik,...k,...jk->...ij", u, self.eigenvalues - 1.0, u)
        s = np.sqrt(self.variances)
        return s[..., :, None] * inner * s[..., None, :]

    def __repr__(self) -> str:
        return (f"LowRankMetric(d={self.variances.shape[-1]}, rank={self.eigenvalues.shape[-1]}, "
                f"shape={self.variances.shape[:-1]})")

    def _words(self, chains: int, d: int) -> np.ndarray:
        """The engine's words per chain: scales, rank, eigenvalues and
        directions, each padded to max_rank."""
        if self.variances.shape[-1] != d:
            raise ValueError(f"a LowRankMetric for {d} coordinates was expected, got {self.variances.shape[-1]}")
        if d < 2:
            raise ValueError("metric='low_rank' needs at least 2 coordinates (it is meant for d >= 50); "
                             "use metric='diag'")
        if self.variances.ndim == 1:
            one = self
            parts = [one] * chains
        elif self.variances.shape[:-1] == (chains,):
            parts = [self[c] for c in range(chains)]
        else:
            raise ValueError(f"a LowRankMetric must be one chain's or have a leading axis of {chains} chains, "
                             f"got shape {self.variances.shape}")
        k_max = self.max_rank
        words = np.zeros((chains, d + 1 + k_max + k_max * d))
        for c, part in enumerate(parts):
            used = part.eigenvalues != 1.0
            u, e = part.vectors[:, used], part.eigenvalues[used]
            if e.size > k_max:
                raise ValueError(f"a LowRankMetric holds at most {k_max} directions, got {e.size}")
            if not np.allclose(u.T @ u, np.eye(e.size), atol=1e-8):
                raise ValueError("a LowRankMetric's vectors must be orthonormal columns")
            words[c, :d] = np.sqrt(part.variances)
            words[c, d] = e.size
            words[c, d + 1:d + 1 + k_max] = 1.0
            words[c, d + 1:d + 1 + e.size] = e
            words[c, d + 1 + k_max:d + 1 + k_max + e.size * d] = u.T.reshape(-1)
        return words

    @classmethod
    def _of_words(cls, words: np.ndarray, d: int) -> "LowRankMetric":
        k_max = cls.max_rank
        ranks = words[:, d].astype(np.int64)
        k = int(ranks.max(initial=0))
        chains = words.shape[0]
        eigenvalues = np.ones((chains, k))
        vectors = np.zeros((chains, d, k))
        for c in range(chains):
            r = ranks[c]
            eigenvalues[c, :r] = words[c, d + 1:d + 1 + r]
            vectors[c, :, :r] = words[c, d + 1 + k_max:d + 1 + k_max + r * d].reshape(r, d).T
        return cls(words[:, :d] ** 2, vectors, eigenvalues)


class _NutsTask:
    """One group of NUTS chains, picklable for an executor's workers."""

    def __init__(self, logpdf, grad, native, vectorized, x0, metric0, metric_kind, generators, first_chain, draws,
                 tune, target_accept, max_tree_depth, progress):
        self.logpdf = logpdf
        self.grad = grad
        self.native = native
        self.vectorized = vectorized
        self.x0 = x0
        self.metric0 = metric0
        self.metric_kind = metric_kind
        self.generators = generators
        self.first_chain = first_chain
        self.draws = draws
        self.tune = tune
        self.target_accept = target_accept
        self.max_tree_depth = max_tree_depth
        self.progress = progress
        self.stop = np.zeros(1, dtype=np.uint8)
        # A resumed run: the saved state of these chains and the iterations
        # they had done; `iterations` to run now.
        self.saved = None
        self.done = 0
        self.iterations = tune + draws

    def __getstate__(self):
        state = dict(self.__dict__)
        state["progress"] = None  # a bar lives in the caller's process
        return state


def _nuts_engine(task: _NutsTask):
    chains, d = task.x0.shape
    if task.native:
        # `compiled` keeps the capsule's name alive while the engine reads it.
        compiled = _native_target(task.logpdf)[0]
        kind, native = "native", compiled.capsule
        fn, x, g = None, np.empty(d), np.empty(d)
    else:
        kind, fn, x, g = _python_target(task.logpdf, task.grad, d, task.vectorized)
        native = None
    return _engine.NutsChains(kind, fn, x, g, native, _engine_array(task.x0),
                              _engine_array(task.metric0), chains, task.tune, task.target_accept,
                              task.max_tree_depth, task.metric_kind)


def _run_nuts_task(task: _NutsTask) -> dict:
    chains, d = task.x0.shape
    engine = _nuts_engine(task)
    capsules = [gen.bit_generator.capsule for gen in task.generators]
    if task.saved is None:
        fault = engine.start(capsules)
        if fault is not None:
            raise _fault_error(fault, task.first_chain)
    else:
        engine.restore_state(_engine_array(task.saved), task.done)
    total = task.iterations
    out = {
        "samples": np.empty((chains, total, d)),
        "lp": np.empty((chains, total)),
        "acceptance_rate": np.empty((chains, total)),
        "step_size": np.empty((chains, total)),
        "energy": np.empty((chains, total)),
        "tree_depth": np.empty((chains, total), dtype=np.int64),
        "n_steps": np.empty((chains, total), dtype=np.int64),
        "diverging": np.empty((chains, total), dtype=np.uint8),
    }
    engine.record_into(out["samples"], out["lp"], out["acceptance_rate"], out["step_size"], out["energy"],
                       out["tree_depth"], out["n_steps"], out["diverging"])
    done = 0
    while done < total:
        if task.stop[0]:
            raise KeyboardInterrupt("the run was abandoned")
        n = min(_NUTS_PIECE, total - done)
        fault = engine.advance(capsules, n, task.stop)
        if fault is not None:
            raise _fault_error(fault, task.first_chain)
        done += n
        if task.progress is not None:
            task.progress(chains * n, out, done)
    out["diverging"] = out["diverging"].view(np.bool_)
    if task.metric_kind == "low_rank":
        # A low-rank metric's words, read with every task's in _nuts_chains.
        out["metric"] = np.array(engine.metric()).reshape(chains, -1)
    else:
        out["metric"] = _metric_of(engine.metric(), chains, d, task.metric_kind == "dense")
    out["final_step_size"] = np.array(engine.step_sizes())
    out["state"] = np.array(engine.save_state()).reshape(chains, -1)
    out["generators"] = task.generators
    return out


def nuts(logpdf, x0, *, grad=None, draws=1000, tune=1000, chains=4, target_accept=0.8, max_tree_depth=10,
         metric="diag", random_state=None, executor=None, progress=None, vectorized=None, init=None,
         warn=True) -> Chains:
    """The No-U-Turn sampler (Hoffman & Gelman 2014) on a smooth log-density.

    Each transition draws a momentum and grows a trajectory of leapfrog
    steps by doubling until it turns back on itself (the generalised
    criterion of Betancourt 2017) or reaches ``2**max_tree_depth`` steps,
    and draws the next state from it by weight (multinomial sampling). A
    trajectory whose energy error passes 1000, or that meets a NaN or
    infinite value or gradient (or an ``OverflowError`` or
    ``FloatingPointError`` raised by the log-density), ends there and is
    marked divergent; the chain goes on.

    Warm-up: ``tune`` iterations adapt the step size by dual averaging
    toward ``target_accept`` and the metric in windows of doubling length
    (after a first 75 iterations, before a last 50; scaled down for short
    warm-ups). A diagonal metric is estimated from the draws and the
    gradients together, so that scales spanning many orders of magnitude
    are learnt from a short window; a dense one from the draws, its
    correlations shrunk toward zero; a low-rank one is the diagonal one
    times the directions where the draws and gradients of the window's
    last 100 iterations, scaled by it, still disagree with unit variance
    (their covariances' geometric mean, eigenvalues beyond a factor 2 of 1,
    Seyboldt et al.'s "Preconditioning for Hamiltonian Monte Carlo").

    Parameters
    ----------
    logpdf : callable or compiled function
        The log of an unnormalised density of d coordinates, -inf outside
        the support. A Python function of one point (an ndarray (d,)); or a
        ``scipy.LowLevelCallable`` / numba ``cfunc`` with the C signature
        ``double (int d, double *x, double *grad)`` that returns the value
        and writes the gradient (``... , void *user_data`` allowed), run on
        one thread per chain without the interpreter lock; or one with the
        signature ``double (int d, double *x)`` (gradient by differences).
    x0 : array_like, shape (d,) or (chains, d)
        The starting point of every chain, or one per chain.
    grad : None, callable or True
        ``grad(x)`` returns the gradient (d,); ``True`` declares that
        ``logpdf`` returns the pair ``(value, gradient)``; None for a
        compiled joint function, and otherwise central differences
        (2d + 1 calls per step; a ``FiniteDifferenceWarning`` says so).
    draws, tune, chains : int
        Kept draws and warm-up iterations per chain, and the number of chains.
    target_accept : float in (0, 1)
        The mean acceptance statistic the step size aims at.
    max_tree_depth : int
        The largest number of doublings of a trajectory.
    metric : "diag", "dense", "low_rank", array_like or LowRankMetric
        The metric adapted; an array of shape (d,) (variances) or (d, d) (a
        covariance), or a :class:`LowRankMetric` (such as another run's
        ``Chains.metric``), is the starting value, adapted further when
        ``tune > 0``. "low_rank" (d >= 2, meant for d >= 50) corrects the
        diagonal metric in at most 10 directions, at O(d) memory and work
        per step times their number.
    random_state : None, int, SeedSequence, Generator or RandomState
        The source of one independent stream per chain.
    executor : concurrent.futures.Executor, optional
        Runs each chain as a task on it; the result is the same as without.
    progress : bool, optional
        A progress bar (tqdm) on stderr; by default when stderr is a terminal.
    vectorized : bool, optional
        True when ``logpdf`` (and ``grad``) take a batch (k, d): each call
        then gets one point as shape (1, d).
    init : None or "jitter"
        "jitter" moves each chain's start by a uniform draw in (-2, 2) per
        coordinate (from the chain's own stream).
    warn : bool
        Whether to check the chains (with arviz) and warn with a
        ``ConvergenceWarning`` when they should not be trusted.

    Returns
    -------
    Chains
        With per-draw statistics (``Chains.stats``) and the adapted
        ``metric``; a user exception other than an arithmetic overflow
        stops the run and propagates.

    Reproducibility: chains never share a call, so the same
    ``random_state`` gives bit-identical chains with or without an
    executor, on threads or in processes.
    """
    chains = _count(chains, "chains", 1)
    draws = _count(draws, "draws", 1)
    tune = _count(tune, "tune", 0)
    max_tree_depth = _count(max_tree_depth, "max_tree_depth", 1)
    if max_tree_depth > 30:
        raise ValueError(f"max_tree_depth must be at most 30, got {max_tree_depth}")
    target_accept = _probability(target_accept, "target_accept")
    x0, _ = _starting_points(x0, chains, None, None)
    d = x0.shape[1]
    metric_kind, metric0 = _starting_metric(metric, chains, d)
    if executor is not None and not hasattr(executor, "submit"):
        raise TypeError(f"executor must be a concurrent.futures.Executor (with submit), not {type(executor).__name__}")
    native = _functions.is_native(logpdf)
    if native:
        if grad is not None:
            raise ValueError("a compiled log-density for nuts brings its own gradient (signature "
                             f"'{_NATIVE_JOINT[0]}'); pass grad=None")
        joint = _native_target(logpdf)[1]
    else:
        if not callable(logpdf):
            raise TypeError(f"logpdf must be callable or a compiled function, not {type(logpdf).__name__}")
        if grad is not None and grad is not True and not callable(grad):
            raise TypeError(f"grad must be None, True or callable, not {type(grad).__name__}")
        joint = grad is not None
    if not joint:
        warnings.warn("nuts runs on central differences of logpdf (2d + 1 calls per leapfrog step, about "
                      "two thirds of the digits): pass grad= for speed and accuracy", FiniteDifferenceWarning,
                      stacklevel=2)
    _check_init(init)
    generators = spawn(random_state, chains)
    if init == "jitter":
        x0 = _jittered(x0, generators, None, None)
    setup = {"logpdf": logpdf, "grad": grad, "native": native, "vectorized": bool(vectorized), "x0": x0,
             "metric0": metric0, "metric_kind": metric_kind, "generators": generators, "draws": draws, "tune": tune,
             "target_accept": target_accept, "max_tree_depth": max_tree_depth}
    results = _run_nuts(setup, None, executor, progress)
    result = _nuts_chains(results, setup, tune, None)
    result._check(warn, 3)
    return result


def _run_nuts(setup, resume, executor, progress):
    """Runs the chains of `setup` (fresh, or from resume = (states, done,
    iterations)) in groups: all in one for Python targets, one per thread
    for compiled ones, one per task on an executor."""
    chains = setup["x0"].shape[0]
    iterations = setup["tune"] + setup["draws"] if resume is None else resume[2]
    show = _progress_wanted(progress)
    with _ProgressBar(show, chains * iterations) as bar:
        def task(first, last):
            t = _NutsTask(setup["logpdf"], setup["grad"], setup["native"], setup["vectorized"],
                          setup["x0"][first:last], setup["metric0"][first:last], _metric_kind(setup),
                          setup["generators"][first:last], first, setup["draws"], setup["tune"],
                          setup["target_accept"], setup["max_tree_depth"], bar.update if show else None)
            if resume is not None:
                t.saved, t.done, t.iterations = resume[0][first:last], resume[1], resume[2]
            return t

        if executor is None and not (setup["native"] and chains > 1):
            return [_run_nuts_task(task(0, chains))]
        tasks = [task(c, c + 1) for c in range(chains)]
        stop = np.zeros(1, dtype=np.uint8)
        for t in tasks:
            t.stop = stop
        if executor is None:
            with ThreadPoolExecutor(max_workers=min(chains, os.cpu_count() or 1)) as pool:
                return _results_of(pool, tasks, stop, _run_nuts_task)
        return _results_of(executor, tasks, stop, _run_nuts_task)


def _metric_kind(setup) -> str:
    # Chains pickled before the low-rank metric say only whether theirs was dense.
    return setup.get("metric_kind") or ("dense" if setup.get("dense") else "diag")


def _results_of(executor, tasks, stop, run):
    futures = [executor.submit(run, t) for t in tasks]
    try:
        return [f.result() for f in futures]
    except BaseException:
        stop[0] = 1
        for f in futures:
            f.cancel()
        raise


def _nuts_chains(results, setup, tune, before) -> Chains:
    """The Chains of a run whose first `tune` recorded iterations are
    warm-up, appended to the Chains `before` when resumed."""
    def stack(key):
        return np.concatenate([r[key] for r in results], axis=0)

    samples = stack("samples")
    stats = {name: stack(name) for name in _STAT_NAMES}
    kept = {name: v[:, tune:] for name, v in stats.items()}
    tune_stats = {name: v[:, :tune] for name, v in stats.items()}
    tune_samples = samples[:, :tune]
    samples = samples[:, tune:]
    if before is not None:
        kept = {name: np.concatenate([before.stats[name], v], axis=1) for name, v in kept.items()}
        tune_stats = before.tune_stats
        tune_samples = before.tune_samples
        samples = np.concatenate([before.samples, samples], axis=1)
    divergent = kept["diverging"].sum(axis=1).astype(np.int64)
    accept = kept["acceptance_rate"].mean(axis=1)
    result = Chains(samples, kept["lp"], accept, stack("final_step_size"), tune_samples, tune_stats["lp"],
                    divergent, "nuts")
    result.stats = kept
    result.tune_stats = tune_stats
    result.metric = stack("metric")
    if _metric_kind(setup) == "low_rank":
        result.metric = LowRankMetric._of_words(result.metric, samples.shape[2])
    result._max_tree_depth = setup["max_tree_depth"]
    done = (0 if before is None else before._resume["done"]) + stats["lp"].shape[1]
    result._resume = {"state": stack("state"), "done": done, "generators": [g for r in results for g in r["generators"]],
                      "setup": {k: v for k, v in setup.items() if k not in ("logpdf", "grad", "generators")}}
    result._target = (setup["logpdf"], setup["grad"])
    return result


def _progress_wanted(progress) -> bool:
    if progress is None:
        return bool(getattr(sys.stderr, "isatty", lambda: False)())
    return bool(progress)


class _ProgressBar:
    """A tqdm bar of iterations over all chains, with divergences and step
    size; a no-op when off or when tqdm is missing."""

    def __init__(self, show: bool, total: int, desc: str = "nuts"):
        self._bar = None
        self._lock = threading.Lock()
        self._divergent = {}
        if show:
            try:
                from tqdm.auto import tqdm
            except ImportError:
                return
            self._bar = tqdm(total=total, unit="it", desc=desc, leave=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self._bar is not None:
            self._bar.close()
        return False

    def update(self, n, out, done):
        if self._bar is None:
            return
        with self._lock:
            self._divergent[id(out)] = int(out["diverging"][:, :done].sum())
            step = float(out["step_size"][0, done - 1])
            self._bar.set_postfix(divergences=sum(self._divergent.values()), step=f"{step:.3g}", refresh=False)
            self._bar.update(n)


# ---- convergence checks ------------------------------------------------------------

_RHAT_LIMIT = 1.01
_ESS_PER_CHAIN = 100
_BFMI_LIMIT = 0.3
_WORST_SHOWN = 3


def _worst(values, bad, fmt) -> str:
    order = np.argsort(values)
    if bad == "high":
        order = order[::-1]
    return ", ".join(f"x[{i}] ({fmt(values[i])})" for i in order[:_WORST_SHOWN])


def _convergence_problems(result) -> list:
    az = _import_arviz()
    _, data = result._posterior()
    found = []
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        rhat = np.asarray(az.rhat(data)["x"].values, dtype=np.float64) if result.chains > 1 else None
        bulk = np.asarray(az.ess(data, method="bulk")["x"].values, dtype=np.float64)
        tail = np.asarray(az.ess(data, method="tail")["x"].values, dtype=np.float64)
    if rhat is not None:
        bad = ~(rhat <= _RHAT_LIMIT)
        if bad.any():
            found.append(f"R-hat above {_RHAT_LIMIT} for {int(bad.sum())} of {rhat.size} coordinates, worst "
                         f"{_worst(np.nan_to_num(rhat, nan=np.inf), 'high', lambda v: f'{v:.4f}')}: the chains "
                         "disagree; run longer or reparametrise")
    need = _ESS_PER_CHAIN * result.chains
    for name, ess in (("bulk", bulk), ("tail", tail)):
        bad = ~(ess >= need)
        if bad.any():
            found.append(f"{name} ESS below {_ESS_PER_CHAIN} per chain ({need}) for {int(bad.sum())} of "
                         f"{ess.size} coordinates, worst {_worst(np.nan_to_num(ess), 'low', lambda v: f'{v:.0f}')}")
    stats = result.stats
    n = int(stats["diverging"].sum()) if "diverging" in stats else int(np.sum(result.divergent))
    if n:
        found.append(f"{n} divergent transitions after warm-up: the sampler missed part of the posterior; "
                     "raise target_accept or reparametrise")
    if "tree_depth" in stats and result._max_tree_depth is not None:
        hit = int((stats["tree_depth"] >= result._max_tree_depth).sum())
        if hit:
            found.append(f"{hit} transitions reached max_tree_depth={result._max_tree_depth}: trajectories "
                         "were cut short")
    if "energy" in stats:
        energy = stats["energy"]
        with np.errstate(all="ignore"):
            bfmi = np.square(np.diff(energy, axis=1)).mean(axis=1) / np.var(energy, axis=1)
        low = np.flatnonzero(bfmi < _BFMI_LIMIT)
        if low.size:
            found.append(f"low BFMI (below {_BFMI_LIMIT}) in chains {low.tolist()}: the momentum resampling "
                         "explores the energy poorly; reparametrise")
    return found
