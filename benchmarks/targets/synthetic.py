"""Synthetic targets: logistic regression, an ill-scaled Gaussian, Neal's funnel, a banana.

Each has a closed-form log-density written once for NumPy and JAX (``xp``),
a hand-written gradient, and numba loops.
"""
import numpy as np
from numba import njit

from .base import Target
from .compiled import add_row, forms, row_dot


def _target(name, d, logpdf, logp_and_grad, logp_grad, center, radius, names, mean=None, sd=None, note=""):
    @njit
    def logp(x):
        return logp_grad(x, np.empty(x.shape[0]))

    def jax_forms():
        import jax.numpy as jnp
        return lambda u: logpdf(u, xp=jnp)

    return Target(name=name, d=d, logpdf=lambda u: float(logpdf(np.asarray(u, dtype=float))),
                  grad=lambda u: logp_and_grad(u)[1], logp_and_grad=logp_and_grad,
                  numba_forms=lambda: forms(logp, logp_grad), jax_forms=jax_forms, init_center=center,
                  init_radius=radius, names=names, ref_mean=mean, ref_sd=sd, report=lambda u: np.asarray(u),
                  prior_note=note)


def logistic():
    """Breast-cancer diagnosis (scikit-learn's copy of the Wisconsin data), 30 standardised features
    and an intercept, prior Normal(0, 1) on each of the 31 coefficients. No exact answer: no reference."""
    from sklearn.datasets import load_breast_cancer
    features, labels = load_breast_cancer(return_X_y=True)
    z = (features - features.mean(axis=0)) / features.std(axis=0)
    X = np.column_stack([np.ones(len(z)), z])
    y = labels.astype(float)
    d = X.shape[1]

    def logpdf(u, xp=np):
        eta = X @ u
        return y @ eta - xp.sum(xp.logaddexp(0.0, eta)) - 0.5 * (u @ u)

    Xt = np.ascontiguousarray(X.T)

    def logp_and_grad(u):
        # One product with X and one exponential serve the value and the
        # gradient: log(1 + e^eta) = max(eta, 0) + log1p(e^-|eta|), and the
        # logistic function from the same e^-|eta|, neither overflowing.
        u = np.asarray(u, dtype=float)
        eta = X @ u
        e = np.exp(-np.abs(eta))
        lp = y @ eta - np.maximum(eta, 0.0).sum() - np.log1p(e).sum() - 0.5 * (u @ u)
        prob = np.where(eta >= 0, 1.0, e) / (1.0 + e)
        return float(lp), Xt @ (y - prob) - u

    @njit
    def logp_grad(u, g):
        n, m = X.shape
        lp = 0.0
        for k in range(m):
            g[k] = -u[k]
            lp -= 0.5 * u[k] * u[k]
        for i in range(n):
            eta = row_dot(X, i, u)
            e = np.exp(-abs(eta))   # as in logp_and_grad
            lp += y[i] * eta - (max(eta, 0.0) + np.log1p(e))
            r = y[i] - (1.0 if eta >= 0 else e) / (1.0 + e)
            add_row(g, X, i, r)
        return lp

    names = ["intercept"] + [f"beta[{k}]" for k in range(1, d)]
    return _target("logistic", d, logpdf, logp_and_grad, logp_grad, np.zeros(d), 1.0, names,
                   note=logistic.__doc__.split("\n")[0])


# Scales spaced evenly in log between 0.01 and 100: the log-uniform range, reproducibly.
GAUSS_SCALES = np.logspace(-2, 2, 100)


def gauss100():
    prec = 1 / GAUSS_SCALES ** 2
    d = len(prec)

    def logpdf(u, xp=np):
        return -0.5 * xp.sum(prec * u * u)

    def logp_and_grad(u):
        u = np.asarray(u, dtype=float)
        return float(logpdf(u)), -prec * u

    @njit
    def logp_grad(u, g):
        lp = 0.0
        for k in range(u.shape[0]):
            g[k] = -prec[k] * u[k]
            lp += g[k] * u[k]
        return 0.5 * lp

    return _target("gauss100", d, logpdf, logp_and_grad, logp_grad, np.zeros(d), 2.0,
                   [f"x[{k}]" for k in range(1, d + 1)], np.zeros(d), GAUSS_SCALES.copy())


CORR_D = 60


def corr60_covariance():
    """corr60's covariance: scales from 0.1 to 10 and three strong directions in the space they scale
    (variance ratios 400, 100 and 1/100)."""
    scales = np.logspace(-1, 1, CORR_D)
    u = np.linalg.qr(np.random.default_rng(0).standard_normal((CORR_D, 3)))[0]
    return scales[:, None] * (np.eye(CORR_D) + u @ np.diag([399.0, 99.0, -0.99]) @ u.T) * scales[None, :]


