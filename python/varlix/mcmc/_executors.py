"""Chains run as tasks on an executor."""
from __future__ import annotations


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
