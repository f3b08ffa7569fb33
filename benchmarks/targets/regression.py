"""Gaussian linear regressions on (coefficients, log sigma): arK, diamonds, logearn_interaction_z.

    log p(u) = sum_k log prior(beta[k]) + log prior(sigma)
               - n s - (1/2) |y - A beta|^2 / sigma^2 + s,   sigma = exp(s)

with beta = u[:p], s = u[p]. Priors per coefficient: normal (a precision,
0 for flat) or Student-t; on sigma: Student-t restricted to sigma > 0, or
flat. The residuals are formed from the design itself (not from A'A), as
the model states them, so a gradient costs two products with A.
"""
import numpy as np
from numba import njit

from .base import Target, posterior_files, t_log_kernel, t_log_kernel_slope
from .compiled import add_row, forms, row_dot


class Regression:
    def __init__(self, A, y, prec, t_index=-1, t_coef=(1.0, 0.0, 1.0), sigma_t=None):
        self.A = np.ascontiguousarray(A, dtype=float)
        self.y = np.asarray(y, dtype=float)
        self.n, self.p = self.A.shape
        self.prec = np.asarray(prec, dtype=float)
        self.t_index = t_index        # the coefficient with a Student-t prior, or -1
        self.t_coef = t_coef          # its (nu, loc, scale)
        self.sigma_t = sigma_t        # (nu, scale) of sigma's half-t prior, or None (flat)

    def logpdf(self, u, xp=np):
        beta, s = u[:self.p], u[self.p]
        r = self.y - self.A @ beta
        lp = -0.5 * xp.sum(self.prec * beta * beta) - (self.n - 1) * s - 0.5 * (r @ r) * xp.exp(-2 * s)
        if self.t_index >= 0:
            lp = lp + t_log_kernel(beta[self.t_index], *self.t_coef, xp=xp)
        if self.sigma_t is not None:
            nu, scale = self.sigma_t
            lp = lp + t_log_kernel(xp.exp(s), nu, 0.0, scale, xp=xp)
        return lp

    def logp_and_grad(self, u):
        u = np.asarray(u, dtype=float)
        beta, s = u[:self.p], u[self.p]
        r = self.y - self.A @ beta
        w = np.exp(-2 * s)
        rr = r @ r
        g = np.empty(self.p + 1)
        g[:self.p] = (self.A.T @ r) * w - self.prec * beta
        g[self.p] = -(self.n - 1) + rr * w
        lp = -0.5 * np.sum(self.prec * beta * beta) - (self.n - 1) * s - 0.5 * rr * w
        if self.t_index >= 0:
            b = beta[self.t_index]
            lp += t_log_kernel(b, *self.t_coef)
            g[self.t_index] += t_log_kernel_slope(b, *self.t_coef)
        if self.sigma_t is not None:
            nu, scale = self.sigma_t
            sigma = np.exp(s)
            lp += t_log_kernel(sigma, nu, 0.0, scale)
            g[self.p] += sigma * t_log_kernel_slope(sigma, nu, 0.0, scale)
        return float(lp), g

    def numba_forms(self):
        A, y, prec, ti = self.A, self.y, self.prec, self.t_index
        nu, loc, scale = self.t_coef
        has_sigma_t = self.sigma_t is not None
        snu, sscale = self.sigma_t if has_sigma_t else (1.0, 1.0)

        @njit(cache=False)
        def logp(x):
            g = np.empty(0)
            return _nb_logp_grad(x, g, False, A, y, prec, ti, nu, loc, scale, has_sigma_t, snu, sscale)

        @njit(cache=False)
        def logp_grad(x, g):
            return _nb_logp_grad(x, g, True, A, y, prec, ti, nu, loc, scale, has_sigma_t, snu, sscale)

        return forms(logp, logp_grad)

    def target(self, name, names, mean, sd, center, report, prior_note=""):
        return Target(name=name, d=self.p + 1, logpdf=lambda u: float(self.logpdf(np.asarray(u, dtype=float))),
                      grad=lambda u: self.logp_and_grad(u)[1], logp_and_grad=self.logp_and_grad,
                      numba_forms=self.numba_forms, jax_forms=self.jax_forms, init_center=center,
                      names=names, ref_mean=mean, ref_sd=sd, report=report, prior_note=prior_note)

    def jax_forms(self):
        import jax.numpy as jnp
        A, y = jnp.asarray(self.A), jnp.asarray(self.y)
        shadow = Regression.__new__(Regression)
        shadow.__dict__.update(self.__dict__, A=A, y=y, prec=jnp.asarray(self.prec))
        return lambda u: shadow.logpdf(u, xp=jnp)


