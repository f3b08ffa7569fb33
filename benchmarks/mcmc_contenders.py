"""The samplers bench_mcmc.py compares on its targets, each run the same way.

Every runner takes (target, inits of shape (chains, d), draws, tune, seed,
max_tree_depth) and returns a Run: the kept draws on R^d (chains, draws, d),
the wall time of warm-up plus draws, the compile time measured apart (0
where there is none), and the gradient evaluations spent on the kept draws.
Peers that compile keep their compiled function between repeats: the first
call of a contender pays the compile, and later calls do not.
"""
from __future__ import annotations

import time
from dataclasses import dataclass

import numpy as np

from varlix import mcmc


@dataclass
class Run:
    samples: np.ndarray
    seconds: float
    compile_seconds: float = 0.0
    gradients: float = float("nan")
    divergences: int = 0


# ---- varlix -------------------------------------------------------------------

HMC_LEAPFROG_STEPS = 10


def varlix_gradient_sampler():
    """NUTS once varlix.mcmc has it, HMC until then."""
    return ("nuts", mcmc.nuts) if hasattr(mcmc, "nuts") else ("hmc", mcmc.hmc)


def _varlix_run(target, inits, draws, tune, seed, max_tree_depth, form, metric="diag"):
    kind, sampler = varlix_gradient_sampler()
    nb = target.numba() if form == "numba" else None
    if kind == "nuts":
        # NUTS takes the compiled pair as one function writing its gradient
        # (run without the interpreter lock), and a Python value-and-gradient.
        if form == "numba":
            logpdf, grad = nb["cfunc_logp_grad"], None
        else:
            logpdf, grad = target.logp_and_grad, True
        start = time.perf_counter()
        chains = sampler(logpdf, inits, grad=grad, draws=draws, tune=tune, chains=len(inits), random_state=seed,
                         max_tree_depth=max_tree_depth, progress=False, warn=False, metric=metric)
        seconds = time.perf_counter() - start
        return Run(chains.samples, seconds, gradients=float(np.sum(chains.stats["n_steps"])),
                   divergences=int(np.sum(chains.stats["diverging"])))
    if form == "numba":
        logpdf = nb["cfunc_logp"]
        logp_grad = nb["logp_grad"]

        def grad(x):
            g = np.empty(x.shape[0])
            logp_grad(x, g)
            return g
    else:
        logpdf, grad = target.logpdf, target.grad
    kwargs = dict(grad=grad, draws=draws, tune=tune, chains=len(inits), random_state=seed)
    if kind == "nuts":
        kwargs["max_tree_depth"] = max_tree_depth
    else:
        kwargs.update(leapfrog_steps=HMC_LEAPFROG_STEPS, vectorized=False)
    if form == "numpy":
        kwargs["vectorized"] = False
    start = time.perf_counter()
    chains = sampler(logpdf, inits, **kwargs)
    seconds = time.perf_counter() - start
    gradients = _varlix_gradients(chains, kind, draws, len(inits))
    return Run(chains.samples, seconds, gradients=gradients, divergences=_varlix_divergences(chains))


def _varlix_gradients(chains, kind, draws, n_chains):
    steps = getattr(chains, "n_steps", None)
    if steps is not None:
        return float(np.sum(steps))
    if kind == "hmc":
        return float(HMC_LEAPFROG_STEPS * draws * n_chains)
    return float("nan")


def _varlix_divergences(chains):
    diverging = getattr(chains, "diverging", None)
    if diverging is not None:
        return int(np.sum(diverging))
    return int(np.sum(chains.divergent))


def varlix_numpy(target, inits, draws, tune, seed, max_tree_depth):
    return _varlix_run(target, inits, draws, tune, seed, max_tree_depth, "numpy")


def varlix_numba(target, inits, draws, tune, seed, max_tree_depth):
    return _varlix_run(target, inits, draws, tune, seed, max_tree_depth, "numba")


def varlix_numba_dense(target, inits, draws, tune, seed, max_tree_depth):
    return _varlix_run(target, inits, draws, tune, seed, max_tree_depth, "numba", metric="dense")


def varlix_numba_low_rank(target, inits, draws, tune, seed, max_tree_depth):
    return _varlix_run(target, inits, draws, tune, seed, max_tree_depth, "numba", metric="low_rank")


def varlix_metropolis(target, inits, draws, tune, seed, max_tree_depth):
    """Random-walk Metropolis with the numba cfunc; no gradient."""
    start = time.perf_counter()
    chains = mcmc.metropolis(target.numba()["cfunc_logp"], inits, draws=draws, tune=tune, chains=len(inits),
                             random_state=seed, warn=False, progress=False)
    return Run(chains.samples, time.perf_counter() - start, gradients=float("nan"))


# ---- JAX peers ---------------------------------------------------------------------

def _jax():
    import jax
    jax.config.update("jax_enable_x64", True)
    return jax


_compiled = {}


