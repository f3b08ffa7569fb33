"""
An MCMC posterior with arviz diagnostics
========================================

A Bayesian linear regression of disease progression on body-mass index
(scikit-learn's diabetes data): intercept ``a``, slope ``b`` and log noise
``s``, with wide normal priors. Hamiltonian Monte Carlo with the exact
gradient runs four chains; arviz reads them. Before trusting a posterior,
check R-hat (near 1), the effective sample sizes, and that the traces look
like stationary noise and the rank histograms are flat.
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


def logpdf(p):
    a, b, s = p
    r = y - a - b * x
    return -n * s - 0.5 * np.exp(-2 * s) * (r @ r) - 0.5 * (a * a + b * b + s * s) / 10.0**2


def grad(p):
    a, b, s = p
    r = y - a - b * x
    w = np.exp(-2 * s)
    return np.array([w * r.sum() - a / 100, w * (r @ x) - b / 100, -n + w * (r @ r) - s / 100])


chains = mcmc.hmc(logpdf, np.zeros(3), grad=grad, draws=500, tune=500, chains=4, random_state=5)
print(chains)  # coordinates: x[0] is a, x[1] is b, x[2] is s
print("R-hat:", chains.rhat().round(4), " bulk ESS:", chains.ess().round(0))
print("divergent transitions:", chains.divergent)
print(chains.summary())

idata = chains.to_arviz()

# %%
# Traces and marginal posteriors, one colour per chain
# ----------------------------------------------------
az.plot_trace(idata, compact=False, figsize=(8, 6))
plt.tight_layout()

# %%
# Rank plots: flat and alike when the chains mix
# ----------------------------------------------
az.plot_rank(idata, figsize=(8, 3))
plt.tight_layout()

# %%
# Autocorrelation: how fast the chains forget
# -------------------------------------------
az.plot_autocorr(idata, combined=True, max_lag=40, figsize=(8, 2.5))
plt.tight_layout()
