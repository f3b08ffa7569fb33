"""Chains run as tasks on an executor."""
from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np


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
