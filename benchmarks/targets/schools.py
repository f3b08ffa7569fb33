"""eight_schools_noncentered on u = (z[1..8], mu, log tau)."""
import numpy as np
from numba import njit

from .base import Target, posterior_files
from .compiled import forms


def eight_schools():
    data, names, mean, sd = posterior_files("eight_schools_noncentered")
    y = np.asarray(data["y"], dtype=float)
    prec = 1 / np.asarray(data["sigma"], dtype=float) ** 2
    J = len(y)

    def logpdf(u, xp=np):
        z, mu, s = u[:J], u[J], u[J + 1]
        tau = xp.exp(s)
        r = y - mu - tau * z
        return -0.5 * (z @ z) - 0.5 * xp.sum(r * r * prec) - mu * mu / 50 - xp.log1p(tau * tau / 25) + s

    def logp_and_grad(u):
        u = np.asarray(u, dtype=float)
        z, mu, s = u[:J], u[J], u[J + 1]
        tau = np.exp(s)
        r = y - mu - tau * z
        rp = r * prec
        q = tau * tau / 25
        g = np.concatenate([-z + tau * rp, [np.sum(rp) - mu / 25, tau * (z @ rp) - 2 * q / (1 + q) + 1]])
        return float(logpdf(u)), g

    @njit
    def logp_grad(x, g):
        mu, s = x[J], x[J + 1]
        tau = np.exp(s)
        q = tau * tau / 25
        lp = -mu * mu / 50 - np.log1p(q) + s
        g[J] = -mu / 25
        g[J + 1] = 1 - 2 * q / (1 + q)
        for j in range(J):
            r = y[j] - mu - tau * x[j]
            rp = r * prec[j]
            lp -= 0.5 * (x[j] * x[j] + r * rp)
            g[j] = -x[j] + tau * rp
            g[J] += rp
            g[J + 1] += tau * x[j] * rp
        return lp

    @njit
    def logp(x):
        return logp_grad(x, np.empty(J + 2))

    def report(u):
        u = np.asarray(u, dtype=float)
        tau = np.exp(u[..., J + 1:J + 2])
        mu = u[..., J:J + 1]
        return np.concatenate([mu + tau * u[..., :J], mu, tau], axis=-1)

    def jax_forms():
        import jax.numpy as jnp
        return lambda u: logpdf(u, xp=jnp)

    return Target(name="eight_schools_noncentered", d=J + 2, logpdf=lambda u: float(logpdf(np.asarray(u, float))),
                  grad=lambda u: logp_and_grad(u)[1], logp_and_grad=logp_and_grad,
                  numba_forms=lambda: forms(logp, logp_grad), jax_forms=jax_forms, init_center=np.zeros(J + 2),
                  names=names, ref_mean=mean, ref_sd=sd, report=report)
