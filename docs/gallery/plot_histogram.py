"""
A law from real data: a histogram
=================================

scikit-learn ships the diabetes data set: for 442 patients, a measure of
disease progression one year after baseline. ``from_histogram`` takes
NumPy's ``(counts, edges)`` pair as it is, and every quantity of the
piecewise-uniform law is an exact closed form.
"""
import matplotlib.pyplot as plt
import numpy as np
from sklearn.datasets import load_diabetes

import varlix

progression = load_diabetes().target
d = varlix.from_histogram(np.histogram(progression, bins=15))
print(d.summary())
print(f"data:      mean {progression.mean():.2f}, median {np.median(progression):.2f}")
print(f"histogram: mean {d.mean():.2f}, median {d.median():.2f}, 90% interval {np.round(d.interval(0.9), 1)}")

# %%
# Resampling smooths the data within bins: draws from the histogram law
# (a smoothed bootstrap) against the data.
draws = d.rvs(100_000, random_state=3)
grid = np.linspace(d.support()[0], d.support()[1], 1000)

fig, (left, right) = plt.subplots(1, 2, figsize=(8, 3.5))
left.hist(draws, bins=60, density=True, alpha=0.5, label="draws")
left.step(grid, d.pdf(grid), "k", where="post", lw=1, label="d.pdf")
left.set_xlabel("disease progression")
left.legend()
q = np.linspace(0.01, 0.99, 99)
right.plot(np.quantile(progression, q), d.ppf(q), ".")
right.plot(grid, grid, "k", lw=0.5)
right.set_xlabel("data quantiles")
right.set_ylabel("d.ppf")
fig.tight_layout()
