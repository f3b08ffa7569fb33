"""The three kinds of user function, threads and interrupts."""
import ctypes
import math
import signal
import sys
import threading

import numpy as np
import pytest

from varlix import _functions
from varlix.sampling import (
    DiscreteAliasUrn,
    NumericalInversePolynomial,
    RatioUniforms,
    SimpleRatioUniforms,
    TransformedDensityRejection,
)

numba = pytest.importorskip("numba")
scipy = pytest.importorskip("scipy")

SQRT_2PI = math.sqrt(2 * math.pi)


@numba.cfunc(numba.types.float64(numba.types.float64))
def native_normal(x):
    return math.exp(-0.5 * x * x)


@numba.cfunc(numba.types.float64(numba.types.float64))
def native_normal_slope(x):
    return -x * math.exp(-0.5 * x * x)


@numba.cfunc(numba.types.float64(numba.types.float64, numba.types.voidptr))
def native_scaled_normal(x, data):
    scale = numba.carray(data, 1, numba.types.float64)[0]
    return math.exp(-0.5 * (x / scale) ** 2)


class Density:
    def __init__(self, pdf, dpdf=None):
        self.pdf = pdf
        if dpdf is not None:
            self.dpdf = dpdf


class Counted:
    """Counts calls and points of a function of either kind."""

    def __init__(self, f):
        self.f, self.calls, self.points = f, 0, 0

    def __call__(self, x):
        self.calls += 1
        self.points += np.size(x)
        return self.f(x)


def scalar_normal(x):
    return math.exp(-0.5 * x * x)


def vector_normal(x):
    return np.exp(-0.5 * x * x)


SCALE = (ctypes.c_double * 1)(2.0)

KINDS = {
    "scalar": (scalar_normal, 1.0),
    "vector": (vector_normal, 1.0),
    "cfunc": (native_normal, 1.0),
    "low-level": (scipy.LowLevelCallable(native_normal.ctypes), 1.0),
    "low-level with data": (scipy.LowLevelCallable(native_scaled_normal.ctypes, ctypes.cast(SCALE, ctypes.c_void_p)),
                            2.0),
}


@pytest.mark.parametrize("name", list(KINDS))
def test_classification(name):
    f, _ = KINDS[name]
    expected = {"scalar": "scalar", "vector": "vector"}.get(name, "native")
    assert _functions.kind_of(f) == expected


