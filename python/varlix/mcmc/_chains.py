"""Chains, the result of every sampler, and how it is built from the runs' results."""
from __future__ import annotations

import copy
import warnings

import numpy as np

from ._convergence import _convergence_problems, _import_arviz
from ._inputs import _count
from ._metric import LowRankMetric
from ._nuts import _STAT_NAMES, _metric_kind, _run_nuts
from ._runner import _execute
from ._warnings import ConvergenceWarning


class Chains:
    """The draws of several Markov chains, with their diagnostics.

    Attributes
    ----------
    samples : ndarray, shape (chains, draws, d)
        The kept draws of each chain.
    logpdf_values : ndarray, shape (chains, draws)
        The log-density at each kept draw.
    accept_rate : ndarray, shape (chains,)
        The fraction of accepted proposals after tuning.
    step_size : ndarray, shape (chains,)
        The step size each chain used after tuning.
    tune_samples, tune_logpdf_values : ndarray
        The positions and log-densities visited while tuning, shapes
        (chains, tune, d) and (chains, tune); never part of ``samples``.
    divergent : ndarray, shape (chains,)
        Hamiltonian transitions after tuning whose energy error was
        too large to trust (always 0 for Metropolis).
    sampler : str
        "metropolis", "hmc" or "nuts".
    stats : dict of ndarray, shape (chains, draws) each
        Per-draw statistics (``tune_stats``: the same for the warm-up):
        ``lp``, ``acceptance_rate`` and ``step_size`` for every sampler;
        ``diverging``, ``energy`` and ``n_steps`` (leapfrog steps) for hmc
        and nuts; ``tree_depth`` for nuts. With ``thin``, those of the
        transition that produced the draw.
    metric : ndarray, LowRankMetric or None
        The metric each chain adapted (for metropolis, the shape of its
        proposal's covariance, which the step size scales): variances
        (chains, d) for a diagonal one, covariances (chains, d, d) for a
        dense one, a :class:`LowRankMetric` with a leading chain axis for a
        low-rank one (nuts).

    ``ess()``, ``rhat()`` and ``summary()`` are arviz's, on ``to_arviz()``.
    A ``Chains`` pickles.
    """

    def __init__(self, samples, logpdf_values, accept_rate, step_size, tune_samples, tune_logpdf_values,
                 divergent, sampler):
        self.samples = samples
        self.logpdf_values = logpdf_values
        self.accept_rate = accept_rate
        self.step_size = step_size
        self.tune_samples = tune_samples
        self.tune_logpdf_values = tune_logpdf_values
        self.divergent = divergent
        self.sampler = sampler
        # Per-draw statistics (nuts): name -> (chains, draws), and the same
        # for the warm-up; the adapted metric, (chains, d) variances,
        # (chains, d, d) covariances or a LowRankMetric.
        self.stats = {}
        self.tune_stats = {}
        self.metric = None
        self._max_tree_depth = None
        self._resume = None
        self._target = None

    def __getstate__(self):
        # The user's functions need not pickle (a lambda does not); resume()
        # in another process takes them again.
        state = dict(self.__dict__)
        state.pop("_target", None)
        return state

    def __setstate__(self, state):
        # Pickles from before the per-draw statistics lack them.
        self.__dict__.update({"stats": {}, "tune_stats": {}, "metric": None, "_max_tree_depth": None,
                              "_resume": None, "_target": None})
        self.__dict__.update(state)

    def resume(self, draws: int, *, logpdf=None, grad=None, executor=None, progress=None, warn=True) -> "Chains":
        """These chains continued by ``draws`` more draws each: a new Chains
        with the draws so far followed by the new ones. Every chain goes on
        from its position, adapted metric and step size and random stream,
        so that 1000 draws then ``resume(1000)`` equal 2000 draws at once,
        bit for bit (for metropolis and hmc with a NumPy-vectorized
        log-density, when both runs group the chains alike: serially, or
        on an executor). After unpickling (the functions are not pickled),
        pass ``logpdf`` (and ``grad``) again, as given to the sampler. This
        Chains is left unchanged and can be resumed again."""
        if self._resume is None:
            raise ValueError("these chains carry no state to resume from (made before varlix could resume them)")
        draws = _count(draws, "draws", 1)
        if logpdf is None:
            if self._target is None:
                raise ValueError("these chains were unpickled without their log-density: pass logpdf= (and grad=)")
            logpdf, grad = self._target
        setup = dict(self._resume["setup"], logpdf=logpdf, grad=grad,
                     generators=copy.deepcopy(self._resume["generators"]))
        if self.sampler != "nuts":
            result = _gather(_execute(setup, draws, self._resume["state"], executor, progress), setup, self)
        else:
            done = self._resume["done"]
            tune_left = max(0, setup["tune"] - done)
            results = _run_nuts(setup, (self._resume["state"], done, tune_left + draws), executor, progress)
            result = _nuts_chains(results, setup, tune_left, self)
        result._check(warn, 3)
        return result

    @property
    def chains(self) -> int:
        """The number of chains."""
        return self.samples.shape[0]

    @property
    def draws(self) -> int:
        """The number of kept draws per chain."""
        return self.samples.shape[1]

    @property
    def dim(self) -> int:
        """The number of coordinates of a draw."""
        return self.samples.shape[2]

    def __repr__(self) -> str:
        rates = ", ".join(f"{r:.3f}" for r in self.accept_rate)
        return (f"Chains(sampler={self.sampler!r}, chains={self.chains}, draws={self.draws}, dim={self.dim}, "
                f"accept_rate=[{rates}])")

    def to_arviz(self):
        """The draws as an ``arviz.InferenceData``.

        The posterior group holds the variable ``x`` with dimensions
        (chain, draw, x_dim); sample_stats holds ``lp`` (the log-density)
        and every other per-draw statistic of ``stats``;
        the tuning draws go to the warmup groups. Raises ImportError when
        arviz is not installed.
        """
        az = _import_arviz()
        stats = dict(self.stats) if self.stats else {"lp": self.logpdf_values}
        tune_stats = dict(self.tune_stats) if self.tune_stats else {"lp": self.tune_logpdf_values}
        dims = {"x": ["x_dim"]}
        kwargs = {}
        if self.tune_samples.shape[1] > 0:
            kwargs = {"warmup_posterior": {"x": self.tune_samples},
                      "warmup_sample_stats": tune_stats, "save_warmup": True}
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", FutureWarning)
            return az.from_dict(posterior={"x": self.samples}, sample_stats=stats, dims=dims, **kwargs)

    def _posterior(self):
        az = _import_arviz()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", FutureWarning)
            return az, az.from_dict(posterior={"x": self.samples}, dims={"x": ["x_dim"]})

    def ess(self, method: str = "bulk") -> np.ndarray:
        """arviz's effective sample size of each coordinate, shape (d,)."""
        az, data = self._posterior()
        return np.asarray(az.ess(data, method=method)["x"].values, dtype=np.float64)

    def rhat(self) -> np.ndarray:
        """arviz's R-hat of each coordinate, shape (d,)."""
        az, data = self._posterior()
        return np.asarray(az.rhat(data)["x"].values, dtype=np.float64)

    def summary(self):
        """arviz's summary table: mean, sd, HDI, MCSE, ESS and R-hat per coordinate."""
        az, data = self._posterior()
        return az.summary(data)

    def problems(self) -> list:
        """What makes these chains untrustworthy, one sentence each (empty
        when nothing does): R-hat above 1.01, bulk or tail ESS below 100 per
        chain (the worst coordinates named), divergences after warm-up, tree
        depth saturated, low BFMI. Needs arviz."""
        return _convergence_problems(self)

    def check(self, warn: bool = True) -> list:
        """``problems()``, each also issued as a ``ConvergenceWarning`` when
        ``warn``; without arviz, nothing is checked."""
        return self._check(warn, 3)

    def _check(self, warn: bool, stacklevel: int) -> list:
        # stacklevel counts from here: the warnings point at the line of
        # the user's code that asked for the chains.
        try:
            found = self.problems()
        except ImportError:
            return []
        if warn:
            for text in found:
                warnings.warn(text, ConvergenceWarning, stacklevel=stacklevel)
        return found


