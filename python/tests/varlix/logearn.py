"""The log-earnings posterior of python/tests/data/posteriors (model.md
there): log earnings on standardised height, sex and their interaction,
flat priors, on u = (beta, log sigma)."""
import json
import pathlib

import numpy as np

POSTERIORS = pathlib.Path(__file__).resolve().parents[1] / "data" / "posteriors"
NAMES = ["beta[1]", "beta[2]", "beta[3]", "beta[4]", "sigma"]


def data():
    """(design matrix X (n, 4), log earnings (n,))."""
    raw = json.loads((POSTERIORS / "logearn_interaction_z" / "data.json").read_text())
    le = np.log(np.asarray(raw["earn"], dtype=float))
    height = np.asarray(raw["height"], dtype=float)
    male = np.asarray(raw["male"], dtype=float)
    zh = (height - height.mean()) / height.std(ddof=1)
    return np.column_stack([np.ones_like(zh), zh, male, zh * male]), le


def reference():
    """name -> {"mean", "sd"} of the long reference runs."""
    return json.loads((POSTERIORS / "logearn_interaction_z" / "reference.json").read_text())["stats"]
