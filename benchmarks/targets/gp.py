"""gp_pois_regr on u = (log rho, log alpha, w[1..11]).

f = L w with L the Cholesky factor of C = alpha^2 K(rho) + 1e-10 I. The
gradient in (log rho, log alpha) goes through the factor's derivative
dL = L Phi(L^-1 dC L^-T) (Phi: the strict lower triangle and half the
diagonal), as model.md states it.
"""
import numpy as np
from numba import njit
from scipy.linalg import cholesky, solve_triangular

from .base import Target, posterior_files
from .compiled import forms

JITTER = 1e-10


def gp_pois_regr():
    data, names, mean, sd = posterior_files("gp_pois_regr")
    x = np.asarray(data["x"], dtype=float)
    k = np.asarray(data["k"], dtype=float)
    N = len(x)
    D2 = (x[:, None] - x[None, :]) ** 2

    def kernel(a, c):
        """rho, alpha, C less its jitter, and C's factor; None where C has no factor in doubles."""
        rho, alpha = np.exp(a), np.exp(c)
        S = alpha * alpha * np.exp(-D2 / (2 * rho * rho))
        if not np.all(np.isfinite(S)):
            return None
        try:
            return rho, alpha, S, cholesky(S + JITTER * np.eye(N), lower=True)
        except np.linalg.LinAlgError:
            return None

    def logpdf(u):
        u = np.asarray(u, dtype=float)
        a, c, w = u[0], u[1], u[2:]
        parts = kernel(a, c)
        if parts is None:   # far out in a diverging trajectory: no density there
            return -np.inf
        rho, alpha, _, L = parts
        f = L @ w
        return float(25 * a - 4 * rho - alpha * alpha / 8 + c - 0.5 * (w @ w) + k @ f - np.sum(np.exp(f)))

    def logp_and_grad(u):
        u = np.asarray(u, dtype=float)
        a, c, w = u[0], u[1], u[2:]
        parts = kernel(a, c)
        if parts is None:
            return -np.inf, np.zeros(N + 2)
        rho, alpha, S, L = parts
        f = L @ w
        gf = k - np.exp(f)
        g = np.empty(N + 2)
        g[2:] = L.T @ gf - w
        for i, dC in enumerate((S * D2 / (rho * rho), 2 * S)):
            Y = solve_triangular(L, dC, lower=True)
            M = solve_triangular(L, Y.T, lower=True).T
            Phi = np.tril(M, -1) + 0.5 * np.diag(np.diag(M))
            g[i] = gf @ (L @ (Phi @ w))
        g[0] += 25 - 4 * rho
        g[1] += 1 - alpha * alpha / 4
        lp = 25 * a - 4 * rho - alpha * alpha / 8 + c - 0.5 * (w @ w) + k @ f - np.sum(np.exp(f))
        return float(lp), g

    @njit(error_model="numpy")
    def logp_grad(u, g):
        a, c = u[0], u[1]
        rho, alpha = np.exp(a), np.exp(c)
        S = np.empty((N, N))
        for i in range(N):
            for j in range(N):
                S[i, j] = alpha * alpha * np.exp(-D2[i, j] / (2 * rho * rho))
        L = _nb_cholesky(S, JITTER)
        if L[N - 1, N - 1] != L[N - 1, N - 1] or L[N - 1, N - 1] <= 0.0 or not np.isfinite(alpha * rho):
            # C has no factor in doubles: far out in a diverging trajectory, no density there.
            for i in range(N + 2):
                g[i] = 0.0
            return -np.inf
        w = u[2:]
        lp = 25 * a - 4 * rho - alpha * alpha / 8 + c
        gf = np.empty(N)
        for i in range(N):
            f = 0.0
            for j in range(i + 1):
                f += L[i, j] * w[j]
            ef = np.exp(f)
            lp += k[i] * f - ef - 0.5 * w[i] * w[i]
            gf[i] = k[i] - ef
        for j in range(N):
            s = -w[j]
            for i in range(j, N):
                s += L[i, j] * gf[i]
            g[2 + j] = s
        Lg = np.empty(N)   # L^T gf, the factor's adjoint direction
        for j in range(N):
            Lg[j] = g[2 + j] + w[j]
        for which in range(2):
            dC = np.empty((N, N))
            for i in range(N):
                for j in range(N):
                    dC[i, j] = S[i, j] * D2[i, j] / (rho * rho) if which == 0 else 2 * S[i, j]
            M = _nb_sandwich(L, dC)
            # gf' L Phi(M) w = (L' gf)' Phi(M) w
            t = 0.0
            for i in range(N):
                row = 0.5 * M[i, i] * w[i]
                for j in range(i):
                    row += M[i, j] * w[j]
                t += Lg[i] * row
            g[which] = t
        g[0] += 25 - 4 * rho
        g[1] += 1 - alpha * alpha / 4
        return lp

    @njit
    def logp(u):
        return logp_grad(u, np.empty(N + 2))

    def jax_forms():
        import jax.numpy as jnp
        D2j, kj, eye = jnp.asarray(D2), jnp.asarray(k), jnp.eye(N)

        def logp_jax(u):
            a, c, w = u[0], u[1], u[2:]
            rho, alpha = jnp.exp(a), jnp.exp(c)
            C = alpha * alpha * jnp.exp(-D2j / (2 * rho * rho)) + JITTER * eye
            f = jnp.linalg.cholesky(C) @ w
            return 25 * a - 4 * rho - alpha * alpha / 8 + c - 0.5 * (w @ w) + kj @ f - jnp.sum(jnp.exp(f))

        return logp_jax

    def report(u):
        u = np.asarray(u, dtype=float)
        rho, alpha = np.exp(u[..., 0]), np.exp(u[..., 1])
        C = (alpha * alpha)[..., None, None] * np.exp(-D2 / (2 * rho * rho)[..., None, None]) + JITTER * np.eye(N)
        f = np.einsum("...ij,...j->...i", np.linalg.cholesky(C), u[..., 2:])
        return np.concatenate([rho[..., None], alpha[..., None], f], axis=-1)

    # rho's prior has mean 6.25: start near log 6 rather than at rho = 1.
    center = np.concatenate([[np.log(6.0), 0.0], np.zeros(N)])
    return Target(name="gp_pois_regr", d=N + 2, logpdf=logpdf, grad=lambda u: logp_and_grad(u)[1],
                  logp_and_grad=logp_and_grad, numba_forms=lambda: forms(logp, logp_grad), jax_forms=jax_forms,
                  init_center=center, init_radius=1.0, names=names, ref_mean=mean, ref_sd=sd, report=report)


