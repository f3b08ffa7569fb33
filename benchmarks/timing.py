"""Timing shared by the benchmark scripts."""
import time


def best_of(repeats, fn):
    """The shortest of `repeats` runs of fn(), in seconds: the least disturbed."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best
