"""Markov chain Monte Carlo on a log-density.

Three samplers, all tuned automatically and run as several chains at once:

* :func:`nuts`: the No-U-Turn sampler, the one to use for smooth
  log-densities (with their gradient), with per-draw statistics, warnings
  when the chains should not be trusted, and ``Chains.resume``;
* :func:`metropolis`: random-walk Metropolis, for log-densities without a
  gradient;
* :func:`hmc`: Hamiltonian Monte Carlo with trajectories of a random number
  of leapfrog steps around a chosen mean (with the gradient when you have it,
  central differences otherwise).

During ``tune`` steps each chain adapts its step size by dual averaging
(Hoffman & Gelman 2014) toward ``target_accept`` and its proposal metric in
windows of doubling length, on the warm-up schedule :func:`nuts` uses: for
hmc a diagonal metric from the draws and gradients together, for metropolis
the draws' covariance (dense without bounds, diagonal on a box; without
bounds it starts from a Laplace approximation, see :func:`metropolis`); after
tuning nothing adapts, and ``draws`` draws are kept per chain. Both return a :class:`Chains` result, with
diagnostics by arviz (``pip install varlix[mcmc]``).

The log-density may be

* a Python function of one point, an ndarray of shape ``(d,)``, returning a
  float;
* a NumPy-vectorized Python function taking ``(k, d)`` and returning
  ``(k,)`` (detected by a probe call, or forced with ``vectorized=True``):
  the chains then move in lockstep and one call evaluates a point of each;
* a ``scipy.LowLevelCallable`` or numba ``cfunc`` with the C signature
  ``double (int d, double *x)`` or ``double (int d, double *x, void *user_data)``:
  chains then run on threads without the interpreter lock.

Any finite value is a valid log-density and ``-inf`` means outside the
support; NaN or ``+inf`` stops the run with a ``ValueError``, and an
exception raised by the function stops it and propagates unchanged.

The point handed to a Python log-density is a fresh array whenever the
function kept the previous one, so keeping it is safe; writing to it does
not affect the chain.

Reproducibility: one ``SeedSequence`` (from ``random_state``) spawns one
stream per chain, so the same ``random_state`` gives bit-identical chains
whether they run serially, on threads or on the workers of an ``executor``;
with one exception for metropolis and hmc: a NumPy-vectorized log-density
is called with a batch of all chains when run serially and with one chain
per call on an executor, and NumPy may round a reduction differently by
batch shape, so those chains can differ in the last bits. nuts never
batches chains and has no such exception.
"""
from __future__ import annotations

from ._chains import Chains
from ._metric import LowRankMetric
from ._samplers import hmc, metropolis, nuts
from ._warnings import ConvergenceWarning, FiniteDifferenceWarning

__all__ = ["Chains", "ConvergenceWarning", "FiniteDifferenceWarning", "LowRankMetric", "hmc", "metropolis", "nuts"]

# Defined in private modules, known by their public path: pickles (of Chains
# and of a LowRankMetric in them, old ones included) name varlix.mcmc, and
# so do reprs, warnings and the API reference.
for _name in __all__:
    globals()[_name].__module__ = __name__
del _name
