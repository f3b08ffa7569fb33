"""NUTS chains run in tasks on the engine, serially, on threads or on an executor."""
from __future__ import annotations

import dataclasses

import numpy as np

from .. import _engine
from ._engine_io import _engine_array, _fault_error
from ._executors import _ChainTask, _run_per_chain
from ._metric import _metric_of
from ._progress import _ProgressBar, _progress_wanted
from ._targets import _native_target, _python_target


# Iterations per engine call: small enough for a lively progress bar and a
# prompt Ctrl-C with a Python target, large enough that the call costs
# nothing beside the iterations.
_NUTS_PIECE = 50


_STAT_NAMES = ("lp", "acceptance_rate", "step_size", "energy", "tree_depth", "n_steps", "diverging")


@dataclasses.dataclass
class _NutsTask(_ChainTask):
    """One group of NUTS chains."""

    logpdf: object
    grad: object
    native: bool
    vectorized: bool
    x0: np.ndarray
    metric0: np.ndarray
    metric_kind: str
    generators: list
    first_chain: int
    draws: int
    tune: int
    target_accept: float
    max_tree_depth: int
    # A resumed run: the iterations its chains had done, and those to run
    # now (else tune + draws).
    done: int = dataclasses.field(init=False, default=0)
    iterations: int = dataclasses.field(init=False, default=0)

    def __post_init__(self):
        self.iterations = self.tune + self.draws


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
                          setup["target_accept"], setup["max_tree_depth"])
            t.progress = bar.update if show else None
            if resume is not None:
                t.saved, t.done, t.iterations = resume[0][first:last], resume[1], resume[2]
            return t

        if executor is None and not (setup["native"] and chains > 1):
            return [_run_nuts_task(task(0, chains))]
        return _run_per_chain(executor, [task(c, c + 1) for c in range(chains)], _run_nuts_task)


def _metric_kind(setup) -> str:
    # Chains pickled before the low-rank metric say only whether theirs was dense.
    return setup.get("metric_kind") or ("dense" if setup.get("dense") else "diag")