@njit(error_model="numpy")
def _nb_cholesky(S, jitter):
    n = S.shape[0]
    L = np.zeros((n, n))
    for j in range(n):
        s = S[j, j] + jitter
        for m in range(j):
            s -= L[j, m] * L[j, m]
        if not s > 0.0:   # not positive definite in doubles (or NaN): the caller sees it in L[n-1, n-1]
            L[n - 1, n - 1] = np.nan
            return L
        d = np.sqrt(s)
        L[j, j] = d
        for i in range(j + 1, n):
            t = S[i, j]
            for m in range(j):
                t -= L[i, m] * L[j, m]
            L[i, j] = t / d
    return L


@njit(error_model="numpy")
def _nb_sandwich(L, B):
    """L^-1 B L^-T for lower-triangular L and symmetric B."""
    n = L.shape[0]
    Y = np.empty((n, n))
    for col in range(n):          # Y = L^-1 B, by forward substitution per column
        for i in range(n):
            t = B[i, col]
            for m in range(i):
                t -= L[i, m] * Y[m, col]
            Y[i, col] = t / L[i, i]
    M = np.empty((n, n))
    for row in range(n):          # M = Y L^-T: solve L M[row]^T = Y[row]^T
        for i in range(n):
            t = Y[row, i]
            for m in range(i):
                t -= L[i, m] * M[row, m]
            M[row, i] = t / L[i, i]
    return M