def numpyro_nuts(target, inits, draws, tune, seed, max_tree_depth):
    jax = _jax()
    from numpyro.infer import MCMC, NUTS
    key = ("numpyro", target.name, draws, tune, max_tree_depth)
    first = key not in _compiled
    if first:
        logp = target.jax_logp()
        kernel = NUTS(potential_fn=lambda u: -logp(u), target_accept_prob=0.8, max_tree_depth=max_tree_depth)
        _compiled[key] = MCMC(kernel, num_warmup=tune, num_samples=draws, num_chains=len(inits),
                              chain_method="vectorized", progress_bar=False)
    sampler = _compiled[key]
    start = time.perf_counter()
    sampler.run(jax.random.PRNGKey(seed), init_params=jax.numpy.asarray(inits),
                extra_fields=("num_steps", "diverging"))
    samples = np.asarray(sampler.get_samples(group_by_chain=True))
    seconds = time.perf_counter() - start
    extra = sampler.get_extra_fields()
    return Run(samples, seconds, gradients=float(np.sum(extra["num_steps"])),
               divergences=int(np.sum(extra["diverging"])), compile_seconds=float("nan") if first else 0.0)


def blackjax_nuts(target, inits, draws, tune, seed, max_tree_depth):
    jax = _jax()
    key = ("blackjax", target.name, draws, tune, max_tree_depth)
    compile_seconds = 0.0
    if key not in _compiled:
        start = time.perf_counter()
        fn = jax.jit(_blackjax_chain(target.jax_logp(), draws, tune, max_tree_depth))
        _compiled[key] = fn.lower(jax.random.PRNGKey(0), jax.numpy.asarray(inits[0])).compile()
        compile_seconds = time.perf_counter() - start
    chain = _compiled[key]
    start = time.perf_counter()
    keys = jax.random.split(jax.random.PRNGKey(seed), len(inits))
    # One chain after another, as the other contenders run on two cores.
    outs = [chain(k, jax.numpy.asarray(x)) for k, x in zip(keys, inits)]
    samples = np.stack([np.asarray(o[0]) for o in outs])
    seconds = time.perf_counter() - start
    return Run(samples, seconds, compile_seconds, gradients=float(sum(np.sum(o[1]) for o in outs)),
               divergences=int(sum(np.sum(o[2]) for o in outs)))


def _blackjax_chain(logp, draws, tune, max_tree_depth):
    import blackjax
    jax = _jax()

    def chain(key, x0):
        warm_key, draw_key = jax.random.split(key)
        warmup = blackjax.window_adaptation(blackjax.nuts, logp, target_acceptance_rate=0.8,
                                            max_num_doublings=max_tree_depth)
        (state, params), _ = warmup.run(warm_key, x0, num_steps=tune)
        step = blackjax.nuts(logp, **params).step   # params carry the depth

        def one(state, k):
            state, info = step(k, state)
            return state, (state.position, info.num_integration_steps, info.is_divergent)

        _, out = jax.lax.scan(one, state, jax.random.split(draw_key, draws))
        return out

    return chain


# ---- nutpie ------------------------------------------------------------------------

def nutpie_nuts(target, inits, draws, tune, seed, max_tree_depth):
    """nutpie on the NumPy log-density and gradient (its Python-function interface)."""
    import nutpie
    from nutpie.compiled_pyfunc import from_pyfunc
    key = ("nutpie", target.name)
    if key not in _compiled:
        pair = target.logp_and_grad
        d = target.d

        def make_logp():
            def logp(x, **shared):
                lp, g = pair(np.asarray(x))
                return float(lp), np.ascontiguousarray(g, dtype=np.float64)

            return logp

        def make_expand(*args):
            return lambda x, **shared: {"u": np.array(x, dtype=np.float64)}

        def make_init(seed):
            rng = np.random.default_rng(seed)
            return target.init_center + rng.uniform(-target.init_radius, target.init_radius, d)

        # nutpie draws its own starting points per chain: from the same box as the others.
        _compiled[key] = from_pyfunc(d, make_logp, make_expand, [np.dtype("float64")], [(d,)], ["u"],
                                     make_initial_point_fn=make_init)
    start = time.perf_counter()
    trace = nutpie.sample(_compiled[key], draws=draws, tune=tune, chains=len(inits), seed=seed, cores=2,
                          progress_bar=False, target_accept=0.8, maxdepth=max_tree_depth)
    seconds = time.perf_counter() - start
    samples = np.asarray(trace.posterior["u"])
    stats = trace.sample_stats
    return Run(samples, seconds, gradients=float(stats["n_steps"].sum()),
               divergences=int(stats["diverging"].sum()))


CONTENDERS = {
    "varlix grad numpy": varlix_numpy,
    "varlix grad numba": varlix_numba,
    "varlix numba dense": varlix_numba_dense,
    "varlix numba low_rank": varlix_numba_low_rank,
    "varlix metropolis cfunc": varlix_metropolis,
    "nutpie numpy": nutpie_nuts,
    "numpyro NUTS": numpyro_nuts,
    "blackjax NUTS": blackjax_nuts,
}
