"""The Laplace approximation a random walk's warm-up starts from."""
from __future__ import annotations

import numpy as np

from .. import _engine
from ._engine_io import _engine_array
from ._targets import _batch_spec, _native_spec, _point_spec


# The optimal random-walk proposal for a Gaussian target of covariance S in
# d coordinates is N(0, 2.38^2 / d S) (Roberts & Rosenthal 2001): the step
# a Laplace metric starts from, per unit of step_size.
_RANDOM_WALK_SCALE = 2.38


def _laplace_start(logpdf, kind, x0):
    """(factor, mode): the Cholesky factor (d, d) of the covariance of the
    log-density's Laplace approximation, from the best of the starting
    points, and its mode, for a random walk's warm-up; None where it cannot
    be trusted (the chains then start from the identity, as without it) or
    d is beyond _engine.LAPLACE_MAX_DIM. A user exception propagates."""
    d = x0.shape[1]
    if d > _engine.LAPLACE_MAX_DIM:
        return None
    factor, _, mode, _ = _laplace(logpdf, kind, x0)
    return None if factor is None else (factor, mode)


def _laplace(logpdf, kind, x0):
    """(factor or None, why, mode or None, log-density evaluations) of the
    Laplace step from the rows of x0."""
    chains, d = x0.shape
    if kind == "native":
        spec = _native_spec(logpdf)
    elif kind == "batch":
        # One Hessian's difference points in one call (and every start).
        spec = _batch_spec(logpdf, d, max(chains, 1 + 2 * d + d * (d - 1) // 2))
    else:
        spec = _point_spec(logpdf, d)
    settings = ("metropolis", d, 1, 0.5, 0, 1, True, None, None)
    # The differences and trial steps probe points the chains may never
    # visit: NumPy's overflow warnings there are noise, and a value that is
    # not finite fails the step anyway.
    with np.errstate(all="ignore"):
        why, factor, mode, evaluations = _engine.Chains(spec, None, settings).laplace(_engine_array(x0))
    if factor is None:
        return None, why, None, evaluations
    return np.array(factor).reshape(d, d), why, np.array(mode), evaluations
