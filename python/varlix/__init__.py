"""varlix: random variates from the distributions you define.

- ``varlix.from_pdf``, ``from_logpdf``, ``from_cdf``, ``from_histogram`` and
  ``from_pmf`` build distributions with the method names of SciPy's frozen
  distributions and NumPy semantics; ``varlix.gaussian_copula`` joins them.
- ``varlix.sampling`` holds fast generators built from a density, a CDF or a
  probability vector, with the interface of ``scipy.stats.sampling``.
- ``varlix.mcmc`` runs Markov chains on a log-density (arviz diagnostics).
- ``varlix.dask`` draws in independent blocks of a ``dask.array``.
"""
from __future__ import annotations

try:
    from importlib.metadata import PackageNotFoundError, version as _version

    __version__ = _version("varlix")
except PackageNotFoundError:  # pragma: no cover - running from a source tree
    __version__ = "0.1.0"

from . import sampling  # noqa: E402
from .discrete import DiscreteDistribution, from_pmf  # noqa: E402
from .distributions import Distribution, from_cdf, from_histogram, from_logpdf, from_pdf  # noqa: E402
from .copula import GaussianCopula, gaussian_copula  # noqa: E402

__all__ = [
    "__version__",
    "sampling",
    "Distribution",
    "DiscreteDistribution",
    "from_pdf",
    "from_logpdf",
    "from_cdf",
    "from_histogram",
    "from_pmf",
    "GaussianCopula",
    "gaussian_copula",
]
