"""The metrics the chains adapt: starting values, LowRankMetric, and the engines' words
read back."""
from __future__ import annotations

import numpy as np


def _starting_metric(metric, chains: int, d: int):
    """(kind, words per chain): scales for "diag", a factor for "dense",
    LowRankMetric's words for "low_rank"; an array is a starting covariance
    (its diagonal: variances)."""
    if isinstance(metric, LowRankMetric):
        return "low_rank", metric._words(chains, d)
    if isinstance(metric, str):
        if metric not in ("diag", "dense", "low_rank"):
            raise ValueError("metric must be 'diag', 'dense', 'low_rank', an array or a LowRankMetric, "
                             f"got {metric!r}")
        if metric == "diag":
            return "diag", np.ones((chains, d))
        if metric == "low_rank":
            return "low_rank", LowRankMetric(np.ones(d), np.zeros((d, 0)), np.zeros(0))._words(chains, d)
        return "dense", np.tile(np.eye(d).reshape(-1), (chains, 1))
    m = np.asarray(metric, dtype=np.float64)
    if m.shape == (d,):
        if not np.all(np.isfinite(m) & (m > 0)):
            raise ValueError("a diagonal metric must hold positive finite variances")
        return "diag", np.tile(np.sqrt(m), (chains, 1))
    if m.shape == (d, d):
        if not np.all(np.isfinite(m)) or not np.allclose(m, m.T):
            raise ValueError("a dense metric must be a finite symmetric matrix")
        try:
            factor = np.linalg.cholesky(m)
        except np.linalg.LinAlgError:
            raise ValueError("a dense metric must be positive definite") from None
        return "dense", np.tile(factor.reshape(-1), (chains, 1))
    raise ValueError(f"a metric array must have shape ({d},) (variances) or ({d}, {d}) (a covariance), "
                     f"got shape {m.shape}")