def corr60():
    """A 60-D Gaussian (corr60_covariance): far from a diagonal metric's reach, within a low-rank one's."""
    cov = corr60_covariance()
    prec = np.linalg.inv(cov)
    d = CORR_D

    def logpdf(u, xp=np):
        return -0.5 * (u @ (prec @ u))

    def logp_and_grad(u):
        u = np.asarray(u, dtype=float)
        g = -(prec @ u)
        return float(0.5 * (g @ u)), g

    @njit
    def logp_grad(u, g):
        lp = 0.0
        for i in range(u.shape[0]):
            s = 0.0
            for j in range(u.shape[0]):
                s -= prec[i, j] * u[j]
            g[i] = s
            lp += s * u[i]
        return 0.5 * lp

    return _target("corr60", d, logpdf, logp_and_grad, logp_grad, np.zeros(d), 2.0,
                   [f"x[{k}]" for k in range(1, d + 1)], np.zeros(d), np.sqrt(np.diag(cov)), note=corr60.__doc__)


FUNNEL_D = 10
FUNNEL_V_SD = 3.0


def funnel():
    """Neal's funnel: v ~ Normal(0, 3^2), x[i] | v ~ Normal(0, e^v), i = 1..9; u = (v, x)."""
    d = FUNNEL_D
    m = d - 1

    def logpdf(u, xp=np):
        v, x = u[0], u[1:]
        return -v * v / (2 * FUNNEL_V_SD ** 2) - 0.5 * m * v - 0.5 * (x @ x) * xp.exp(-v)

    def logp_and_grad(u):
        u = np.asarray(u, dtype=float)
        v, x = u[0], u[1:]
        e = np.exp(-v)
        g = np.concatenate([[-v / FUNNEL_V_SD ** 2 - 0.5 * m + 0.5 * (x @ x) * e], -x * e])
        return float(logpdf(u)), g

    @njit
    def logp_grad(u, g):
        v = u[0]
        e = np.exp(-v)
        xx = 0.0
        for k in range(1, u.shape[0]):
            xx += u[k] * u[k]
            g[k] = -u[k] * e
        g[0] = -v / FUNNEL_V_SD ** 2 - 0.5 * m + 0.5 * xx * e
        return -v * v / (2 * FUNNEL_V_SD ** 2) - 0.5 * m * v - 0.5 * xx * e

    # sd of x[i]: sqrt(E e^v) = exp(sd_v^2 / 4).
    sd = np.concatenate([[FUNNEL_V_SD], np.full(m, np.exp(FUNNEL_V_SD ** 2 / 4))])
    return _target("funnel", d, logpdf, logp_and_grad, logp_grad, np.zeros(d), 1.0,
                   ["v"] + [f"x[{k}]" for k in range(1, d)], np.zeros(d), sd, note=funnel.__doc__)


BANANA_A, BANANA_B = 2.0, 0.5


def banana():
    """x0 ~ Normal(0, a^2), x1 - b (x0^2 - a^2) ~ Normal(0, 1), a = 2, b = 0.5."""
    a2 = BANANA_A * BANANA_A

    def logpdf(u, xp=np):
        y = u[1] - BANANA_B * (u[0] * u[0] - a2)
        return -0.5 * (u[0] * u[0] / a2 + y * y)

    def logp_and_grad(u):
        u = np.asarray(u, dtype=float)
        y = u[1] - BANANA_B * (u[0] * u[0] - a2)
        return float(logpdf(u)), np.array([-u[0] / a2 + 2 * BANANA_B * u[0] * y, -y])

    @njit
    def logp_grad(u, g):
        y = u[1] - BANANA_B * (u[0] * u[0] - a2)
        g[0] = -u[0] / a2 + 2 * BANANA_B * u[0] * y
        g[1] = -y
        return -0.5 * (u[0] * u[0] / a2 + y * y)

    # x1 = y + b (x0^2 - a^2) has mean 0 and variance 1 + b^2 Var(x0^2) = 1 + 2 b^2 a^4.
    sd = np.array([BANANA_A, np.sqrt(1 + 2 * BANANA_B ** 2 * a2 * a2)])
    return _target("banana", 2, logpdf, logp_and_grad, logp_grad, np.zeros(2), 1.0, ["x0", "x1"],
                   np.zeros(2), sd, note=banana.__doc__)