def _gather(results, setup, before=None) -> Chains:
    """The Chains of a run's task results, appended to the Chains `before`
    when resumed (whose warm-up they keep)."""
    def stack(key):
        return np.concatenate([r[key] for r in results], axis=0)

    stats = {name: np.concatenate([r["stats"][name] for r in results], axis=0) for name in results[0]["stats"]}
    samples, values = stack("samples"), stack("logpdf_values")
    tune_samples, tune_values = stack("tune_samples"), stack("tune_logpdf_values")
    tune_stats = {name: np.concatenate([r["tune_stats"][name] for r in results], axis=0)
                  for name in results[0]["tune_stats"]}
    if before is not None:
        samples = np.concatenate([before.samples, samples], axis=1)
        values = np.concatenate([before.logpdf_values, values], axis=1)
        stats = {name: np.concatenate([before.stats[name], v], axis=1) for name, v in stats.items()}
        tune_samples, tune_values, tune_stats = before.tune_samples, before.tune_logpdf_values, before.tune_stats
    # The engine's acceptance and divergence counters run from the end of
    # the warm-up, across resumed runs.
    result = Chains(samples, values, stack("accept_rate"), stack("step_size"), tune_samples, tune_values,
                    stack("divergent"), setup["sampler"])
    result.stats, result.tune_stats = stats, tune_stats
    result.metric = stack("metric")
    result._resume = {"state": stack("state"), "generators": [g for r in results for g in r["generators"]],
                      "setup": {k: v for k, v in setup.items() if k not in ("logpdf", "grad", "generators")}}
    result._target = (setup["logpdf"], setup["grad"])
    return result


