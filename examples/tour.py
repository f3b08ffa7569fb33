"""A tour of varlix: every family of distributions and samplers, once.

First the varlix package (a custom density on the real line end to end, a
fast generator beside scipy's interface, Markov chains), then the _varlix
module's families.

    python3 examples/tour.py [output-directory]

Prints statistics and seeded draws, and, when matplotlib is installed (the
`plot` extra), writes PNG plots of draws against their targets into the
output directory (default: ./tour-output).
"""
import math
import random
import sys
from pathlib import Path

import numpy as np

import _varlix as vx
import distributions_tour
import fast_generators
from varlix import mcmc

try:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:  # the plots are optional
    plt = None

OUT = Path(sys.argv[1] if len(sys.argv) > 1 else "tour-output")


def heading(text):
    print(f"\n== {text} ==")


def save(fig, name):
    OUT.mkdir(parents=True, exist_ok=True)
    path = OUT / name
    fig.savefig(path, dpi=100)
    plt.close(fig)
    print(f"   plot: {path}")


def short(values, digits=4):
    return "[" + ", ".join(f"{v:.{digits}f}" for v in values) + "]"


def discrete():
    heading("A finite discrete distribution")
    d = vx.from_pmf([1.0, 2.0, 3.0, 5.0], [1.0, 1.0, 2.0, 0.5])
    print(f"   points {d.points()}, P(X = 3) = {d.pmf(3.0):.4f}, F(2) = {d.cdf_at(1):.4f}")
    print(f"   mean {d.mean():.4f}, var {d.var():.4f}, std {d.std():.4f}, median {d.ppf(0.5)}")
    print(f"   sample_n(10, seed=7) = {d.sample_n(10, seed=7)}")


def bimodal(x):
    """An unnormalized two-bump density of our own, on [-4, 6]."""
    return math.exp(-0.5 * (x + 1.0) ** 2) + 0.6 * math.exp(-0.5 * ((x - 2.5) / 0.7) ** 2)


def log_concave(x):
    return math.exp(-0.5 * x * x - 0.1 * x**4)


def continuous():
    heading("Continuous distributions from your own density")
    support = vx.Interval(-4.0, 6.0)
    backends = [
        ("inversion (default)", vx.from_pdf(bimodal, support)),
        ("Hermite table, 64 nodes", vx.from_pdf_with_options(bimodal, support, vx.BuildOptions.hermite(64))),
        ("TDR, box hat", vx.from_pdf_with_options(bimodal, support, vx.BuildOptions.tdr("inv_sqrt"))),
    ]
    d = backends[0][1]
    print(f"   support {d.support()}, mean {d.mean():.4f}, std {d.std():.4f}, entropy {d.entropy():.4f}")
    print(f"   median {d.median():.4f}, 90% interval {short(d.interval(0.9))}, P(X > 2) = {d.sf(2.0):.4f}")
    print(f"   E[X^2] = {d.expect(lambda x: x * x):.4f}")
    draws = {}
    for name, dist in backends:
        n = 200 if not (dist.uses_hermite_table() or dist.uses_tdr()) else 5000
        draws[name] = dist.sample_n(n, seed=42)
        print(f"   {name:<24} first draws {short(draws[name][:4])}")

    g = vx.from_pdf_with_options(log_concave, vx.Interval(-5.0, 5.0), vx.BuildOptions.tdr("log"))
    print(f"   TDR with tangents on a log-concave density: sample_n(4, seed=1) = {short(g.sample_n(4, seed=1))}")

    h = vx.from_histogram([0.0, 1.0, 2.0, 4.0], [2.0, 5.0, 3.0])
    print(f"   histogram: mean {h.mean():.4f}, cdf(1.5) = {h.cdf(1.5):.4f}")
    ls = vx.from_pdf_loc_scale(lambda z: math.exp(-0.5 * z * z), vx.Interval(-6.0, 6.0), 10.0, 2.0)
    print(f"   location-scale normal(10, 2): support {ls.support()}, mean {ls.mean():.4f}, std {ls.std():.4f}")
    t = vx.truncated(bimodal, support, vx.Interval(0.0, 3.0))
    print(f"   truncated to [0, 3]: mean {t.mean():.4f}, pdf(-1) = {t.pdf(-1.0)}")
    c = vx.from_cdf(lambda x: 1.0 / (1.0 + math.exp(-x)), vx.Interval(-8.0, 8.0))
    print(f"   from a logistic CDF: median {c.median():.6f}, pdf is {c.pdf(0.0)} (no density given)")

    if plt is None:
        return
    xs = [-4.0 + 10.0 * i / 400 for i in range(401)]
    fig, axes = plt.subplots(1, len(backends), figsize=(13, 3.6), sharey=True)
    for ax, (name, dist) in zip(axes, backends):
        ax.hist(draws[name], bins=40, range=(-4.0, 6.0), density=True, alpha=0.5, label="draws")
        ax.plot(xs, [dist.pdf(x) for x in xs], "k-", lw=1.5, label="density")
        ax.set_title(name)
    axes[0].legend()
    fig.tight_layout()
    save(fig, "continuous.png")


