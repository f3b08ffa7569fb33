"""Chains run as tasks on an executor."""
from __future__ import annotations

import dataclasses
import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np


@dataclasses.dataclass
class _ChainTask:
    """What every group of chains run as one task carries beside its
    sampler's settings; picklable, for an executor's workers."""

    # A byte set to 1 when the caller gave up, read by the engine while it
    # runs: it stops tasks on threads of this process (a process pool's
    # worker holds a copy, and is stopped by its pending task being
    # cancelled or by the signal itself).
    stop: np.ndarray = dataclasses.field(init=False, default_factory=lambda: np.zeros(1, dtype=np.uint8))
    # A progress bar's update, in the caller's process only.
    progress: object = dataclasses.field(init=False, default=None)
    # The state rows of these chains when resumed, else None.
    saved: object = dataclasses.field(init=False, default=None)

    def __getstate__(self):
        state = dict(self.__dict__)
        state["progress"] = None  # a bar lives in the caller's process
        return state


def _run_per_chain(executor, tasks, run):
    """run(task) for one-chain tasks sharing a stop flag: on the caller's
    executor (which stays open), else on threads of this process, one per
    chain up to the cores (a compiled log-density runs without the
    interpreter lock)."""
    stop = np.zeros(1, dtype=np.uint8)
    for t in tasks:
        t.stop = stop
    if executor is not None:
        return _results_of(executor, tasks, stop, run)
    with ThreadPoolExecutor(max_workers=min(len(tasks), os.cpu_count() or 1)) as pool:
        return _results_of(pool, tasks, stop, run)


def _results_of(executor, tasks, stop, run):
    """The results of run(task) for the tasks in order; on Ctrl-C (or a
    failed chain) the tasks not started are cancelled and those running on
    threads of this process stop within milliseconds, before the exception
    propagates."""
    futures = [executor.submit(run, t) for t in tasks]
    try:
        return [f.result() for f in futures]
    except BaseException:
        stop[0] = 1
        for f in futures:
            f.cancel()
        raise
