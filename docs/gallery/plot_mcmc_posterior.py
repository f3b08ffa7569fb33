"""
An MCMC posterior with arviz diagnostics
========================================

A Bayesian linear regression of disease progression on body-mass index
(scikit-learn's diabetes data): intercept ``a``, slope ``b`` and log noise
``s``, with wide normal priors. The No-U-Turn sampler runs four chains on
the log-density and its gradient, returned together; arviz reads them.
Before trusting a posterior, check R-hat (near 1), the effective sample
sizes, that there are no divergences, that the traces look like stationary
noise and that the energy plot's two distributions overlap. ``nuts`` checks
the same after sampling and warns with a ``ConvergenceWarning`` when one
fails.
"""
import arviz as az
import matplotlib.pyplot as plt
import numpy as np
from sklearn.datasets import load_diabetes

from varlix import mcmc

data = load_diabetes()
bmi = data.data[:, list(data.feature_names).index("bmi")]
x = (bmi - bmi.mean()) / bmi.std()
y = (data.target - data.target.mean()) / data.target.std()
n = y.size


def logpdf_and_grad(p):
    a, b, s = p
    r = y - a - b * x
    w = np.exp(-2 * s)
    rr = r @ r
    value = -n * s - 0.5 * w * rr - 0.5 * (a * a + b * b + s * s) / 10.0**2
    grad = np.array([w * r.sum() - a / 100, w * (r @ x) - b / 100, -n + w * rr - s / 100])
    return value, grad


chains = mcmc.nuts(logpdf_and_grad, np.zeros(3), grad=True, draws=1000, tune=1000, random_state=5,
                   progress=False)
print(chains)  # coordinates: x[0] is a, x[1] is b, x[2] is s
print("R-hat:", chains.rhat().round(4), " bulk ESS:", chains.ess().round(0))
print("problems found:", chains.problems() or "none")

# %%
# Per-draw statistics
# -------------------
# ``chains.stats`` holds, per chain and draw, what arviz calls
# ``sample_stats``: divergences, tree depth, leapfrog steps (the cost) and
# the energy.
stats = chains.stats
print("divergences:", int(stats["diverging"].sum()))
print("tree depth: mean", stats["tree_depth"].mean().round(2), "max", stats["tree_depth"].max())
print("gradient calls per draw:", stats["n_steps"].mean().round(1))
print("step size per chain:", stats["step_size"][:, -1].round(3))

idata = chains.to_arviz()
print("BFMI per chain:", az.bfmi(idata).round(2))
print(chains.summary())

# %%
# Traces and marginal posteriors, one colour per chain
# ----------------------------------------------------
az.plot_trace(idata, compact=False, figsize=(8, 6))
plt.tight_layout()

# %%
# Energy: the marginal energy and its transitions
# -----------------------------------------------
# When the distribution of energy changes between draws is as wide as the
# marginal energy distribution, each momentum resampling reaches the energy
# levels the posterior needs (a BFMI near 1); a much narrower one means
# slow exploration, typical of heavy tails and funnels.
az.plot_energy(idata, figsize=(6, 3))
plt.tight_layout()

# %%
# Rank plots: flat and alike when the chains mix
# ----------------------------------------------
az.plot_rank(idata, figsize=(8, 3))
plt.tight_layout()
