"""varlix.sampling beside scipy.stats.sampling, in one process.

Run with the package installed:  python3 benchmarks/bench_sampling.py [section ...]
Sections: setup, draws, threads, tdr, native, breadth (default: all).

setup    PINV on the standard normal (order 5, u-resolution 1e-10) from a
         Python density: density calls of each setup, and the largest
         u-error |F(ppf(u)) - u| on a grid of 10^6 u values with the exact CDF.
draws    ns per draw into an ndarray (10^6 draws, best CPU time of 5) for PINV,
         Hermite, the alias urn and the guide table (a 1000-value vector).
threads  Two threads on two PINV generators against one: throughput ratio.
tdr      TDR from a Python density and derivative: density calls per draw
         and time per draw at the same squeeze/hat ratio 0.99, with a density
         in Python floats and with a NumPy-vectorized one (which varlix calls
         once per batch of the trials its squeeze leaves open).
native   SimpleRatioUniforms with a LowLevelCallable (numba cfunc) against
         scipy's with the same density in Python; PINV setup with the
         LowLevelCallable against scipy's setup with the Python density.
breadth  Every continuous law of scipy's own test parameter list through
         PINV at 1e-10: how many build, the worst u-error, and the KS p-value
         of 10^5 draws.
"""
import math
import signal
import sys
import threading
import time

import numpy as np
from scipy import LowLevelCallable, stats
from scipy.stats import sampling as scipy_sampling

from varlix import sampling

sys.path.insert(0, __file__.rsplit("/", 1)[0])
from timing import best_of as best_wall  # noqa: E402,F401


def best_of(repeats, fn):
    """The shortest CPU time of `repeats` runs of fn(), in seconds. CPU time,
    not wall time: on a machine shared with other work the wall clock counts
    the time the process waited for a core. (The thread section uses the
    wall clock.)"""
    best = float("inf")
    for _ in range(repeats):
        start = time.process_time()
        fn()
        best = min(best, time.process_time() - start)
    return best

INV_SQRT_2PI = 1.0 / math.sqrt(2.0 * math.pi)


class CountedNormal:
    """The standard normal density and CDF in Python floats, counting calls."""

    def __init__(self):
        self.calls = 0

    def pdf(self, x):
        self.calls += 1
        return INV_SQRT_2PI * math.exp(-0.5 * x * x)

    def dpdf(self, x):
        return -x * INV_SQRT_2PI * math.exp(-0.5 * x * x)

    def cdf(self, x):
        return 0.5 * math.erfc(-x / math.sqrt(2.0))


class CountedVectorNormal:
    """The standard normal density in NumPy (arrays or floats), counting calls."""

    def __init__(self):
        self.calls = 0

    def pdf(self, x):
        self.calls += 1
        return INV_SQRT_2PI * np.exp(-0.5 * x * x)

    def dpdf(self, x):
        return -x * INV_SQRT_2PI * np.exp(-0.5 * x * x)


class Normal:
    def pdf(self, x):
        return INV_SQRT_2PI * math.exp(-0.5 * x * x)

    def dpdf(self, x):
        return -x * INV_SQRT_2PI * math.exp(-0.5 * x * x)

    def cdf(self, x):
        return 0.5 * math.erfc(-x / math.sqrt(2.0))


def max_u_error(gen, n=10**6):
    u = (np.arange(n) + 0.5) / n
    return float(np.max(np.abs(stats.norm.cdf(gen.ppf(u)) - u)))


def section_setup():
    print("== PINV setup: standard normal, order 5, u_resolution 1e-10, Python density")
    ours, theirs = CountedNormal(), CountedNormal()
    t_ours = best_of(1, lambda: sampling.NumericalInversePolynomial(ours))
    t_theirs = best_of(1, lambda: scipy_sampling.NumericalInversePolynomial(theirs))
    g_ours = sampling.NumericalInversePolynomial(Normal())
    g_theirs = scipy_sampling.NumericalInversePolynomial(Normal())
    print(f"  density calls: varlix {ours.calls:,}  scipy {theirs.calls:,}  ratio {ours.calls / theirs.calls:.2f}")
    print(f"  setup time:    varlix {t_ours * 1e3:.1f} ms  scipy {t_theirs * 1e3:.1f} ms")
    print(f"  intervals:     varlix {g_ours.intervals}  scipy {g_theirs.intervals}")
    print(f"  max u-error (10^6 u): varlix {max_u_error(g_ours):.2e}  scipy {max_u_error(g_theirs):.2e}")


