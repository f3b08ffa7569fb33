"""Checks of the benchmark targets' log-densities and gradients (not part of the test suite).

    python3 benchmarks/check_targets.py [name ...]

For every target and every form (NumPy, numba njit and cfunc, JAX when
installed):
* the posteriors' check value from model.md, log p(u_a) - log p(0);
* the synthetic targets against scipy's densities at random points;
* the gradient against central differences of the NumPy log-density, at
  the check point and at points around the starting region;
* the forms agree with each other.
Prints one line per target and exits non-zero on any failure.
"""
import ctypes
import os
import re
import sys

import numpy as np
from scipy import stats
from scipy.special import log_expit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from targets import POSTERIORS, SYNTHETIC, make  # noqa: E402
from targets.base import POSTERIOR_DIR  # noqa: E402
from targets.synthetic import corr60_covariance  # noqa: E402

try:
    import jax
    jax.config.update("jax_enable_x64", True)
except ImportError:
    jax = None


def check_value(name):
    with open(os.path.join(POSTERIOR_DIR, name, "model.md")) as f:
        text = f.read()
    point = re.search(r"u_a = \(([^)]*)\)", text).group(1)
    value = re.search(r"log p\(u_a\) - log p\(u_b\) = ([-0-9.e]+)", text).group(1).rstrip(".")
    return np.array([float(v) for v in point.replace("\n", " ").split(",")]), float(value)


def scipy_logpdf(name, t, u):
    """The synthetic targets' densities from scipy's distributions (normalised)."""
    if name == "gauss100":
        return stats.norm.logpdf(u, scale=t.ref_sd).sum()
    if name == "corr60":
        return stats.multivariate_normal.logpdf(u, cov=corr60_covariance())
    if name == "funnel":
        return stats.norm.logpdf(u[0], scale=3) + stats.norm.logpdf(u[1:], scale=np.exp(u[0] / 2)).sum()
    if name == "banana":
        return stats.norm.logpdf(u[0], scale=2) + stats.norm.logpdf(u[1] - 0.5 * (u[0] ** 2 - 4))
    if name == "logistic":
        from sklearn.datasets import load_breast_cancer
        X, y = load_breast_cancer(return_X_y=True)
        X = np.column_stack([np.ones(len(X)), (X - X.mean(0)) / X.std(0)])
        eta = X @ u
        return (y * log_expit(eta) + (1 - y) * log_expit(-eta)).sum() + stats.norm.logpdf(u).sum()
    raise KeyError(name)


def central_difference(f, u, h):
    g = np.empty_like(u)
    for k in range(len(u)):
        e = np.zeros_like(u)
        e[k] = h[k]
        g[k] = (f(u + e) - f(u - e)) / (2 * h[k])
    return g


def forms_of(t):
    nb = t.numba()
    c_logp = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.c_int, ctypes.POINTER(ctypes.c_double))(nb["cfunc_logp"].address)
    c_pair = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.c_int, ctypes.POINTER(ctypes.c_double),
                              ctypes.POINTER(ctypes.c_double))(nb["cfunc_logp_grad"].address)

    def numba_pair(u):
        g = np.empty(t.d)
        return nb["logp_grad"](u, g), g

    def cfunc_pair(u):
        u = np.ascontiguousarray(u, dtype=float)
        g = np.empty(t.d)
        dp = ctypes.POINTER(ctypes.c_double)
        lp = c_pair(t.d, u.ctypes.data_as(dp), g.ctypes.data_as(dp))
        assert lp == c_logp(t.d, u.ctypes.data_as(dp)), "the two cfuncs disagree"
        assert lp == nb["logp"](u), "njit logp and logp_grad disagree"
        return lp, g

    out = {"numpy": lambda u: (t.logpdf(u), t.grad(u)), "numpy pair": t.logp_and_grad,
           "numba": numba_pair, "cfunc": cfunc_pair}
    if jax is not None:
        f = jax.jit(jax.value_and_grad(t.jax_logp()))
        out["jax"] = lambda u: tuple(np.asarray(v) for v in f(u))
    return out


def check(name):
    t = make(name)
    failures = []
    rng = np.random.default_rng(7)
    points = list(t.inits(3, seed=11) * 0.5 + 0.5 * t.init_center)
    if name in POSTERIORS:
        u_a, expected = check_value(name)
        points.insert(0, u_a)
        reference = [(u_a, np.zeros(t.d), expected)]
    else:
        # Differences between two points, as for the posteriors: free of constants.
        reference = [(p, np.zeros(t.d), scipy_logpdf(name, t, p) - scipy_logpdf(name, t, np.zeros(t.d)))
                     for p in t.inits(3, seed=5) + 0.1 * rng.standard_normal((3, t.d))]
    forms = forms_of(t)
    for label, pair in forms.items():
        for u_a, u_b, expected in reference:
            got = pair(u_a)[0] - pair(u_b)[0]
            if not abs(got - expected) <= 1e-8 * max(1.0, abs(expected)):
                failures.append(f"{label}: log p difference {got!r}, expected {expected!r}")
    worst = 0.0
    for u in points:
        h = 1e-5 * np.maximum(1.0, np.abs(u))
        fd = central_difference(t.logpdf, u, h)
        scale = np.maximum(1.0, np.abs(fd))
        lp0 = t.logpdf(u)
        for label, pair in forms.items():
            lp, g = pair(u)
            if not abs(lp - lp0) <= 1e-9 * max(1.0, abs(lp0)):
                failures.append(f"{label}: log p {lp!r} differs from NumPy's {lp0!r}")
            err = float(np.max(np.abs(np.asarray(g) - fd) / scale))
            worst = max(worst, err)
            if err > 1e-5:
                failures.append(f"{label}: gradient off by {err:.2e} (relative) at u = {np.round(u, 3)}")
    status = "ok  " if not failures else "FAIL"
    print(f"{status} {name:26s} d = {t.d:3d}  forms: {', '.join(forms)}; worst gradient error {worst:.1e}")
    for f in failures[:6]:
        print("     ", f)
    return not failures


def main():
    names = sys.argv[1:] or POSTERIORS + SYNTHETIC
    results = [check(n) for n in names]
    sys.exit(0 if all(results) else 1)


if __name__ == "__main__":
    main()
