"""Log-densities and gradients of the MCMC benchmark's targets.

Each target is a :class:`Target` on R^d, written three ways from the same
mathematics:

* NumPy: ``logpdf(u)``, ``grad(u)`` and ``logp_and_grad(u)`` (one point);
* numba: ``target.numba()`` gives ``@njit`` ``logp(x)`` and
  ``logp_grad(x, g)`` (the gradient written into g) and ``cfunc`` forms of
  both (``double (int, double *)`` as varlix.mcmc takes a compiled
  log-density, and ``double (int, double *, double *)`` writing the gradient);
* JAX: ``target.jax_logp()``, for the NUTS peers (gradients by autodiff).

The six real posteriors read python/tests/data/posteriors/<name>/ (model.md
there states each density); ``reference`` gives their reported parameters'
means and sds, and ``report(u)`` maps draws on R^d to those parameters.
"""
from .base import Target, POSTERIORS, SYNTHETIC, make

__all__ = ["Target", "POSTERIORS", "SYNTHETIC", "make"]