def ns_per_draw(gen, n=10**6):
    return best_of(5, lambda: gen.rvs(n)) / n * 1e9


def section_draws():
    print("== ns per draw into an ndarray (10^6 draws, best CPU time of 5; both on a PCG64 Generator)")
    pv = np.random.default_rng(1).random(1000)

    def rs():
        return np.random.Generator(np.random.PCG64(1))

    pairs = {
        "PINV": (sampling.NumericalInversePolynomial(stats.norm(), random_state=rs()),
                 scipy_sampling.NumericalInversePolynomial(stats.norm(), random_state=rs())),
        "Hermite": (sampling.NumericalInverseHermite(stats.norm(), random_state=rs()),
                    scipy_sampling.NumericalInverseHermite(stats.norm(), random_state=rs())),
        "alias urn": (sampling.DiscreteAliasUrn(pv, random_state=rs()),
                      scipy_sampling.DiscreteAliasUrn(pv, random_state=rs())),
        "guide table": (sampling.DiscreteGuideTable(pv, random_state=rs()),
                        scipy_sampling.DiscreteGuideTable(pv, random_state=rs())),
    }
    uniforms = np.random.Generator(np.random.PCG64(1))
    out = np.empty(10**6)
    floor = best_of(5, lambda: uniforms.random(out=out)) / 10**6 * 1e9
    print(f"  (NumPy's own uniforms into an array: {floor:.1f} ns)")
    for name, (ours, theirs) in pairs.items():
        a, b = ns_per_draw(ours), ns_per_draw(theirs)
        print(f"  {name:12s} varlix {a:6.1f}  scipy {b:6.1f}  varlix/scipy {a / b:.2f}")


def section_threads():
    print("== two threads on two PINV generators vs one thread (4 x 2*10^6 draws per thread)")
    gens = [sampling.NumericalInversePolynomial(stats.norm(), random_state=i) for i in range(2)]

    def work(gen):
        for _ in range(4):
            gen.rvs(2 * 10**6)

    def one():
        work(gens[0])

    def two():
        threads = [threading.Thread(target=work, args=(g,)) for g in gens]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    t1, t2 = best_wall(3, one), best_wall(3, two)
    print(f"  one thread {t1 * 1e3:.0f} ms, two threads {t2 * 1e3:.0f} ms for twice the draws: "
          f"throughput x{2 * t1 / t2:.2f}")


def section_tdr():
    print("== TDR, Python density and derivative, c = -0.5, max_squeeze_hat_ratio 0.99 (10^5 draws)")
    n = 10**5
    for kind, law_class in (("Python floats", CountedNormal), ("NumPy-vectorized", CountedVectorNormal)):
        print(f"  density in {kind}:")
        rows = []
        for name, cls in (("varlix", sampling.TransformedDensityRejection),
                          ("scipy", scipy_sampling.TransformedDensityRejection)):
            law = law_class()
            gen = cls(law, random_state=1)
            law.calls = 0
            t = best_of(3, lambda: gen.rvs(n))
            rows.append((name, law.calls / (3 * n), t / n * 1e9, gen.squeeze_hat_ratio))
        for name, calls, ns, ratio in rows:
            print(f"  {name:7s} calls/draw {calls:.4f}  ns/draw {ns:7.1f}  squeeze/hat {ratio:.4f}")
        print(f"  time ratio varlix/scipy {rows[0][2] / rows[1][2]:.2f}")