def _nuts_chains(results, setup, tune, before) -> Chains:
    """The Chains of a run whose first `tune` recorded iterations are
    warm-up, appended to the Chains `before` when resumed."""
    def stack(key):
        return np.concatenate([r[key] for r in results], axis=0)

    samples = stack("samples")
    stats = {name: stack(name) for name in _STAT_NAMES}
    kept = {name: v[:, tune:] for name, v in stats.items()}
    tune_stats = {name: v[:, :tune] for name, v in stats.items()}
    tune_samples = samples[:, :tune]
    samples = samples[:, tune:]
    if before is not None:
        kept = {name: np.concatenate([before.stats[name], v], axis=1) for name, v in kept.items()}
        tune_stats = before.tune_stats
        tune_samples = before.tune_samples
        samples = np.concatenate([before.samples, samples], axis=1)
    divergent = kept["diverging"].sum(axis=1).astype(np.int64)
    accept = kept["acceptance_rate"].mean(axis=1)
    result = Chains(samples, kept["lp"], accept, stack("final_step_size"), tune_samples, tune_stats["lp"],
                    divergent, "nuts")
    result.stats = kept
    result.tune_stats = tune_stats
    result.metric = stack("metric")
    if _metric_kind(setup) == "low_rank":
        result.metric = LowRankMetric._of_words(result.metric, samples.shape[2])
    result._max_tree_depth = setup["max_tree_depth"]
    done = (0 if before is None else before._resume["done"]) + stats["lp"].shape[1]
    result._resume = {"state": stack("state"), "done": done, "generators": [g for r in results for g in r["generators"]],
                      "setup": {k: v for k, v in setup.items() if k not in ("logpdf", "grad", "generators")}}
    result._target = (setup["logpdf"], setup["grad"])
    return result
