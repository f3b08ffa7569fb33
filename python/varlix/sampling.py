"""Random variate generators built from a density, a CDF or a probability vector."""
from __future__ import annotations

from ._engine import SetupError

UNURANError = SetupError

__all__ = ["SetupError", "UNURANError"]
