"""Tables pickled by an earlier version still load and draw what they drew
then: one stored pickle per engine class (and per table of a law), written
once by data/write_stored_tables.py and kept."""
import pickle
from pathlib import Path

import numpy as np
import pytest

import stored_laws  # noqa: F401  (the pickles name its laws)
import varlix

DATA = Path(__file__).resolve().parent / "data"
SEED = 20261207
STORED = ["pinv", "hinv", "tdr", "srou", "alias", "guide", "distribution_pdf", "distribution_cdf"]


@pytest.mark.parametrize("name", STORED)
def test_a_stored_table_loads_and_draws_as_it_did(name):
    with open(DATA / f"stored_{name}.pickle", "rb") as f:
        record = pickle.load(f)
    obj = record["object"]
    # The draws were stored from Generator(PCG64(SEED)): the stream is named
    # explicitly, since an int means a RandomState in varlix.sampling.
    source = lambda: np.random.Generator(np.random.PCG64(SEED))  # noqa: E731
    np.testing.assert_array_equal(np.asarray(obj.rvs(size=16, random_state=source())), record["draws"])
    # And it pickles again, to the same draws.
    again = pickle.loads(pickle.dumps(obj))
    np.testing.assert_array_equal(np.asarray(again.rvs(size=16, random_state=source())), record["draws"])


def test_the_discrete_laws_former_module_still_names_it():
    from varlix import _discrete

    assert _discrete.DiscreteDistribution is varlix.DiscreteDistribution
    assert _discrete.from_pmf is varlix.from_pmf
