"""The samplers: metropolis, hmc and nuts."""
from __future__ import annotations

import warnings

import numpy as np

from .. import _functions
from .._random import spawn
from ._chains import Chains, _gather, _nuts_chains
from ._inputs import _bounds, _check_init, _count, _jittered, _probability, _starting_points, _step_sizes
from ._laplace_step import _RANDOM_WALK_SCALE, _laplace_start
from ._metric import _chain_metric, _starting_metric
from ._nuts import _run_nuts
from ._runner import _execute
from ._targets import _NATIVE_JOINT, _kind_of, _native_target
from ._warnings import FiniteDifferenceWarning


def _sample(sampler, logpdf, x0, *, grad, draws, tune, chains, thin, step_size, target_accept, leapfrog_steps,
            bounds, metric, random_state, executor, vectorized, progress, init, warn) -> Chains:
    _check_init(init)
    result = _run_chains(sampler, logpdf, x0, grad=grad, draws=draws, tune=tune, chains=chains, thin=thin,
                         step_size=step_size, target_accept=target_accept, leapfrog_steps=leapfrog_steps,
                         bounds=bounds, metric=metric, random_state=random_state, executor=executor,
                         vectorized=vectorized, init=init, progress=progress)
    result._check(warn, 4)
    return result


def _run_chains(sampler, logpdf, x0, *, grad, draws, tune, chains, thin, step_size, target_accept, leapfrog_steps,
                bounds, metric, random_state, executor, vectorized, init, progress) -> Chains:
    chains = _count(chains, "chains", 1)
    draws = _count(draws, "draws", 1)
    tune = _count(tune, "tune", 0)
    leapfrog_steps = _count(leapfrog_steps, "leapfrog_steps", 1)
    target_accept = _probability(target_accept, "target_accept")
    steps = _step_sizes(step_size, chains)
    d = np.shape(x0)[-1] if np.ndim(x0) >= 1 else 0
    lo, hi = _bounds(bounds, max(d, 1))
    x0, _ = _starting_points(x0, chains, lo, hi)
    thin = _default_thin(sampler, x0.shape[1]) if thin is None else _count(thin, "thin", 1)
    if grad is not None and not callable(grad):
        raise TypeError(f"grad must be callable or None, not {type(grad).__name__}")
    if executor is not None and not hasattr(executor, "submit"):
        raise TypeError(f"executor must be a concurrent.futures.Executor (with submit), not {type(executor).__name__}")
    dense, metric0 = _chain_metric(sampler, metric, chains, d, lo is not None)
    kind = _kind_of(logpdf, x0, vectorized)
    generators = spawn(random_state, chains)
    if init == "jitter":
        x0 = _jittered(x0, generators, lo, hi)
    laplace = None
    if sampler == "metropolis" and tune > 0 and lo is None and dense and metric0 is None:
        # Once for the run, whatever runs the chains, so that they are the
        # same serially and on an executor.
        laplace = _laplace_start(logpdf, kind, x0)
        if laplace is not None:
            steps = steps * (_RANDOM_WALK_SCALE / np.sqrt(x0.shape[1]))
    setup = {"sampler": sampler, "logpdf": logpdf, "grad": grad, "kind": kind, "x0": x0, "steps": steps,
             "generators": generators, "tune": tune, "thin": thin, "target_accept": target_accept,
             "leapfrog_steps": leapfrog_steps, "lo": lo, "hi": hi, "dense": dense, "metric0": metric0,
             "laplace": laplace}
    return _gather(_execute(setup, draws, None, executor, progress), setup)


