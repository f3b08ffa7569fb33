"""Default random-walk Metropolis with and without its Laplace warm-up.

    python3 benchmarks/bench_metropolis_warmup.py [--seeds 5] [--targets logistic gauss100]

varlix.mcmc.metropolis(logpdf, x0) at its defaults (draws=1000, tune=1000,
chains=4) on the 31-D logistic regression (scikit-learn's breast-cancer data,
the bench extra) and the 100-D Gaussian with scales log-uniform in
[0.01, 100] (benchmarks/targets/synthetic.py), from the targets' dispersed
starting points, once as it is and once with the Laplace step switched off
(the identity metric it falls back to). Per seed: the largest R-hat and the
smallest bulk ESS (arviz), the worst |mean - reference| / reference sd, and
the log-density evaluations of the Laplace step beside the chains' own. The
logistic regression's reference comes from a long NUTS run (4 x 20,000
draws, with its gradient), the Gaussian's is exact.
"""
import argparse
import os
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from targets import make  # noqa: E402

from varlix import mcmc  # noqa: E402
from varlix.mcmc import _laplace_step, _samplers  # noqa: E402

warnings.simplefilter("ignore", FutureWarning)
import arviz as az  # noqa: E402


class Counted:
    """A vectorized log-density ((k, d) -> (k,)) that counts its points."""

    def __init__(self, batch):
        self.batch = batch
        self.points = 0

    def __call__(self, x):
        self.points += x.shape[0]
        return self.batch(x)


def vectorized(name, target):
    if name == "logistic":
        from sklearn.datasets import load_breast_cancer
        features, labels = load_breast_cancer(return_X_y=True)
        z = (features - features.mean(axis=0)) / features.std(axis=0)
        X = np.column_stack([np.ones(len(z)), z])
        y = labels.astype(float)
        return lambda u: (u @ X.T) @ y - np.logaddexp(0.0, u @ X.T).sum(axis=1) - 0.5 * (u * u).sum(axis=1)
    if name == "gauss100":
        prec = 1.0 / target.ref_sd**2
        return lambda u: -0.5 * (u * u) @ prec
    raise KeyError(name)


def reference(name, target):
    if target.ref_mean is not None:
        return target.ref_mean, target.ref_sd
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ref = mcmc.nuts(target.logp_and_grad, target.inits(4, seed=99), grad=True, draws=20_000, tune=2000,
                        random_state=12345, progress=False, warn=False)
    x = ref.samples.reshape(-1, target.d)
    return x.mean(axis=0), x.std(axis=0)


def measure(chains, ref_mean, ref_sd):
    data = az.from_dict(posterior={"x": chains.samples}, dims={"x": ["x_dim"]})
    rhat = float(np.max(az.rhat(data)["x"].values))
    ess = float(np.min(az.ess(data, method="bulk")["x"].values))
    x = chains.samples.reshape(-1, chains.dim)
    bias = float(np.max(np.abs(x.mean(axis=0) - ref_mean) / ref_sd))
    return rhat, ess, bias


def run(name, seeds):
    target = make(name)
    ref_mean, ref_sd = reference(name, target)
    batch = vectorized(name, target)
    print(f"\n{name} (d = {target.d}); columns: R-hat max, bulk ESS min, worst |mean - ref| / sd, seconds")
    laplace_factor = _samplers._laplace_start
    for label, switch in (("before (identity start)", lambda *a: None), ("after (Laplace start)", laplace_factor)):
        rows = []
        for seed in range(seeds):
            f = Counted(batch)
            x0 = target.inits(4, seed=seed)
            _samplers._laplace_start = switch
            try:
                start = time.perf_counter()
                chains = mcmc.metropolis(f, x0, random_state=seed, vectorized=True)
                seconds = time.perf_counter() - start
            finally:
                _samplers._laplace_start = laplace_factor
            rows.append(measure(chains, ref_mean, ref_sd) + (seconds, f.points))
        rows = np.array(rows)
        print(f"  {label}:")
        for seed, (rhat, ess, bias, seconds, points) in enumerate(rows):
            print(f"    seed {seed}: R-hat {rhat:7.3f}  ESS {ess:7.1f}  bias {bias:6.2f}  {seconds:5.2f} s  "
                  f"{int(points)} evaluations")
        print(f"    median: R-hat {np.median(rows[:, 0]):.3f}, ESS {np.median(rows[:, 1]):.1f}, "
              f"bias {np.median(rows[:, 2]):.2f}")
    evaluations = [_laplace_step._laplace(Counted(batch), "batch", target.inits(4, seed=s))[3] for s in range(seeds)]
    why = _laplace_step._laplace(batch, "batch", target.inits(4, seed=0))[1]
    print(f"  Laplace step: {why}, {min(evaluations)}-{max(evaluations)} log-density evaluations "
          f"(the chains: 4 x 2000 = 8000)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seeds", type=int, default=5)
    parser.add_argument("--targets", nargs="*", default=["logistic", "gauss100"])
    args = parser.parse_args()
    for name in args.targets:
        run(name, args.seeds)


if __name__ == "__main__":
    main()
