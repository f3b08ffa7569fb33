"""Draws at scale on Dask.

:func:`rvs` lays out a large sample as a ``dask.array`` whose blocks are
drawn independently, each from its own stream spawned from one seed, so the
sample is the same for a given seed and chunking whether the blocks are
computed on threads, processes or a ``distributed`` cluster. The
distribution travels to the workers by pickling (varlix generators and
distributions pickle; a Python user function inside must be picklable too,
and Dask's cloudpickle takes lambdas).

Chains of :mod:`varlix.mcmc` scale out through their ``executor=``
argument; a ``distributed.Client`` provides one with ``client.get_executor()``.

Dask is an optional dependency: ``pip install 'varlix[dask]'``.
"""
from __future__ import annotations

import math

import numpy as np

from ._random import spawn
from ._shapes import size_shape

__all__ = ["rvs"]


def _import_dask_array():
    try:
        import dask
        import dask.array as da
    except ImportError as error:
        raise ImportError(
            "varlix.dask needs dask, an optional dependency of varlix: pip install 'varlix[dask]'"
        ) from error
    return dask, da


def _draw_block(dist, shape, trailing, dtype, bit_generator_type, seed):
    # The generator is made here from its seed: a graph computed twice (or
    # a task retried) draws the same block.
    generator = np.random.Generator(bit_generator_type(seed))
    block = np.asarray(dist.rvs(size=shape, random_state=generator))
    # Dask trusts the shape and dtype it was promised; a block that breaks
    # the promise would corrupt the assembled array silently.
    if block.shape != shape + trailing or block.dtype != dtype:
        raise ValueError(
            f"dist.rvs(size={shape}) returned an array of shape {block.shape} and dtype {block.dtype}; "
            f"expected shape {shape + trailing} and dtype {dtype}"
        )
    return block


def _sample_shape(size) -> tuple:
    if size is None:
        raise TypeError("size must be an int or a tuple of ints, got None")
    return size_shape(size)[0]


def rvs(dist, size, chunks="auto", random_state=None):
    """A sample of ``dist`` of the given size as a ``dask.array``.

    Parameters
    ----------
    dist : object with ``rvs(size, random_state)``
        A varlix generator or distribution (or any object drawing like
        scipy's), picklable when the blocks run in other processes.
    size : int or tuple of ints
        The shape of the sample. A distribution whose draws are vectors
        (``rvs(size=n)`` of shape (n, d)) adds its trailing axes.
    chunks : int, tuple or "auto"
        The block shape, as ``dask.array`` takes it.
    random_state : None, int, SeedSequence, Generator or RandomState
        The root of the streams: block ``i`` (in C order of the block grid)
        draws from the i-th stream spawned from it.

    Returns
    -------
    dask.array.Array
        Computing it twice, or with another scheduler, gives the same values.
    """
    dask, da = _import_dask_array()
    if not hasattr(dist, "rvs"):
        raise TypeError(f"dist must have an rvs(size, random_state) method, not {type(dist).__name__}")
    shape = _sample_shape(size)
    # One small draw, from a stream of its own, tells the type and any
    # trailing axes of a draw.
    probe = np.asarray(dist.rvs(size=2, random_state=np.random.default_rng(0)))
    try:
        return _lay_out(dask, da, dist, shape, chunks, random_state, probe)
    except MemoryError:
        raise MemoryError(f"cannot lay out a sample of shape {shape} in blocks of chunks={chunks!r}") from None


def _lay_out(dask, da, dist, shape, chunks, random_state, probe):
    trailing = probe.shape[1:]
    dtype = probe.dtype
    block_chunks = da.core.normalize_chunks(chunks, shape, dtype=dtype)
    grid = [len(c) for c in block_chunks]
    count = math.prod(grid)
    generators = spawn(random_state, count)
    draw = dask.delayed(_draw_block)
    # One node for the distribution, shared by every block's task.
    shared = dask.delayed(dist)
    blocks = np.empty(grid, dtype=object) if grid else np.empty((), dtype=object)
    for index, generator in zip(np.ndindex(*grid), generators):
        block_shape = tuple(block_chunks[axis][i] for axis, i in enumerate(index))
        bits = generator.bit_generator
        delayed = draw(shared, block_shape, trailing, dtype, type(bits), bits.seed_seq)
        blocks[index] = da.from_delayed(delayed, block_shape + trailing, dtype=dtype)
    return _assemble(da, blocks, 0)


def _assemble(da, blocks, axis):
    # Concatenation axis by axis over the leading (sample) axes only: a
    # draw's trailing axes are never split.
    if blocks.ndim == 0:
        return blocks[()]
    if blocks.ndim == 1:
        return da.concatenate(list(blocks), axis=axis)
    return da.concatenate([_assemble(da, b, axis + 1) for b in blocks], axis=axis)
