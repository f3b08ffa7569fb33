"""
Propagating dependent inputs through a model
============================================

A beam carries a load and has a strength; it fails when the load exceeds
the strength. The two are positively dependent (a heavier design is both
stronger and more loaded). Their marginals come from a density and from
data, and a Gaussian copula ties them: the failure probability depends
strongly on the correlation, which an independent sample would miss.
"""
import matplotlib.pyplot as plt
import numpy as np

import varlix

load = varlix.from_pdf(lambda x: x**2 * np.exp(-x / 1.5), support=(0, np.inf))
measured = np.random.default_rng(0).normal(12.0, 1.5, size=400)
strength = varlix.from_histogram(np.histogram(measured, bins=20))
print("load:", load.summary().splitlines()[0], "| strength:", strength.summary().splitlines()[0])

rhos = np.linspace(-0.8, 0.8, 9)
p_fail = []
for rho in rhos:
    c = varlix.gaussian_copula([[1.0, rho], [rho, 1.0]], [load, strength])
    xy = c.rvs(400_000, random_state=4)
    p_fail.append(np.mean(xy[:, 0] > xy[:, 1]))
    if rho == 0.8:
        sample = xy[:3000]
print("P(failure) by correlation:", dict(zip(rhos.round(1), np.round(p_fail, 5))))

fig, (left, right) = plt.subplots(1, 2, figsize=(8, 3.5))
left.plot(sample[:, 0], sample[:, 1], ".", ms=2, alpha=0.5)
left.plot([0, 16], [0, 16], "r", lw=1, label="load = strength")
left.set_xlabel("load")
left.set_ylabel("strength")
left.set_title("rho = 0.8")
left.legend()
right.semilogy(rhos, p_fail, "o-")
right.set_xlabel("correlation of the copula")
right.set_ylabel("P(load > strength)")
fig.tight_layout()
