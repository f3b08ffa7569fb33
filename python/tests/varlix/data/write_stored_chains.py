"""Writes stored_chains.pickle, which the suite loads (test_mcmc.py): chains of
metropolis and of nuts with a low-rank metric, pickled, with the draws each
gave when resumed. Run once, by hand, from python/tests/varlix with the
package installed; the file is kept, not remade, so that chains pickled by
this version (this one when varlix.mcmc was a single module) must still
load and resume in later ones."""
import pickle
import sys
import warnings
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

import stored_laws  # noqa: E402
import varlix  # noqa: E402
from varlix import mcmc  # noqa: E402

RESUMED = 20


def main():
    common = dict(draws=30, tune=60, chains=2, random_state=20261207, warn=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        chains = {
            "metropolis": mcmc.metropolis(stored_laws.gaussian_logpdf, np.zeros(3), **common),
            "nuts_low_rank": mcmc.nuts(stored_laws.gaussian_logpdf, np.zeros(3), grad=stored_laws.gaussian_grad,
                                       metric="low_rank", **common),
        }
    resumed = {name: c.resume(RESUMED, warn=False).samples for name, c in chains.items()}
    record = {"chains": chains, "resumed": resumed, "version": varlix.__version__}
    with open(HERE / "stored_chains.pickle", "wb") as f:
        pickle.dump(record, f, protocol=4)
    print({name: type(c).__module__ for name, c in chains.items()})


if __name__ == "__main__":
    main()
