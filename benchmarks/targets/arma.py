"""arma11 on u = (mu, phi, theta, log sigma).

The prediction errors obey e[t] + theta e[t-1] = r[t] with
r[1] = y[1] - mu (1 + phi) and r[t] = y[t] - mu - phi y[t-1]; their
derivatives obey the same recursion with the derivatives of r (and -e[t-1]
for theta) on the right, so NumPy runs all four through one linear filter.
"""
import numpy as np
from numba import njit
from scipy.signal import lfilter

from .base import Target, posterior_files
from .compiled import forms


def arma11():
    data, names, mean, sd = posterior_files("arma11")
    y = np.asarray(data["y"], dtype=float)
    T = len(y)
    lagged = np.concatenate([[0.0], y[:-1]])

    def errors(mu, phi, theta):
        r = y - mu - phi * lagged
        r[0] = y[0] - mu * (1 + phi)
        return lfilter([1.0], [1.0, theta], r)

    def prior_and_scale(mu, phi, theta, s, ee):
        sigma = np.exp(s)
        return (-mu * mu / 200 - (phi * phi + theta * theta) / 8 - np.log1p((sigma / 2.5) ** 2)
                - (T - 1) * s - 0.5 * ee * np.exp(-2 * s))

    def logpdf(u):
        mu, phi, theta, s = np.asarray(u, dtype=float)
        e = errors(mu, phi, theta)
        return float(prior_and_scale(mu, phi, theta, s, e @ e))

    def logp_and_grad(u):
        mu, phi, theta, s = np.asarray(u, dtype=float)
        e = errors(mu, phi, theta)
        rhs = np.empty((3, T))
        rhs[0] = -1.0
        rhs[0, 0] = -1 - phi
        rhs[1] = -lagged
        rhs[1, 0] = -mu
        rhs[2, 0] = 0.0
        rhs[2, 1:] = -e[:-1]
        de = lfilter([1.0], [1.0, theta], rhs, axis=1)
        w = np.exp(-2 * s)
        ee = e @ e
        q = (np.exp(s) / 2.5) ** 2
        g = np.array([-mu / 100, -phi / 4, -theta / 4, -(T - 1) + ee * w - 2 * q / (1 + q)])
        g[:3] -= w * (de @ e)
        return float(prior_and_scale(mu, phi, theta, s, ee)), g

    @njit
    def logp_grad(x, g):
        mu, phi, theta, s = x[0], x[1], x[2], x[3]
        e = y[0] - mu * (1 + phi)
        dmu, dphi, dtheta = -1 - phi, -mu, 0.0
        ee, gmu, gphi, gtheta = e * e, e * dmu, e * dphi, 0.0
        for t in range(1, T):
            # The derivatives use e[t-1]: update them before e.
            dmu = -1 - theta * dmu
            dphi = -y[t - 1] - theta * dphi
            dtheta = -e - theta * dtheta
            e = y[t] - mu - phi * y[t - 1] - theta * e
            ee += e * e
            gmu += e * dmu
            gphi += e * dphi
            gtheta += e * dtheta
        w = np.exp(-2 * s)
        q = np.exp(2 * s) / 6.25
        g[0] = -mu / 100 - w * gmu
        g[1] = -phi / 4 - w * gphi
        g[2] = -theta / 4 - w * gtheta
        g[3] = -(T - 1) + ee * w - 2 * q / (1 + q)
        return -mu * mu / 200 - (phi * phi + theta * theta) / 8 - np.log1p(q) - (T - 1) * s - 0.5 * ee * w

    @njit
    def logp(x):
        return logp_grad(x, np.empty(4))

    def jax_forms():
        import jax
        import jax.numpy as jnp
        yj = jnp.asarray(y)

        def logp_jax(u):
            mu, phi, theta, s = u[0], u[1], u[2], u[3]
            e1 = yj[0] - mu * (1 + phi)

            def step(e, pair):
                e = pair[1] - mu - phi * pair[0] - theta * e
                return e, e * e

            _, sq = jax.lax.scan(step, e1, (yj[:-1], yj[1:]))
            ee = e1 * e1 + jnp.sum(sq)
            return (-mu * mu / 200 - (phi * phi + theta * theta) / 8 - jnp.log1p(jnp.exp(2 * s) / 6.25)
                    - (T - 1) * s - 0.5 * ee * jnp.exp(-2 * s))

        return logp_jax

    def report(u):
        out = np.array(u, dtype=float, copy=True)
        out[..., 3] = np.exp(out[..., 3])
        return out

    return Target(name="arma11", d=4, logpdf=logpdf, grad=lambda u: logp_and_grad(u)[1],
                  logp_and_grad=logp_and_grad, numba_forms=lambda: forms(logp, logp_grad), jax_forms=jax_forms,
                  init_center=np.zeros(4), init_radius=0.5, names=names, ref_mean=mean, ref_sd=sd, report=report)
