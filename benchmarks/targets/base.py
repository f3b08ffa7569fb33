"""The Target record and the table of targets by name."""
from __future__ import annotations

import json
import os
from dataclasses import dataclass, field
from typing import Callable

import numpy as np

POSTERIOR_DIR = os.path.join(os.path.dirname(__file__), "..", "..", "python", "tests", "data", "posteriors")


@dataclass
class Target:
    name: str
    d: int
    logpdf: Callable          # NumPy, one point
    grad: Callable
    logp_and_grad: Callable
    numba_forms: Callable     # () -> dict of njit and cfunc forms, compiled on first use
    jax_forms: Callable       # () -> JAX log-density of one point
    init_center: np.ndarray   # chains start at init_center + U(-init_radius, init_radius)
    init_radius: float = 2.0
    names: list = field(default_factory=list)     # reported parameters
    ref_mean: np.ndarray | None = None
    ref_sd: np.ndarray | None = None
    report: Callable | None = None                # (..., d) draws -> (..., len(names))
    prior_note: str = ""
    _numba: dict | None = None
    _jax: Callable | None = None

    def numba(self) -> dict:
        if self._numba is None:
            self._numba = self.numba_forms()
        return self._numba

    def jax_logp(self):
        if self._jax is None:
            self._jax = self.jax_forms()
        return self._jax

    def inits(self, chains: int, seed: int = 0) -> np.ndarray:
        rng = np.random.default_rng(seed)
        return self.init_center + rng.uniform(-self.init_radius, self.init_radius, (chains, self.d))


def posterior_files(name: str):
    folder = os.path.join(POSTERIOR_DIR, name)
    with open(os.path.join(folder, "data.json")) as f:
        data = json.load(f)
    with open(os.path.join(folder, "reference.json")) as f:
        reference = json.load(f)
    names = reference["parameter_names"]
    mean = np.array([reference["stats"][n]["mean"] for n in names])
    sd = np.array([reference["stats"][n]["sd"] for n in names])
    return data, names, mean, sd


def t_log_kernel(x, nu, loc, scale, xp=np):
    """Student-t log density up to a constant: -(nu + 1)/2 log(1 + ((x - loc)/scale)^2 / nu)."""
    return -(nu + 1) / 2 * xp.log1p(((x - loc) / scale) ** 2 / nu)


def t_log_kernel_slope(x, nu, loc, scale):
    z = (x - loc) / scale
    return -(nu + 1) * z / (scale * (nu + z * z))


POSTERIORS = ["arK", "arma11", "diamonds", "eight_schools_noncentered", "gp_pois_regr", "logearn_interaction_z"]
SYNTHETIC = ["logistic", "gauss100", "corr60", "funnel", "banana"]


def make(name: str) -> Target:
    from . import arma, gp, regression, schools, synthetic
    makers = {"arK": regression.ark, "diamonds": regression.diamonds,
              "logearn_interaction_z": regression.logearn, "arma11": arma.arma11,
              "eight_schools_noncentered": schools.eight_schools, "gp_pois_regr": gp.gp_pois_regr,
              "logistic": synthetic.logistic, "gauss100": synthetic.gauss100, "corr60": synthetic.corr60,
              "funnel": synthetic.funnel, "banana": synthetic.banana}
    return makers[name]()
