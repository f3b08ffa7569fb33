"""Metropolis and HMC chains run in tasks on the engine, serially, on threads or on an
executor."""
from __future__ import annotations

import dataclasses

import numpy as np

from .. import _engine
from ._engine_io import _engine_array, _fault_error
from ._executors import _ChainTask, _run_per_chain
from ._metric import _metric_of
from ._progress import _ProgressBar, _progress_wanted
from ._targets import _batch_spec, _gradient_spec, _native_spec, _overflow_diverges, _point_spec


# Steps per engine call. A native log-density is polled for interrupts
# within a call (every few milliseconds); a Python one sees them itself.
_STEPS_PER_CALL = 4096


@dataclasses.dataclass
class _Task(_ChainTask):
    """One group of Metropolis or HMC chains (resumed ones do not tune)."""

    sampler: str
    logpdf: object
    grad: object
    kind: str
    x0: np.ndarray
    steps: np.ndarray
    generators: list
    first_chain: int
    draws: int
    tune: int
    thin: int
    target_accept: float
    leapfrog_steps: int
    lo: object
    hi: object
    dense: bool
    metric0: object  # each chain's starting metric words, or None for the identity
    # The Laplace approximation the warm-up starts from, (factor (d, d),
    # mode (d,)), or None for the identity metric.
    laplace: object = None


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
    return _run_per_chain(executor, [task(c, c + 1) for c in range(chains)], _run_task)
