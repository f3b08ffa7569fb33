"""
A multimodal law
================

Three humps of different widths, far apart, on the whole real line, and a
center given at the first one only. The table grows from that center, but
it is not trusted to it: the density is walked outward on both sides and
integrated independently, and the table is rebuilt over the pieces of mass
found, with the empty stretch between them skipped. ``d.explored`` tells what that search saw:
the range it explored and the pieces holding mass, with their shares.
``cdf``, the moments and the draws all describe the same law.
"""
import matplotlib.pyplot as plt
import numpy as np

import varlix


def three_humps(x):
    return (0.5 * np.exp(-0.5 * x**2)
            + 0.3 * np.exp(-0.5 * ((x - 30) / 0.3) ** 2) / 0.3
            + 0.1 * np.exp(-np.abs(x - 60)))


d = varlix.from_pdf(three_humps, center=0.0)
print(d.explored)
print(d.summary())
print(f"mean {d.mean():.4f}, sd {d.std():.4f}")
print("mass in each hump:", np.diff(d.cdf([-np.inf, 15, 45, np.inf])).round(4))

x = d.rvs(300_000, random_state=2)
lo, hi = -10, 70
grid = np.linspace(lo, hi, 2000)

fig, (top, bottom) = plt.subplots(2, 1, figsize=(6, 5), sharex=True)
top.hist(x, bins=800, range=(lo, hi), density=True, alpha=0.5, label="draws")
top.plot(grid, d.pdf(grid), "k", lw=1, label="d.pdf")
for a, b in d.explored.pieces:
    top.axvspan(max(a, lo), min(b, hi), color="C2", alpha=0.1)
top.set_title("pieces found by the mass search (shaded)", fontsize=9)
top.legend()
bottom.plot(grid, d.cdf(grid), label="d.cdf")
bottom.plot(np.sort(x)[::1000], np.linspace(0, 1, x.size)[::1000], ".", ms=2, label="empirical CDF")
bottom.set_xlabel("x")
bottom.legend()
fig.tight_layout()
