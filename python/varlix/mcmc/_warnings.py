"""The warnings of varlix.mcmc."""
from __future__ import annotations


class ConvergenceWarning(UserWarning):
    """The chains should not be trusted as they are: they disagree, are too
    short, diverged or hit a limit. The message says what failed."""


class FiniteDifferenceWarning(UserWarning):
    """A gradient sampler runs on central differences of the log-density,
    2d + 1 calls per leapfrog step instead of one."""
