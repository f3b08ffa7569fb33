"""Writes the stored pickles the suite loads (test_stored_tables.py): one per
engine class, each with the draws it gave when written. Run once, by hand,
from python/tests/varlix with the package installed; the files are kept, not
remade, so that tables written by this version must still load in later
ones."""
import pickle
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

import stored_laws  # noqa: E402
import varlix  # noqa: E402
from varlix import sampling  # noqa: E402

SEED = 20261207


def generators():
    normal = stored_laws.Normal()
    return {
        "pinv": sampling.NumericalInversePolynomial(normal, random_state=1),
        "hinv": sampling.NumericalInverseHermite(normal, domain=(-10, 10), random_state=1),
        "tdr": sampling.TransformedDensityRejection(normal, random_state=1),
        "srou": sampling.SimpleRatioUniforms(normal, mode=0.0, random_state=1),
        "alias": sampling.DiscreteAliasUrn(stored_laws.Binomial(), random_state=1),
        "guide": sampling.DiscreteGuideTable(stored_laws.Binomial(), random_state=1),
        "distribution_pdf": varlix.from_pdf(stored_laws.normal_pdf),
        "distribution_cdf": varlix.from_cdf(stored_laws.Normal().cdf),
    }


def main():
    for name, gen in generators().items():
        record = {"object": gen, "draws": np.asarray(gen.rvs(size=16, random_state=SEED)),
                  "version": varlix.__version__}
        with open(HERE / f"stored_{name}.pickle", "wb") as f:
            pickle.dump(record, f, protocol=4)
        print(name, type(gen).__name__)


if __name__ == "__main__":
    main()
