"""Markov chain Monte Carlo on a log-density.

Two samplers, both tuned automatically and run as several chains at once:

* :func:`metropolis`: random-walk Metropolis, for log-densities without a
  gradient;
* :func:`hmc`: Hamiltonian Monte Carlo, for smooth log-densities (with the
  gradient when you have it, central differences otherwise).

During ``tune`` steps each chain adapts its step size by dual averaging
(Hoffman & Gelman 2014) toward ``target_accept`` and its proposal metric
(the covariance of the target, dense without bounds, diagonal on a box) in
windows of doubling length; after tuning nothing adapts, and ``draws``
draws are kept per chain. Both return a :class:`Chains` result, with
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
whether they run serially, on threads or on the workers of an ``executor``.
"""
from __future__ import annotations

import ctypes
import operator
import os
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from . import _engine
from . import _functions
from ._random import spawn

__all__ = ["Chains", "hmc", "metropolis"]

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
        "metropolis" or "hmc".

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
        (chain, draw, x_dim); sample_stats holds ``lp`` (the log-density);
        the tuning draws go to the warmup groups. Raises ImportError when
        arviz is not installed.
        """
        az = _import_arviz()
        stats = {"lp": self.logpdf_values}
        dims = {"x": ["x_dim"]}
        kwargs = {}
        if self.tune_samples.shape[1] > 0:
            kwargs = {"warmup_posterior": {"x": self.tune_samples},
                      "warmup_sample_stats": {"lp": self.tune_logpdf_values}, "save_warmup": True}
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


def _is_double_pointer(t) -> bool:
    return isinstance(t, type) and issubclass(t, ctypes._Pointer) and t._type_ is ctypes.c_double


def _native_spec(f):
    """("native", address, user_data, with_data, owner) for a LowLevelCallable or numba cfunc."""
    if _functions._is_numba_cfunc(f):
        fn = f.ctypes
        args = tuple(fn.argtypes or ())
        plain = len(args) == 2 and args[0] is ctypes.c_int and _is_double_pointer(args[1])
        with_data = len(args) == 3 and args[0] is ctypes.c_int and _is_double_pointer(args[1]) and (
            args[2] is ctypes.c_void_p)
        if fn.restype is not ctypes.c_double or not (plain or with_data):
            raise ValueError(f"a compiled log-density must have the signature '{_NATIVE_PLAIN[0]}' or "
                             f"'{_NATIVE_WITH_DATA[0]}'")
        return ("native", f.address, None, with_data, f)
    signature = f.signature
    if signature not in _NATIVE_PLAIN + _NATIVE_WITH_DATA:
        raise ValueError(f"a LowLevelCallable log-density must have the signature '{_NATIVE_PLAIN[0]}' or "
                         f"'{_NATIVE_WITH_DATA[0]}', not '{signature}'")
    # A LowLevelCallable is the tuple (capsule, function, user_data); the
    # capsule is named by the signature.
    capsule = tuple.__getitem__(f, 0)
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype = ctypes.c_char_p
    get_name.argtypes = [ctypes.py_object]
    address = get_pointer(capsule, get_name(capsule))
    data = f.user_data
    if data is None:
        data_address = None
    elif isinstance(data, ctypes.c_void_p):
        data_address = data.value
    elif type(data).__name__ == "PyCapsule":
        data_address = get_pointer(data, get_name(data))
    else:
        data_address = operator.index(data)
    return ("native", address, data_address, signature in _NATIVE_WITH_DATA, f)


def _point_spec(f, d: int):
    def renew():
        array = np.empty(d)
        return array, array.ctypes.data

    return ("point", f, renew, None)


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

    return ("batch", evaluate, xs.ctypes.data, ys.ctypes.data, capacity, xs, ys)


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

    return ("gradient", evaluate, x.ctypes.data, g.ctypes.data, x, g)


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
                 target_accept, leapfrog_steps, lo, hi):
        self.sampler = sampler
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
        # A byte set to 1 when the caller gave up, read by the engine while
        # it runs: it stops tasks on threads of this process (a process
        # pool's worker holds a copy, and is stopped by its pending task
        # being cancelled or by the signal itself).
        self.stop = np.zeros(1, dtype=np.uint8)


def _run_task(task: _Task) -> dict:
    """Runs one group of chains from its start to its last draw."""
    chains, d = task.x0.shape
    hmc_without_gradient = task.sampler == "hmc" and task.grad is None
    if task.kind == "native":
        spec = _native_spec(task.logpdf)
    elif task.kind == "batch":
        # Central differences evaluate 2d points per chain at once.
        spec = _batch_spec(task.logpdf, d, chains * (2 * d if hmc_without_gradient else 1))
    else:
        spec = _point_spec(task.logpdf, d)
    grad = _gradient_spec(task.grad, d) if task.grad is not None else None
    lo_address = task.lo.ctypes.data if task.lo is not None else 0
    hi_address = task.hi.ctypes.data if task.hi is not None else 0
    settings = (task.sampler, d, chains, task.target_accept, task.tune, task.leapfrog_steps, task.lo is None,
                lo_address, hi_address)
    states = np.zeros((chains, _engine.chain_words(d)))
    x0 = np.ascontiguousarray(task.x0, dtype=np.float64)
    steps = np.ascontiguousarray(task.steps, dtype=np.float64)
    fault = _engine.chains_init(spec, grad, settings, states.ctypes.data, x0.ctypes.data, steps.ctypes.data)
    if fault is not None:
        raise _fault_error(fault, task.first_chain)
    capsules = [g.bit_generator.capsule for g in task.generators]

    def run(phase, total, thin, samples, values):
        per_call = max(1, _STEPS_PER_CALL // thin)
        for start in range(0, total, per_call):
            if task.stop[0]:
                raise KeyboardInterrupt("the run was abandoned")
            n = min(per_call, total - start)
            out = (samples.ctypes.data + start * d * 8, total * d, values.ctypes.data + start * 8, total)
            fault = _engine.chains_run(spec, grad, settings, capsules, states.ctypes.data, phase, n, thin, out,
                                       task.stop.ctypes.data)
            if fault is not None:
                raise _fault_error(fault, task.first_chain)

    tune_samples = np.empty((chains, task.tune, d))
    tune_values = np.empty((chains, task.tune))
    run("tune", task.tune, 1, tune_samples, tune_values)
    samples = np.empty((chains, task.draws, d))
    values = np.empty((chains, task.draws))
    run("draw", task.draws, task.thin, samples, values)
    report = np.array(_engine.chains_report(d, chains, states.ctypes.data)).reshape(chains, 4)
    steps_done = np.maximum(report[:, 2], 1.0)
    return {
        "samples": samples,
        "logpdf_values": values,
        "accept_rate": np.where(report[:, 2] > 0, report[:, 1] / steps_done, 0.0),
        "step_size": report[:, 0].copy(),
        "tune_samples": tune_samples,
        "tune_logpdf_values": tune_values,
        "divergent": report[:, 3].astype(np.int64),
    }


def _gather(results, sampler) -> Chains:
    def stack(key):
        return np.concatenate([r[key] for r in results], axis=0)

    return Chains(stack("samples"), stack("logpdf_values"), stack("accept_rate"), stack("step_size"),
                  stack("tune_samples"), stack("tune_logpdf_values"), stack("divergent"), sampler)


def _sample(sampler, logpdf, x0, *, grad, draws, tune, chains, thin, step_size, target_accept, leapfrog_steps,
            bounds, random_state, executor, vectorized) -> Chains:
    chains = _count(chains, "chains", 1)
    draws = _count(draws, "draws", 1)
    tune = _count(tune, "tune", 0)
    thin = _count(thin, "thin", 1)
    leapfrog_steps = _count(leapfrog_steps, "leapfrog_steps", 1)
    target_accept = _probability(target_accept, "target_accept")
    steps = _step_sizes(step_size, chains)
    d = np.shape(x0)[-1] if np.ndim(x0) >= 1 else 0
    lo, hi = _bounds(bounds, max(d, 1))
    x0, _ = _starting_points(x0, chains, lo, hi)
    if grad is not None and not callable(grad):
        raise TypeError(f"grad must be callable or None, not {type(grad).__name__}")
    if executor is not None and not hasattr(executor, "submit"):
        raise TypeError(f"executor must be a concurrent.futures.Executor (with submit), not {type(executor).__name__}")
    kind = _kind_of(logpdf, x0, vectorized)
    generators = spawn(random_state, chains)

    def task(first, last):
        return _Task(sampler, logpdf, grad, kind, x0[first:last], steps[first:last], generators[first:last], first,
                     draws, tune, thin, target_accept, leapfrog_steps, lo, hi)

    threaded = kind == "native" and grad is None and executor is None and chains > 1
    if executor is None and not threaded:
        return _gather([_run_task(task(0, chains))], sampler)
    tasks = [task(c, c + 1) for c in range(chains)]
    stop = np.zeros(1, dtype=np.uint8)
    for t in tasks:
        t.stop = stop
    if threaded:
        workers = min(chains, os.cpu_count() or 1)
        with ThreadPoolExecutor(max_workers=workers) as pool:
            return _gather(_results(pool, tasks, stop), sampler)
    # The caller's executor: one chain per task, results in chain order; it
    # stays open.
    return _gather(_results(executor, tasks, stop), sampler)


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


def metropolis(logpdf, x0, *, draws=1000, tune=1000, chains=4, thin=1, step_size=1.0, target_accept=0.234,
               bounds=None, random_state=None, executor=None, vectorized=None) -> Chains:
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
    thin : int
        Steps between kept draws.
    step_size : float or array_like of shape (chains,)
        The initial proposal scale; kept as given when ``tune=0``.
    target_accept : float in (0, 1)
        The acceptance rate tuning aims at (0.234 is optimal for many
        targets, Roberts, Gelman & Gilks 1997).
    bounds : None or (lower, upper)
        A box for the support; proposals leaving it are mirrored back.
    random_state : None, int, SeedSequence, Generator or RandomState
        The source of one independent stream per chain.
    executor : concurrent.futures.Executor, optional
        Runs each chain as a task on it (a process pool or a Dask client's
        ``get_executor()``, say); the result is the same as serially. The
        executor is not shut down.
    vectorized : bool, optional
        Whether ``logpdf`` takes a batch (k, d); detected when None.

    Returns
    -------
    Chains
    """
    return _sample("metropolis", logpdf, x0, grad=None, draws=draws, tune=tune, chains=chains, thin=thin,
                   step_size=step_size, target_accept=target_accept, leapfrog_steps=1, bounds=bounds,
                   random_state=random_state, executor=executor, vectorized=vectorized)


def hmc(logpdf, x0, *, grad=None, draws=1000, tune=1000, chains=4, thin=1, step_size=1.0, leapfrog_steps=10,
        target_accept=0.8, bounds=None, random_state=None, executor=None, vectorized=None) -> Chains:
    """Hamiltonian Monte Carlo chains on a log-density.

    Each transition draws a momentum, follows ``leapfrog_steps`` leapfrog
    steps (their size jittered by up to 20% per transition) and accepts the
    end point by its energy. Arguments as for :func:`metropolis`, and:

    Parameters
    ----------
    grad : callable, optional
        ``grad(x)`` returns the gradient of ``logpdf`` at x, shape (d,);
        without it, central differences of ``logpdf`` (2d calls per gradient).
    leapfrog_steps : int
        Leapfrog steps per transition.
    target_accept : float in (0, 1)
        The mean acceptance probability tuning aims at.

    Returns
    -------
    Chains
    """
    return _sample("hmc", logpdf, x0, grad=grad, draws=draws, tune=tune, chains=chains, thin=thin,
                   step_size=step_size, target_accept=target_accept, leapfrog_steps=leapfrog_steps, bounds=bounds,
                   random_state=random_state, executor=executor, vectorized=vectorized)