@njit
def _nb_logp_grad(x, g, with_grad, A, y, prec, ti, nu, loc, scale, has_sigma_t, snu, sscale):
    n, p = A.shape
    s = x[p]
    w = np.exp(-2.0 * s)
    if with_grad:
        for k in range(p + 1):
            g[k] = 0.0
    rr = 0.0
    for i in range(n):
        r = y[i] - row_dot(A, i, x)
        rr += r * r
        if with_grad:
            add_row(g, A, i, r)
    lp = -(n - 1) * s - 0.5 * rr * w
    for k in range(p):
        lp -= 0.5 * prec[k] * x[k] * x[k]
        if with_grad:
            g[k] = g[k] * w - prec[k] * x[k]
    if ti >= 0:
        z = (x[ti] - loc) / scale
        lp -= (nu + 1) / 2 * np.log1p(z * z / nu)
        if with_grad:
            g[ti] -= (nu + 1) * z / (scale * (nu + z * z))
    if with_grad:
        g[p] = -(n - 1) + rr * w
    if has_sigma_t:
        sigma = np.exp(s)
        z = sigma / sscale
        lp -= (snu + 1) / 2 * np.log1p(z * z / snu)
        if with_grad:
            g[p] -= (snu + 1) * z * z / (snu + z * z)
    return lp


def _sigma_last(u):
    out = np.array(u, dtype=float, copy=True)
    out[..., -1] = np.exp(out[..., -1])
    return out


def ark():
    data, names, mean, sd = posterior_files("arK")
    K, T, series = data["K"], data["T"], np.asarray(data["y"], dtype=float)
    lags = np.column_stack([series[K - k:T - k] for k in range(1, K + 1)])
    A = np.column_stack([np.ones(T - K), lags])
    model = Regression(A, series[K:], np.full(K + 1, 1 / 100), sigma_t=(1.0, 2.5))
    return model.target("arK", names, mean, sd, np.zeros(K + 2), _sigma_last)


def logearn():
    data, names, mean, sd = posterior_files("logearn_interaction_z")
    le = np.log(np.asarray(data["earn"], dtype=float))
    height = np.asarray(data["height"], dtype=float)
    male = np.asarray(data["male"], dtype=float)
    zh = (height - height.mean()) / height.std(ddof=1)
    A = np.column_stack([np.ones_like(zh), zh, male, zh * male])
    model = Regression(A, le, np.zeros(4))
    # Flat priors: starting far from the data (beta[1] near 9.5) is a fair test.
    return model.target("logearn_interaction_z", names, mean, sd, np.zeros(5), _sigma_last)


def diamonds():
    data, names, mean, sd = posterior_files("diamonds")
    X = np.asarray(data["X"], dtype=float)[:, 1:]
    Xc = X - X.mean(axis=0)
    A = np.column_stack([Xc, np.ones(len(Xc))])
    p = A.shape[1]
    prec = np.ones(p)
    prec[p - 1] = 0.0
    model = Regression(A, data["Y"], prec, t_index=p - 1, t_coef=(3.0, 8.0, 10.0), sigma_t=(3.0, 10.0))
    return model.target("diamonds", names, mean, sd, np.zeros(p + 1), _sigma_last)
