"""varlix.dask and chains through a Dask executor, on a two-worker process cluster."""
import sys

import numpy as np
import pytest

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
cloudpickle = pytest.importorskip("cloudpickle")

import varlix.dask as vdask  # noqa: E402
from varlix import mcmc  # noqa: E402
from varlix.sampling import NumericalInversePolynomial  # noqa: E402


class StandardNormal:
    def pdf(self, x):
        return np.exp(-0.5 * x * x)


class Pairs:
    """Draws vectors (u, 2u) of a uniform u: a distribution with a trailing axis."""

    def rvs(self, size=None, random_state=None):
        u = np.random.default_rng(random_state).random(size)
        return np.stack([u, 2 * u], axis=-1)


def gaussian(x):
    return -0.5 * np.sum(x * x)


@pytest.fixture(scope="module")
def client():
    # The workers cannot import this test module: its objects travel by value.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    with cluster, distributed.Client(cluster) as c:
        yield c
    cloudpickle.unregister_pickle_by_value(sys.modules[__name__])


@pytest.fixture(scope="module")
def normal():
    return NumericalInversePolynomial(StandardNormal(), random_state=0)


def test_blocks_are_reproducible_for_a_seed_and_chunking_on_any_scheduler(client, normal):
    x = vdask.rvs(normal, (1000, 30), chunks=(250, 10), random_state=12)
    assert x.shape == (1000, 30) and x.chunks == ((250,) * 4, (10,) * 3) and x.dtype == np.float64
    local = x.compute(scheduler="threads")
    np.testing.assert_array_equal(vdask.rvs(normal, (1000, 30), chunks=(250, 10), random_state=12).compute(), local)
    np.testing.assert_array_equal(client.compute(x).result(), local)
    # Each block draws from its own stream: no two blocks repeat each other.
    assert not np.array_equal(local[:250, :10], local[250:500, :10])
    assert not np.array_equal(local, vdask.rvs(normal, (1000, 30), chunks=(250, 10), random_state=13).compute())
    # A block equals a direct draw from its spawned stream.
    first = np.random.Generator(np.random.PCG64(np.random.SeedSequence(12).spawn(12)[0]))
    np.testing.assert_array_equal(local[:250, :10], normal.rvs(size=(250, 10), random_state=first))


def test_the_sample_has_the_distribution(client, normal):
    x = client.compute(vdask.rvs(normal, 200_000, chunks=50_000, random_state=1)).result()
    assert abs(x.mean()) < 0.01 and abs(x.var() - 1.0) < 0.01


def test_vector_draws_keep_their_trailing_axis():
    x = vdask.rvs(Pairs(), 10, chunks=4, random_state=3)
    assert x.shape == (10, 2) and x.chunks == ((4, 4, 2), (2,))
    values = x.compute()
    np.testing.assert_array_equal(values[:, 1], 2 * values[:, 0])


@pytest.mark.parametrize("dist, size, error, message", [
    (object(), 3, TypeError, "dist must have an rvs"),
    (Pairs(), -1, ValueError, "size must be non-negative"),
    (Pairs(), "x", TypeError, "an int or a tuple of ints"),
])
def test_bad_arguments(dist, size, error, message):
    with pytest.raises(error, match=message):
        vdask.rvs(dist, size, chunks=2)


@pytest.mark.parametrize("sampler", [mcmc.metropolis, mcmc.hmc])
def test_chains_through_the_client_executor_match_serial(client, sampler):
    kwargs = dict(draws=300, tune=200, chains=4, random_state=21, warn=False)
    executor = client.get_executor()
    remote = sampler(gaussian, np.zeros(3), executor=executor, **kwargs)
    np.testing.assert_array_equal(remote.samples, sampler(gaussian, np.zeros(3), **kwargs).samples)
    # A lambda travels by cloudpickle; the client stays usable.
    remote = sampler(lambda x: -0.5 * x @ x, np.zeros(3), executor=executor, **kwargs)
    assert remote.samples.shape == (4, 300, 3)
    assert client.submit(sum, [1, 2]).result() == 3
