"""Multivariate draws with given marginals tied by a Gaussian copula."""
from __future__ import annotations

import numpy as np

from . import _engine
from ._random import fill, uniform_source
from ._shapes import empty_draws, size_shape
from .distributions import Distribution

__all__ = ["GaussianCopula", "gaussian_copula"]

# Symmetry is checked to this tolerance relative to the largest entry: a
# matrix computed as A @ A.T and rescaled is symmetric only to rounding.
_SYMMETRY_TOL = 1e-12
# Rows drawn per engine call: Ctrl-C is honoured between chunks.
_CHUNK_ROWS = 1 << 15


def gaussian_copula(corr, marginals) -> GaussianCopula:
    """A random vector with the given marginals and a Gaussian copula.

    Parameters
    ----------
    corr : array_like, shape (d, d)
        The correlation matrix of the underlying normal vector: symmetric,
        with ones on the diagonal, positive definite.
    marginals : sequence of d distributions
        :class:`varlix.Distribution` objects (drawn entirely in compiled
        code, without the interpreter lock), or any objects with a
        vectorized ``ppf`` (a frozen ``scipy.stats`` distribution, say).

    Returns
    -------
    GaussianCopula

    Raises
    ------
    ValueError
        If ``corr`` is not square, not of the marginals' dimension, not
        finite, not symmetric, not of unit diagonal or not positive definite.
    TypeError
        If a marginal has no ``ppf``.

    Examples
    --------
    >>> import numpy as np, varlix
    >>> m = varlix.from_pdf(lambda x: np.exp(-abs(x)))
    >>> c = varlix.gaussian_copula([[1, 0.5], [0.5, 1]], [m, m])
    >>> c.rvs(4, random_state=1).shape
    (4, 2)
    """
    return GaussianCopula(corr, marginals)


def _check_corr(corr):
    try:
        c = np.array(corr, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError("corr must be a square array of numbers") from None
    if c.ndim != 2 or c.shape[0] != c.shape[1] or c.shape[0] == 0:
        raise ValueError(f"corr must be a non-empty square matrix, got shape {c.shape}")
    if not np.all(np.isfinite(c)):
        raise ValueError("corr must be finite")
    if np.max(np.abs(c - c.T)) > _SYMMETRY_TOL * max(1.0, float(np.max(np.abs(c)))):
        raise ValueError("corr must be symmetric")
    if not np.all(np.diag(c) == 1.0):
        raise ValueError("corr must have ones on its diagonal")
    try:
        chol = np.linalg.cholesky(c)
    except np.linalg.LinAlgError:
        raise ValueError("corr must be positive definite") from None
    return c, np.ascontiguousarray(chol)


def _check_marginals(marginals, d):
    try:
        items = list(marginals)
    except TypeError:
        raise TypeError("marginals must be a sequence of distributions") from None
    if len(items) != d:
        raise ValueError(f"corr is {d} x {d} but {len(items)} marginals were given")
    for i, m in enumerate(items):
        if not callable(getattr(m, "ppf", None)):
            raise TypeError(f"marginals[{i}] has no ppf method ({type(m).__name__})")
    return items


def _quantiles(marginal, j, u):
    """marginals[j].ppf(u), checked: one finite number per level."""
    try:
        x = np.asarray(marginal.ppf(u), dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise TypeError(f"marginals[{j}].ppf did not return an array of numbers: {error}") from None
    if x.shape != u.shape:
        raise ValueError(
            f"marginals[{j}].ppf returned shape {x.shape} for levels of shape {u.shape}; expected {u.shape}"
        )
    bad = ~np.isfinite(x)
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(
            f"marginals[{j}].ppf returned {float(x[i])!r} at level u = {float(u[i])!r}; "
            f"a marginal's quantiles must be finite"
        )
    return x


class GaussianCopula:
    """A random vector whose coordinates have given marginals and whose
    normal scores are jointly normal with correlation ``corr``.

    Made by :func:`varlix.gaussian_copula`.

    Attributes
    ----------
    corr : ndarray
        The correlation matrix.
    marginals : tuple
        The marginal distributions.
    dim : int
        The dimension d.
    """

    def __init__(self, corr, marginals):
        self._corr, self._chol = _check_corr(corr)
        self._marginals = tuple(_check_marginals(marginals, self._corr.shape[0]))
        self._corr.flags.writeable = False

    @property
    def corr(self):
        """The correlation matrix (read-only array)."""
        return self._corr

    @property
    def marginals(self):
        """The marginal distributions, in column order."""
        return self._marginals

    @property
    def dim(self):
        """The dimension d."""
        return self._corr.shape[0]

    def _columns(self):
        """The engine's spec of each column."""
        specs = []
        for m in self._marginals:
            spec = m._copula_column() if isinstance(m, Distribution) else None
            specs.append(("uniform",) if spec is None else spec)
        return specs

    def rvs(self, size=None, random_state=None):
        """Random vectors.

        Parameters
        ----------
        size : int or tuple of ints, optional
            Number (or shape) of vectors; ``None`` draws one.
        random_state : {None, int, SeedSequence, Generator, RandomState}, optional
            Source of the uniforms, as in :mod:`varlix.sampling`; ``None`` is
            NumPy's global ``RandomState``.

        Returns
        -------
        ndarray
            Shape ``size + (d,)``; ``(d,)`` for ``size=None``.
        """
        shape, n = size_shape(size)
        d = self.dim
        source = uniform_source(random_state)
        out = empty_draws(n, d)
        specs = self._columns()
        chol = self._chol
        fill(lambda capsule, rows: _engine.gaussian_copula(capsule, chol, specs, rows), out, source, _CHUNK_ROWS)
        for j, spec in enumerate(specs):
            if spec[0] == "uniform":
                out[:, j] = _quantiles(self._marginals[j], j, out[:, j])
        return out[0] if shape is None else out.reshape(shape + (d,))

    def __repr__(self):
        names = ", ".join(type(m).__name__ for m in self._marginals)
        return f"GaussianCopula(dim={self.dim}, marginals=({names}))"

    def __reduce__(self):
        return (GaussianCopula, (self._corr.copy(), self._marginals))