def gauss2(x, y):
    """A correlated bivariate normal (rho = 0.8), unnormalized."""
    rho = 0.8
    return math.exp(-(x * x - 2.0 * rho * x * y + y * y) / (2.0 * (1.0 - rho * rho)))


def multivariate():
    heading("Multivariate samplers on a box")
    box = vx.HyperRect([-4.0, -4.0], [4.0, 4.0])
    results = {}

    rej = vx.rejection_sampler(gauss2, box, pdf_max=1.0)
    results["rejection"] = rej.sample_n(1500, seed=1)

    mh = vx.metropolis_hastings(gauss2, box, step_size=0.5)
    mh.init()
    results["Metropolis-Hastings"] = mh.sample_n(1500, seed=2)
    print(f"   Metropolis-Hastings acceptance rate {mh.accept_rate():.3f}")

    hmc = vx.hmc_sampler(gauss2, box, step_size=0.2, leapfrog_steps=10)
    hmc.init()
    results["HMC"] = hmc.sample_n(500, seed=3)

    rng = random.Random(4)
    sd = math.sqrt(1.0 - 0.8**2)

    def conditional(i, x):
        return rng.gauss(0.8 * x[1 - i], sd)

    gibbs = vx.gibbs_sampler(conditional, box, [0.0, 0.0])
    results["Gibbs"] = [gibbs.sample() for _ in range(1500)]

    def chain_rule(i, prefix):
        return rng.gauss(0.0, 1.0) if i == 0 else rng.gauss(0.8 * prefix[0], sd)

    factor = vx.conditional_factorization_sampler(chain_rule, 2)
    results["chain rule"] = factor.sample_n(1500)

    exponential_ppf = lambda u: -math.log1p(-u)  # noqa: E731
    copula = vx.gaussian_copula([[1.0, 0.8], [0.8, 1.0]])
    results["Gaussian copula (exp marginals)"] = [copula.sample([exponential_ppf] * 2, seed=s) for s in range(1500)]

    for name, points in results.items():
        n = len(points)
        mx = sum(p[0] for p in points) / n
        my = sum(p[1] for p in points) / n
        cov = sum((p[0] - mx) * (p[1] - my) for p in points) / n
        print(f"   {name:<32} n={n:<5} mean ({mx:+.3f}, {my:+.3f})  cov {cov:.3f}")

    est = vx.cdf_mc_estimator(gauss2, box, normalization_samples=20000, cdf_samples=20000)
    z = est.estimate_normalization(seed=5)
    exact = 2.0 * math.pi * math.sqrt(1.0 - 0.8**2)
    print(f"   Monte-Carlo normalizing constant {z:.4f} (exact on the plane {exact:.4f})")
    print(f"   Monte-Carlo P(X <= 0, Y <= 0) = {est.cdf([0.0, 0.0], seed=6):.4f} (exact {0.25 + math.asin(0.8) / (2 * math.pi):.4f})")

    if plt is None:
        return
    fig, axes = plt.subplots(2, 3, figsize=(12, 8))
    for ax, (name, points) in zip(axes.flat, results.items()):
        ax.scatter([p[0] for p in points], [p[1] for p in points], s=2, alpha=0.5)
        ax.set_title(name)
        ax.set_aspect("equal")
    fig.tight_layout()
    save(fig, "multivariate.png")


def banana(x):
    return -0.5 * (x[0] ** 2 / 4.0 + (x[1] - 0.5 * (x[0] ** 2 - 4.0)) ** 2)


def chains():
    heading("varlix.mcmc: four Metropolis chains on a banana")
    # A random walk's draws are strongly correlated: keep every fifth, so
    # that the chains pass their own check (R-hat, ESS) without a warning.
    result = mcmc.metropolis(banana, np.zeros(2), draws=2000, thin=5, tune=1000, chains=4, random_state=1)
    print("   samples", result.samples.shape, "acceptance", short(result.accept_rate, 3))
    print("   mean", short(result.samples.reshape(-1, 2).mean(axis=0), 3))
    try:
        print("   ESS", short(result.ess(), 0), "R-hat", short(result.rhat(), 4))
    except ImportError:
        print("   (arviz is not installed: no ESS or R-hat)")


def main():
    heading("varlix: one job end to end")
    distributions_tour.main()
    heading("varlix.sampling: a fast generator from a Python density")
    fast_generators.main(OUT)
    chains()
    print(f"\nThe _varlix module ({vx.__name__})")
    discrete()
    continuous()
    multivariate()


if __name__ == "__main__":
    main()
