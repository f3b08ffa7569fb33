"""The discrete law's former home, kept so that pickles that name it load:
the law lives in `varlix.discrete`."""
from .discrete import DiscreteDistribution, from_pmf

__all__ = ["DiscreteDistribution", "from_pmf"]