def section_native():
    numba = __import__("numba")

    @numba.cfunc(numba.types.float64(numba.types.float64))
    def native_pdf(x):
        return 0.3989422804014327 * math.exp(-0.5 * x * x)

    class NativeNormal:
        pdf = LowLevelCallable(native_pdf.ctypes)

    print("== SROU: varlix with a LowLevelCallable vs scipy with the density in Python (10^6 draws)")
    ours = sampling.SimpleRatioUniforms(NativeNormal(), mode=0.0, random_state=1)
    theirs = scipy_sampling.SimpleRatioUniforms(Normal(), mode=0.0, random_state=1)
    a = ns_per_draw(ours)
    b = best_of(1, lambda: theirs.rvs(10**6)) / 10**6 * 1e9
    print(f"  ns/draw varlix {a:.1f}  scipy {b:.1f}  speed-up x{b / a:.1f}")

    print("== PINV setup: varlix with the LowLevelCallable vs scipy with the density in Python")
    a = best_of(5, lambda: sampling.NumericalInversePolynomial(NativeNormal()))
    b = best_of(5, lambda: scipy_sampling.NumericalInversePolynomial(Normal()))
    c = best_of(5, lambda: sampling.NumericalInversePolynomial(stats.norm()))
    d = best_of(5, lambda: scipy_sampling.NumericalInversePolynomial(stats.norm()))
    print(f"  setup varlix {a * 1e3:.2f} ms  scipy {b * 1e3:.2f} ms  speed-up x{b / a:.1f}")
    print(f"  (frozen scipy.stats normal, vectorized pdf: varlix {c * 1e3:.2f} ms, scipy {d * 1e3:.2f} ms)")


class _TooSlow(Exception):
    pass


def _alarm(signum, frame):
    raise _TooSlow


def section_breadth(seconds_per_law=30):
    from scipy.stats._distr_params import distcont

    print("== breadth: every law of scipy's distcont through PINV at u_resolution 1e-10")
    previous = signal.signal(signal.SIGALRM, _alarm)
    built, failed, worst, worst_name, low_p = 0, [], 0.0, "", []
    u = np.concatenate([np.linspace(1e-10, 1e-4, 1000), (np.arange(20000) + 0.5) / 20000,
                        1 - np.linspace(1e-10, 1e-4, 1000)])
    start = time.perf_counter()
    for name, params in distcont:
        frozen = getattr(stats, name)(*params)
        signal.setitimer(signal.ITIMER_REAL, seconds_per_law)
        try:
            gen = sampling.NumericalInversePolynomial(frozen, u_resolution=1e-10, random_state=1)
            signal.setitimer(signal.ITIMER_REAL, seconds_per_law)
            with np.errstate(all="ignore"):
                err = float(np.nanmax(np.abs(frozen.cdf(gen.ppf(u)) - u)))
            p = stats.kstest(gen.rvs(10**5), frozen.cdf).pvalue
        except _TooSlow:
            failed.append((name, "over time"))
            continue
        except Exception as error:  # noqa: BLE001 - every failure is reported
            failed.append((name, f"{type(error).__name__}: {str(error)[:70]}"))
            continue
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
        built += 1
        if err > worst:
            worst, worst_name = err, name
        if err > 1e-10:
            failed.append((name, f"built, u-error {err:.2e}"))
        if p < 1e-3:
            low_p.append((name, p))
    signal.signal(signal.SIGALRM, previous)
    total = len(distcont)
    print(f"  built {built} of {total} ({100 * built / total:.1f}%), worst u-error {worst:.2e} ({worst_name}), "
          f"{time.perf_counter() - start:.0f} s")
    print(f"  KS p-values below 1e-3: {low_p or 'none'}")
    for name, why in failed:
        print(f"  - {name}: {why}")


SECTIONS = {"setup": section_setup, "draws": section_draws, "threads": section_threads, "tdr": section_tdr,
            "native": section_native, "breadth": section_breadth}

if __name__ == "__main__":
    for name in sys.argv[1:] or list(SECTIONS):
        SECTIONS[name]()
