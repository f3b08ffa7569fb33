"""
A large sample on a Dask cluster
================================

``varlix.dask.rvs`` lays out a sample as a ``dask.array`` whose blocks draw
from independent streams spawned from one seed: the values depend only on
the seed and the chunking. Here the cluster is a small local one with
threads (``processes=False``); a real cluster's ``Client`` is used the same
way. Scripts that use worker *processes* need the
``if __name__ == "__main__":`` guard.
"""
import dask.array as da
import matplotlib.pyplot as plt
import numpy as np
from distributed import Client, LocalCluster

import varlix
import varlix.dask
from varlix import mcmc

d = varlix.from_pdf(lambda x: np.exp(-np.abs(x) ** 1.5))

with LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None) as cluster, \
        Client(cluster) as client:
    x = varlix.dask.rvs(d, size=20_000_000, chunks=2_000_000, random_state=42)
    counts, edges = da.histogram(x, bins=200, range=(-4, 4))
    counts, mean, tail = client.compute([counts, x.mean(), (x > 3).mean()], sync=True)
    print(f"{x.size:,} draws in {x.npartitions} blocks: mean {mean:.5f}, P(X > 3) {tail:.3e} "
          f"(exact {d.sf(3.0):.3e})")

    # Chains run one per task on the cluster's executor; the result equals
    # the serial run, chain for chain.
    def logpdf(p):
        return -0.5 * float(p @ p) - np.abs(p[0]) ** 1.5

    chains = mcmc.metropolis(logpdf, np.zeros(2), draws=500, tune=500, chains=4, random_state=1,
                             executor=client.get_executor())
    serial = mcmc.metropolis(logpdf, np.zeros(2), draws=500, tune=500, chains=4, random_state=1)
    print("chains on the cluster equal the serial chains:", np.array_equal(chains.samples, serial.samples))

centres = 0.5 * (edges[1:] + edges[:-1])
width = edges[1] - edges[0]
fig, ax = plt.subplots(figsize=(6, 3.5))
ax.bar(centres, counts / (counts.sum() * width), width=width, alpha=0.5, label="20 million draws on Dask")
ax.plot(centres, d.pdf(centres), "k", lw=1, label="d.pdf")
ax.set_xlabel("x")
ax.legend()
fig.tight_layout()
