"""Ctrl-C reaches the varlix package's long loops that call no Python function.

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

# Native loops of the varlix package, each around a compiled function made
# slow on demand (a busy loop of WORK[0] iterations per call, about 0.5 ms at
# SLOW): Ctrl-C must be answered within a fraction of a second, however many
# draws, steps or evaluations were asked for. Each case builds what it needs
# with a fast function, then returns the long call.
NATIVE_SCRIPT = textwrap.dedent("""
    import ctypes, json, math, signal, sys, time
    from concurrent.futures import ThreadPoolExecutor
    import numba
    import numpy as np
    import scipy
    import varlix
    from varlix import mcmc
    from varlix.sampling import RatioUniforms, SimpleRatioUniforms, TransformedDensityRejection

    WORK = (ctypes.c_double * 1)(0.0)
    DATA = ctypes.cast(WORK, ctypes.c_void_p)
    SLOW = 20000.0
    f64 = numba.types.float64

    @numba.njit
    def spin(n, x):
        s = 0.0
        for i in range(int(n)):
            s += math.sin(x + i)
        return 0.0 * s

    @numba.cfunc(f64(f64, numba.types.voidptr))
    def pdf(x, data):
        return math.exp(-0.5 * x * x) + spin(numba.carray(data, 1, f64)[0], x)

    @numba.cfunc(f64(f64, numba.types.voidptr))
    def dpdf(x, data):
        return -x * math.exp(-0.5 * x * x) + spin(numba.carray(data, 1, f64)[0], x)

    @numba.cfunc(f64(numba.types.intc, numba.types.CPointer(f64), numba.types.voidptr))
    def logpdf(d, x, data):
        s = 0.0
        for i in range(d):
            s += x[i] * x[i]
        return -0.5 * s + spin(numba.carray(data, 1, f64)[0], x[0])

    PDF = scipy.LowLevelCallable(pdf.ctypes, DATA)
    DPDF = scipy.LowLevelCallable(dpdf.ctypes, DATA)
    LOGPDF = scipy.LowLevelCallable(logpdf.ctypes, DATA)

    class Density:
        def __init__(self, pdf, dpdf=None):
            self.pdf = pdf
            self.dpdf = dpdf

    def chains(**kw):
        return lambda: mcmc.metropolis(LOGPDF, np.zeros(2), draws=10 ** 6, tune=0, random_state=1, **kw)

    def case(kind):
        if kind == "setup":
            return lambda: varlix.from_pdf(PDF, u_resolution=1e-12)
        if kind == "statistics":
            # A quadrature takes a few hundred calls: 10 ms each.
            global SLOW
            SLOW *= 20
            d = varlix.from_pdf(PDF)
            return d.var
        if kind == "simple ratio of uniforms":
            return SimpleRatioUniforms(Density(PDF), mode=0.0, pdf_area=math.sqrt(2 * math.pi), random_state=1).rvs
        if kind == "ratio of uniforms":
            return RatioUniforms(PDF, umax=1.0, vmin=-0.86, vmax=0.86, random_state=1).rvs
        if kind == "transformed density rejection":
            return TransformedDensityRejection(Density(PDF, DPDF), random_state=1).rvs
        if kind == "chain":
            return chains(chains=1)
        if kind == "chains on threads":
            return chains(chains=2)
        if kind == "chains on an executor":
            return chains(chains=4, executor=POOL)

    POOL = ThreadPoolExecutor(max_workers=1)
    call = case({kind!r})
    WORK[0] = SLOW
    delay = 0.3
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    start = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, delay)
    try:
        call(10 ** 7) if call.__name__ == "rvs" else call()
        outcome = "returned"
    except KeyboardInterrupt:
        outcome = "interrupted"
    stopped = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, 0)
    # Tasks not started were cancelled: the executor is idle at once.
    POOL.shutdown(wait=True)
    drained = time.perf_counter()
    print(json.dumps({{"outcome": outcome, "late": stopped - start - delay, "drain": drained - stopped}}))
""")

NATIVE_LOOPS = ["setup", "statistics", "simple ratio of uniforms", "ratio of uniforms",
                "transformed density rejection", "chain", "chains on threads", "chains on an executor"]


@pytest.mark.parametrize("kind", NATIVE_LOOPS)
def test_ctrl_c_stops_a_native_loop_within_a_fraction_of_a_second(kind):
    pytest.importorskip("numba")
    pytest.importorskip("scipy")
    out = subprocess.run([sys.executable, "-c", NATIVE_SCRIPT.format(kind=kind)], capture_output=True, text=True,
                         env=os.environ, timeout=300)
    assert out.returncode == 0, out.stderr
    report = json.loads(out.stdout)
    assert report["outcome"] == "interrupted"
    # Polled every few milliseconds: 0.5 s leaves room for a loaded machine.
    assert report["late"] < 0.5
    assert report["drain"] < 0.5
