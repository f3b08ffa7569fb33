"""Arrays handed to the engines, and the faults they report as exceptions."""
from __future__ import annotations

import numpy as np


def _engine_array(x) -> np.ndarray:
    """x as the engine takes an array: float64, C-contiguous and aligned (an
    array unpickled in a worker may not be)."""
    return np.require(x, dtype=np.float64, requirements=["C", "A"])


def _fault_error(fault, first_chain: int):
    kind, chain, point = fault
    where = f" (chain {first_chain + chain})"
    x = np.array(point)
    if kind == "nan":
        return ValueError(f"logpdf returned nan at x = {x}{where}")
    if kind == "inf":
        return ValueError(f"logpdf returned +inf at x = {x}{where}; a log-density must be finite or -inf")
    if kind == "outside":
        return ValueError(f"x0 has log-density -inf: {x}{where}; a chain must start inside the support")
    if kind == "gradient_not_finite":
        return ValueError(f"the gradient of logpdf at x0 is not finite: {x}{where}")
    if kind == "gradient":
        return ValueError(f"grad failed at x = {x}{where}")
    return RuntimeError(f"the chains stopped: {kind}{where}")