def _default_thin(sampler: str, d: int) -> int:
    """A random walk's independent draws are about 3d steps apart: keeping
    every ceil(d/3)-th one leaves about nine per independent draw."""
    return -(-d // 3) if sampler == "metropolis" else 1


def metropolis(logpdf, x0, *, draws=1000, tune=1000, chains=4, thin=None, step_size=1.0, target_accept=0.234,
               bounds=None, metric=None, random_state=None, executor=None, vectorized=None, progress=None, init=None,
               warn=True) -> Chains:
    """Random-walk Metropolis chains on a log-density.

    Parameters
    ----------
    logpdf : callable or LowLevelCallable
        The log of an unnormalised density of d coordinates (see the module
        documentation for the three forms). -inf outside the support.
    x0 : array_like, shape (d,) or (chains, d)
        The starting point of every chain, or one per chain.
    draws : int
        Draws kept per chain.
    tune : int
        Tuning steps per chain before the first kept draw; they adapt the
        step size and metric and are kept apart (``Chains.tune_samples``).
    chains : int
        The number of chains.
    thin : int, optional
        Steps between kept draws; by default ``ceil(d / 3)``. A random walk
        at its best scale needs about 3d steps per independent draw, so
        without thinning 1000 draws of 30 coordinates hold about 10 per
        chain: too few for the chains to be compared (R-hat about 1.2 on a
        31-D logistic regression, 1.02-1.04 with the default).
    step_size : float or array_like of shape (chains,)
        The initial proposal scale; kept as given when ``tune=0``.
    target_accept : float in (0, 1)
        The acceptance rate tuning aims at (0.234 is optimal for many
        targets, Roberts, Gelman & Gilks 1997).
    bounds : None or (lower, upper)
        A box for the support; proposals leaving it are mirrored back.
    metric : None, "dense", "diag" or array_like
        The proposal's metric, adapted while tuning: "dense" (the default
        without bounds: correlations and scales from the draws, O(d^2) per
        step) or "diag" (the default on a box, O(d) per step); an array of
        shape (d,) (variances) or (d, d) (a covariance) is the starting
        value. Read back as ``Chains.metric``.
    random_state : None, int, SeedSequence, Generator or RandomState
        The source of one independent stream per chain.
    executor : concurrent.futures.Executor, optional
        Runs each chain as a task on it (a process pool or a Dask client's
        ``get_executor()``, say); the result is the same as serially. The
        executor is not shut down.
    vectorized : bool, optional
        Whether ``logpdf`` takes a batch (k, d); detected when None.
    progress : bool, optional
        A progress bar (tqdm) on stderr, with divergences and step size; by
        default when stderr is a terminal.
    init : None or "jitter"
        "jitter" moves each chain's start by a uniform draw in (-2, 2) per
        coordinate (from the chain's own stream; within ``bounds``).
    warn : bool
        Whether to check the chains (with arviz) and warn with a
        :class:`ConvergenceWarning` for each problem ``Chains.problems()``
        finds: R-hat, bulk and tail ESS, divergences.

    Returns
    -------
    Chains

    Notes
    -----
    A random walk cannot learn a dense covariance in d coordinates from its
    own draws in a short warm-up (they are about 3d steps apart), so when
    ``tune > 0``, without ``bounds`` and for d up to 100, the warm-up starts
    from the Laplace approximation of the log-density: damped Newton
    iterations with finite differences from the best of the starting points
    find the mode, and the inverse of the negated Hessian there is the
    starting proposal covariance, scaled by 2.38**2 / d (times
    ``step_size**2``; Roberts & Rosenthal 2001). This costs about
    d**2 / 2 evaluations of ``logpdf`` per Newton iteration (one call per
    iteration for a vectorized one). The warm-up's windows then refine that
    covariance with the draws, which count against it as much as they can
    tell (the starting covariance weighs as 3 d**2 steps). The chains still
    start from ``x0``; a tenth of the tuning steps propose from a
    multivariate t around the mode (accepted by the Metropolis-Hastings
    rule), which carries a chain that starts far out in the tails into the
    bulk, where a posterior-sized random walk would crawl. Where the
    approximation cannot be trusted (a value that is not finite near an
    iterate, a Hessian that is not negative definite at the end, no
    convergence, a mode far narrower than the bulk, as a funnel's neck is)
    the chains start from the identity metric instead, as they do on a box,
    for d above 100 and with ``tune=0``. Even with the right covariance a random walk needs about 3d
    steps per independent draw: in 30 coordinates, 1000 draws per chain
    hold about 10 independent ones.
    """
    return _sample("metropolis", logpdf, x0, grad=None, draws=draws, tune=tune, chains=chains, thin=thin,
                   step_size=step_size, target_accept=target_accept, leapfrog_steps=1, bounds=bounds, metric=metric,
                   random_state=random_state, executor=executor, vectorized=vectorized, progress=progress,
                   init=init, warn=warn)


def hmc(logpdf, x0, *, grad=None, draws=1000, tune=1000, chains=4, thin=1, step_size=1.0, leapfrog_steps=10,
        target_accept=0.9, bounds=None, metric=None, random_state=None, executor=None, vectorized=None, progress=None, init=None,
        warn=True) -> Chains:
    """Hamiltonian Monte Carlo chains on a log-density.

    Each transition draws a momentum, follows a trajectory of leapfrog steps
    and accepts its end point by its energy. The number of steps is drawn
    uniformly from 1 to ``2 * leapfrog_steps - 1`` and their size jittered by
    up to 20%, per transition: a fixed trajectory length resonates with the
    target's scales near it and barely moves them. Arguments as for
    :func:`metropolis`, and:

    Parameters
    ----------
    grad : callable, optional
        ``grad(x)`` returns the gradient of ``logpdf`` at x, shape (d,);
        without it, central differences of ``logpdf`` (2d calls per gradient).
    leapfrog_steps : int
        The mean number of leapfrog steps per transition.
    metric : None, "diag" or array_like of shape (d,)
        The diagonal metric adapted while tuning, from identity or from the
        given variances; read back as ``Chains.metric``.
    target_accept : float in (0, 1)
        The mean acceptance probability tuning aims at. Above nuts's 0.8:
        each rejection repeats a draw, and on a 100-dimensional Gaussian
        the repeats at 0.8 leave too few effective draws in the tails
        for R-hat below 1.01 from 4 x 1000 draws.

    Returns
    -------
    Chains
    """
    return _sample("hmc", logpdf, x0, grad=grad, draws=draws, tune=tune, chains=chains, thin=thin,
                   step_size=step_size, target_accept=target_accept, leapfrog_steps=leapfrog_steps, bounds=bounds,
                   metric=metric,
                   random_state=random_state, executor=executor, vectorized=vectorized, progress=progress,
                   init=init, warn=warn)


def nuts(logpdf, x0, *, grad=None, draws=1000, tune=1000, chains=4, target_accept=0.8, max_tree_depth=10,
         metric="diag", random_state=None, executor=None, progress=None, vectorized=None, init=None,
         warn=True) -> Chains:
    """The No-U-Turn sampler (Hoffman & Gelman 2014) on a smooth log-density.

    Each transition draws a momentum and grows a trajectory of leapfrog
    steps by doubling until it turns back on itself (the generalised
    criterion of Betancourt 2017) or reaches ``2**max_tree_depth`` steps,
    and draws the next state from it by weight (multinomial sampling). A
    trajectory whose energy error passes 1000, or that meets a NaN or
    infinite value or gradient (or an ``OverflowError`` or
    ``FloatingPointError`` raised by the log-density), ends there and is
    marked divergent; the chain goes on.

    Warm-up: ``tune`` iterations adapt the step size by dual averaging
    toward ``target_accept`` and the metric in windows of doubling length
    (after a first 75 iterations, before a last 50; scaled down for short
    warm-ups). A diagonal metric is estimated from the draws and the
    gradients together, so that scales spanning many orders of magnitude
    are learnt from a short window; a dense one from the draws, its
    correlations shrunk toward zero; a low-rank one is the diagonal one
    times the directions where the draws and gradients of the window's
    last 100 iterations, scaled by it, still disagree with unit variance
    (their covariances' geometric mean, eigenvalues beyond a factor 2 of 1,
    Seyboldt et al.'s "Preconditioning for Hamiltonian Monte Carlo").

    Parameters
    ----------
    logpdf : callable or compiled function
        The log of an unnormalised density of d coordinates, -inf outside
        the support. A Python function of one point (an ndarray (d,)); or a
        ``scipy.LowLevelCallable`` / numba ``cfunc`` with the C signature
        ``double (int d, double *x, double *grad)`` that returns the value
        and writes the gradient (``... , void *user_data`` allowed), run on
        one thread per chain without the interpreter lock; or one with the
        signature ``double (int d, double *x)`` (gradient by differences).
    x0 : array_like, shape (d,) or (chains, d)
        The starting point of every chain, or one per chain.
    grad : None, callable or True
        ``grad(x)`` returns the gradient (d,); ``True`` declares that
        ``logpdf`` returns the pair ``(value, gradient)``; None for a
        compiled joint function, and otherwise central differences
        (2d + 1 calls per step; a ``FiniteDifferenceWarning`` says so).
    draws, tune, chains : int
        Kept draws and warm-up iterations per chain, and the number of chains.
    target_accept : float in (0, 1)
        The acceptance the step size aims at: in the last 50 warm-up
        iterations, the geometric mean of the acceptance statistics, a
        divergent transition counting as 0 (so a curved region that
        diverges gets a smaller step; see the MCMC guide). Raise it (0.9,
        0.95) when the chains report divergences.
    max_tree_depth : int
        The largest number of doublings of a trajectory.
    metric : "diag", "dense", "low_rank", array_like or LowRankMetric
        The metric adapted; an array of shape (d,) (variances) or (d, d) (a
        covariance), or a :class:`LowRankMetric` (such as another run's
        ``Chains.metric``), is the starting value, adapted further when
        ``tune > 0``. "low_rank" (d >= 2, meant for d >= 50) corrects the
        diagonal metric in at most 10 directions, at O(d) memory and work
        per step times their number.
    random_state : None, int, SeedSequence, Generator or RandomState
        The source of one independent stream per chain.
    executor : concurrent.futures.Executor, optional
        Runs each chain as a task on it; the result is the same as without.
    progress : bool, optional
        A progress bar (tqdm) on stderr; by default when stderr is a terminal.
    vectorized : bool, optional
        True when ``logpdf`` (and ``grad``) take a batch (k, d): each call
        then gets one point as shape (1, d).
    init : None or "jitter"
        "jitter" moves each chain's start by a uniform draw in (-2, 2) per
        coordinate (from the chain's own stream).
    warn : bool
        Whether to check the chains (with arviz) and warn with a
        ``ConvergenceWarning`` when they should not be trusted.

    Returns
    -------
    Chains
        With per-draw statistics (``Chains.stats``) and the adapted
        ``metric``; a user exception other than an arithmetic overflow
        stops the run and propagates.

    Reproducibility: chains never share a call, so the same
    ``random_state`` gives bit-identical chains with or without an
    executor, on threads or in processes.
    """
    chains = _count(chains, "chains", 1)
    draws = _count(draws, "draws", 1)
    tune = _count(tune, "tune", 0)
    max_tree_depth = _count(max_tree_depth, "max_tree_depth", 1)
    if max_tree_depth > 30:
        raise ValueError(f"max_tree_depth must be at most 30, got {max_tree_depth}")
    target_accept = _probability(target_accept, "target_accept")
    x0, _ = _starting_points(x0, chains, None, None)
    d = x0.shape[1]
    metric_kind, metric0 = _starting_metric(metric, chains, d)
    if executor is not None and not hasattr(executor, "submit"):
        raise TypeError(f"executor must be a concurrent.futures.Executor (with submit), not {type(executor).__name__}")
    native = _functions.is_native(logpdf)
    if native:
        if grad is not None:
            raise ValueError("a compiled log-density for nuts brings its own gradient (signature "
                             f"'{_NATIVE_JOINT[0]}'); pass grad=None")
        joint = _native_target(logpdf)[1]
    else:
        if not callable(logpdf):
            raise TypeError(f"logpdf must be callable or a compiled function, not {type(logpdf).__name__}")
        if grad is not None and grad is not True and not callable(grad):
            raise TypeError(f"grad must be None, True or callable, not {type(grad).__name__}")
        joint = grad is not None
    if not joint:
        warnings.warn("nuts runs on central differences of logpdf (2d + 1 calls per leapfrog step, about "
                      "two thirds of the digits): pass grad= for speed and accuracy", FiniteDifferenceWarning,
                      stacklevel=2)
    _check_init(init)
    generators = spawn(random_state, chains)
    if init == "jitter":
        x0 = _jittered(x0, generators, None, None)
    setup = {"logpdf": logpdf, "grad": grad, "native": native, "vectorized": bool(vectorized), "x0": x0,
             "metric0": metric0, "metric_kind": metric_kind, "generators": generators, "draws": draws, "tune": tune,
             "target_accept": target_accept, "max_tree_depth": max_tree_depth}
    results = _run_nuts(setup, None, executor, progress)
    result = _nuts_chains(results, setup, tune, None)
    result._check(warn, 3)
    return result
