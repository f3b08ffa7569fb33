"""The laws behind the stored pickles in data/: module-level, so that a
pickle refers to them by name and loads wherever this folder is importable.
Changing what these return changes what the stored tables must reproduce."""
import math

import numpy as np


class Normal:
    """The standard normal, with the methods the generators ask for."""

    def pdf(self, x):
        return math.exp(-0.5 * x * x) / math.sqrt(2.0 * math.pi)

    def dpdf(self, x):
        return -x * math.exp(-0.5 * x * x) / math.sqrt(2.0 * math.pi)

    def cdf(self, x):
        return 0.5 * math.erfc(-x / math.sqrt(2.0))

    def support(self):
        return -math.inf, math.inf


class Binomial:
    """Binomial(10, 0.3) by its probability vector."""

    def pmf(self, k):
        k = np.asarray(k)
        return np.array([math.comb(10, int(i)) * 0.3 ** int(i) * 0.7 ** (10 - int(i)) for i in k.ravel()]).reshape(
            k.shape)

    def support(self):
        return 0, 10


def normal_pdf(x):
    return np.exp(-0.5 * np.asarray(x) ** 2)


def gaussian_logpdf(x):
    """The standard normal in d coordinates, the target of the stored chains."""
    return -0.5 * float(x @ x)


def gaussian_grad(x):
    return -x