@pytest.mark.parametrize("name", list(KINDS))
def test_every_kind_builds_the_same_pinv(name):
    f, scale = KINDS[name]
    gen = NumericalInversePolynomial(Density(f), random_state=1)
    reference = NumericalInversePolynomial(Density(scalar_normal), random_state=1)
    assert gen.intervals == reference.intervals
    np.testing.assert_allclose(gen.rvs(100), scale * reference.rvs(100), rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("name", list(KINDS))
def test_every_kind_draws_by_rejection(name):
    f, scale = KINDS[name]
    stats = pytest.importorskip("scipy.stats")
    gen = SimpleRatioUniforms(Density(f), mode=0.0, pdf_area=scale * SQRT_2PI, random_state=3)
    assert stats.kstest(gen.rvs(20000) / scale, stats.norm.cdf).pvalue > 1e-4
    b = scale * math.sqrt(2.0 / math.e)
    rou = RatioUniforms(f, umax=1.0, vmin=-b, vmax=b, random_state=3)
    assert stats.kstest(rou.rvs(20000) / scale, stats.norm.cdf).pvalue > 1e-4


def test_tdr_with_native_density_and_derivative():
    gen = TransformedDensityRejection(Density(native_normal, native_normal_slope), random_state=4)
    x = gen.rvs(50000)
    assert abs(x.mean()) < 0.02 and abs(x.std() - 1.0) < 0.02


def test_vectorized_setup_evaluates_in_batches():
    scalar = Counted(scalar_normal)
    vector = Counted(vector_normal)
    NumericalInversePolynomial(Density(scalar))
    NumericalInversePolynomial(Density(vector))
    # the same points (bar the two of the probe), far fewer calls
    assert abs(vector.points - 2 - scalar.points) <= 2
    assert vector.calls * 5 < scalar.calls


def test_vectorized_function_with_wrong_shape_is_reported():
    class Bad:
        def pdf(self, x):
            x = np.asarray(x)
            return np.exp(-x * x)[:2] if x.ndim else math.exp(-x * x)

    with pytest.raises(ValueError, match="shape"):
        NumericalInversePolynomial(Bad())


def test_native_function_with_another_signature_is_refused():
    @numba.cfunc(numba.types.float64(numba.types.float64, numba.types.float64))
    def two_args(x, y):
        return x + y

    with pytest.raises(ValueError, match="signature"):
        NumericalInversePolynomial(Density(two_args))
    with pytest.raises(ValueError, match="signature"):
        NumericalInversePolynomial(Density(scipy.LowLevelCallable(two_args.ctypes)))


def test_one_generator_shared_by_threads():
    gen = NumericalInversePolynomial(Density(vector_normal), random_state=np.random.Generator(np.random.PCG64(1)))
    results = []

    def work():
        results.append(gen.rvs(200000))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    draws = np.concatenate(results)
    # Every uniform of the shared stream used once: the union of the four
    # batches is a permutation of one serial batch of the same size.
    serial = NumericalInversePolynomial(Density(vector_normal), random_state=np.random.Generator(np.random.PCG64(1)))
    np.testing.assert_array_equal(np.sort(draws), np.sort(serial.rvs(800000)))


def test_native_rejection_draws_release_the_interpreter():
    # One engine call of some 0.1 s: another thread runs Python code during
    # it only if the call released the interpreter lock.
    import time

    gen = SimpleRatioUniforms(Density(native_normal), mode=0.0, pdf_area=SQRT_2PI, random_state=2)
    out = np.empty(4_000_000)
    ticks = []
    started = threading.Event()
    done = threading.Event()

    def ticker():
        started.set()
        while not done.is_set():
            ticks.append(time.perf_counter())

    t = threading.Thread(target=ticker)
    t.start()
    started.wait()
    source = gen._source
    with source.lock:
        begin = time.perf_counter()
        gen._engine.sample(source.capsule, out)
        end = time.perf_counter()
    done.set()
    t.join()
    assert sum(begin < tick < end for tick in ticks) > 0


@pytest.fixture
def alarm():
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    yield lambda seconds: signal.setitimer(signal.ITIMER_REAL, seconds)
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
def test_interrupt_stops_a_long_draw_with_a_python_density(alarm):
    gen = RatioUniforms(scalar_normal, umax=1.0, vmin=-0.86, vmax=0.86, random_state=1)
    alarm(0.05)
    with pytest.raises(KeyboardInterrupt):
        gen.rvs(50_000_000)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
def test_interrupt_stops_a_long_compiled_draw_between_chunks(alarm):
    gen = DiscreteAliasUrn([1.0, 2.0, 3.0], random_state=1)
    alarm(0.01)
    with pytest.raises(KeyboardInterrupt):
        # 200 MB of draws at a few ns each: far longer than the alarm
        for _ in range(20):
            gen.rvs(25_000_000)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
def test_interrupt_stops_a_long_setup(alarm):
    def slow(x):
        for _ in range(200):
            pass
        return math.exp(-0.5 * x * x)

    alarm(0.05)
    with pytest.raises(KeyboardInterrupt):
        for _ in range(1000):
            NumericalInversePolynomial(Density(slow), u_resolution=1e-15, order=3)


@pytest.mark.parametrize("build", [
    lambda d, rng: TransformedDensityRejection(d, random_state=rng),
    lambda d, rng: SimpleRatioUniforms(d, mode=0.0, pdf_area=SQRT_2PI, random_state=rng),
    lambda d, rng: RatioUniforms(d.pdf, umax=1.0, vmin=-0.86, vmax=0.86, random_state=rng),
])
def test_density_drawing_from_the_same_generator_does_not_deadlock(build):
    rng = np.random.default_rng(1)

    class UsesGenerator:
        def pdf(self, x):
            rng.random()  # takes the bit generator's lock
            return math.exp(-0.5 * x * x)

        def dpdf(self, x):
            return -x * math.exp(-0.5 * x * x)

    result = []
    worker = threading.Thread(target=lambda: result.append(build(UsesGenerator(), rng).rvs(2000)), daemon=True)
    worker.start()
    worker.join(60)
    assert result and result[0].shape == (2000,)
