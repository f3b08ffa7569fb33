"""Ctrl-C reaches _varlix's long loops that call no Python function.

Each case runs in a child process whose interval timer raises
KeyboardInterrupt, as Ctrl-C does, while one long call runs (a timer thread
would wait for the interpreter lock that a drawing thread may hold). An
uninterrupted call takes seconds or minutes; an interrupted one must raise
KeyboardInterrupt within a fraction of a second."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent("""
    import json, signal, time
    import _varlix as vx

    def build(kind):
        if kind == "discrete":
            points = [float(i) for i in range(2 ** 16)]
            return vx.from_pmf(points, [1.0] * len(points)), 10 ** 7
        if kind == "hermite":
            options = vx.BuildOptions.hermite(256)
            return vx.from_histogram([0.0, 1.0, 2.0, 3.0], [1.0, 2.0, 1.0], options=options), 10 ** 7
        # Inversion of a histogram integrates and bisects in C++ alone.
        return vx.from_histogram([0.0, 1.0, 2.0, 3.0], [1.0, 2.0, 1.0]), 10 ** 5

    d, n = build({kind!r})
    before = d.sample_n(1000, seed=5)
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    start = time.perf_counter()
    try:
        d.sample_n(n, seed=1)
        outcome = "returned"
    except KeyboardInterrupt:
        outcome = "interrupted"
    elapsed = time.perf_counter() - start
    print(json.dumps({{"outcome": outcome, "elapsed": elapsed, "same_after": d.sample_n(1000, seed=5) == before}}))
""")


@pytest.mark.parametrize("kind", ["discrete", "hermite", "histogram"])
def test_ctrl_c_stops_a_long_batch(kind):
    out = subprocess.run([sys.executable, "-c", SCRIPT.format(kind=kind)], capture_output=True, text=True,
                         env=os.environ, check=True, timeout=120)
    report = json.loads(out.stdout)
    assert report["outcome"] == "interrupted"
    # The whole batch takes seconds; the stop comes within a block of draws.
    assert report["elapsed"] < 1.0
    assert report["same_after"]