class LowRankMetric:
    """The low-rank metric of :func:`nuts` (``metric="low_rank"``): the
    covariance (inverse mass matrix)

        C = D^1/2 (I + U (diag(eigenvalues) - I) U^T) D^1/2

    with D = diag(variances), and U's k orthonormal columns the directions
    (in the space scaled by D^-1/2) where the target's variance is an
    eigenvalue instead of 1. Work per leapfrog step is O(dk) and a chain
    keeps O(dk) numbers, where a dense metric needs O(d^2).

    ``Chains.metric`` of a low-rank run holds every chain's parts with a
    leading chain axis: ``variances`` (chains, d), ``vectors`` (chains, d, k)
    and ``eigenvalues`` (chains, k), k the largest rank among the chains
    (a chain of smaller rank has eigenvalues 1 and zero columns beyond its
    own, which change nothing). ``metric[c]`` is chain c's metric and
    ``covariance()`` the dense C, shape (..., d, d). Either may be passed as
    ``metric=`` to :func:`nuts`: one chain's metric starts every chain, one
    with a chain axis starts each chain from its own.

    Parameters
    ----------
    variances : array_like, shape (..., d)
        Positive finite.
    vectors : array_like, shape (..., d, k)
        Orthonormal columns (zero columns allowed with eigenvalue 1); k at
        most 10.
    eigenvalues : array_like, shape (..., k)
        Positive finite.
    """

    max_rank = 10

    def __init__(self, variances, vectors, eigenvalues):
        self.variances = np.asarray(variances, dtype=np.float64)
        self.vectors = np.asarray(vectors, dtype=np.float64)
        self.eigenvalues = np.asarray(eigenvalues, dtype=np.float64)
        v, u, e = self.variances, self.vectors, self.eigenvalues
        if v.ndim < 1 or u.shape != v.shape + e.shape[-1:] or e.shape[:-1] != v.shape[:-1]:
            raise ValueError(f"a LowRankMetric needs variances (..., d), vectors (..., d, k) and eigenvalues "
                             f"(..., k) of matching shapes, got {v.shape}, {u.shape} and {e.shape}")
        if not np.all(np.isfinite(v) & (v > 0)) or not np.all(np.isfinite(e) & (e > 0)):
            raise ValueError("a LowRankMetric needs positive finite variances and eigenvalues")
        if not np.all(np.isfinite(u)):
            raise ValueError("a LowRankMetric needs finite vectors")

    def __getitem__(self, chain) -> "LowRankMetric":
        if self.variances.ndim < 2:
            raise IndexError("this LowRankMetric has no chain axis")
        return LowRankMetric(self.variances[chain], self.vectors[chain], self.eigenvalues[chain])

    def covariance(self) -> np.ndarray:
        """C as a dense array, shape (..., d, d)."""
        u = self.vectors
        inner = np.eye(u.shape[-2]) + np.einsum("...ik,...k,...jk->...ij", u, self.eigenvalues - 1.0, u)
        s = np.sqrt(self.variances)
        return s[..., :, None] * inner * s[..., None, :]

    def __repr__(self) -> str:
        return (f"LowRankMetric(d={self.variances.shape[-1]}, rank={self.eigenvalues.shape[-1]}, "
                f"shape={self.variances.shape[:-1]})")

    def _words(self, chains: int, d: int) -> np.ndarray:
        """The engine's words per chain: scales, rank, eigenvalues and
        directions, each padded to max_rank."""
        if self.variances.shape[-1] != d:
            raise ValueError(f"a LowRankMetric for {d} coordinates was expected, got {self.variances.shape[-1]}")
        if d < 2:
            raise ValueError("metric='low_rank' needs at least 2 coordinates (it is meant for d >= 50); "
                             "use metric='diag'")
        if self.variances.ndim == 1:
            one = self
            parts = [one] * chains
        elif self.variances.shape[:-1] == (chains,):
            parts = [self[c] for c in range(chains)]
        else:
            raise ValueError(f"a LowRankMetric must be one chain's or have a leading axis of {chains} chains, "
                             f"got shape {self.variances.shape}")
        k_max = self.max_rank
        words = np.zeros((chains, d + 1 + k_max + k_max * d))
        for c, part in enumerate(parts):
            used = part.eigenvalues != 1.0
            u, e = part.vectors[:, used], part.eigenvalues[used]
            if e.size > k_max:
                raise ValueError(f"a LowRankMetric holds at most {k_max} directions, got {e.size}")
            if not np.allclose(u.T @ u, np.eye(e.size), atol=1e-8):
                raise ValueError("a LowRankMetric's vectors must be orthonormal columns")
            words[c, :d] = np.sqrt(part.variances)
            words[c, d] = e.size
            words[c, d + 1:d + 1 + k_max] = 1.0
            words[c, d + 1:d + 1 + e.size] = e
            words[c, d + 1 + k_max:d + 1 + k_max + e.size * d] = u.T.reshape(-1)
        return words

    @classmethod
    def _of_words(cls, words: np.ndarray, d: int) -> "LowRankMetric":
        k_max = cls.max_rank
        ranks = words[:, d].astype(np.int64)
        k = int(ranks.max(initial=0))
        chains = words.shape[0]
        eigenvalues = np.ones((chains, k))
        vectors = np.zeros((chains, d, k))
        for c in range(chains):
            r = ranks[c]
            eigenvalues[c, :r] = words[c, d + 1:d + 1 + r]
            vectors[c, :, :r] = words[c, d + 1 + k_max:d + 1 + k_max + r * d].reshape(r, d).T
        return cls(words[:, :d] ** 2, vectors, eigenvalues)


def _chain_metric(sampler, metric, chains, d, boxed):
    """(dense, starting words per chain or None) of metropolis or hmc.
    By default a random walk learns a dense metric (correlations from its
    draws) and hmc a diagonal one (scales from draws and gradients); on a
    box the mirroring needs a diagonal one."""
    if metric is None:
        metric = "dense" if sampler == "metropolis" and not boxed else "diag"
    if (isinstance(metric, str) and metric not in ("diag", "dense")) or isinstance(metric, LowRankMetric):
        raise ValueError(f"metric must be 'diag', 'dense' or an array, got {metric!r} (a low-rank metric is "
                         "for nuts)")
    kind, words = _starting_metric(metric, chains, d)
    dense = kind == "dense"
    if dense and sampler == "hmc":
        raise ValueError("hmc takes a diagonal metric ('diag' or variances of shape (d,)); nuts takes a dense one")
    if dense and boxed:
        raise ValueError("a dense metric cannot be used with bounds: proposals are mirrored coordinate by "
                         "coordinate, which needs a diagonal metric")
    return dense, None if isinstance(metric, str) else words


def _metric_of(words, chains, d, dense):
    """The engine's metric words as a user reads them: variances (chains, d)
    of a diagonal metric, covariances (chains, d, d) of a dense one."""
    words = np.array(words).reshape(chains, -1)
    if dense:
        factors = np.tril(words.reshape(chains, d, d))
        return np.einsum("cij,ckj->cik", factors, factors)
    return words**2
