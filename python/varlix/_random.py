"""Uniform sources for the engine: the bit generator behind a ``random_state``.

The engine draws straight from a NumPy bit generator through its C
interface (the ``capsule``), holding the generator's ``lock`` for each call,
so a ``Generator`` or ``RandomState`` passed in advances exactly as if NumPy
itself had drawn from it.
"""
from __future__ import annotations

import numbers
from dataclasses import dataclass

import numpy as np

__all__ = ["UniformSource", "as_generator", "uniform_source", "spawn", "fill", "CHUNK"]

# Draws per engine call. Between calls the interpreter runs its signal
# handlers (Ctrl-C) and other threads may take the bit generator.
CHUNK = 1 << 16


def as_generator(random_state):
    """The NumPy generator object a ``random_state`` argument stands for.

    ``None`` (or the ``numpy.random`` module) is NumPy's global
    ``RandomState``; an int or a ``SeedSequence`` seeds a new
    ``Generator(PCG64)``; a ``Generator`` or ``RandomState`` is used as it is.
    """
    if random_state is None or random_state is np.random:
        return np.random.mtrand._rand
    if isinstance(random_state, (np.random.Generator, np.random.RandomState)):
        return random_state
    if isinstance(random_state, np.random.BitGenerator):
        return np.random.Generator(random_state)
    if isinstance(random_state, (numbers.Integral, np.random.SeedSequence)) and not isinstance(random_state, bool):
        return np.random.Generator(np.random.PCG64(random_state))
    raise ValueError(
        f"random_state must be None, an int, a SeedSequence, a Generator or a RandomState, "
        f"not {type(random_state).__name__}"
    )


def _bit_generator_of(generator):
    if isinstance(generator, np.random.Generator):
        return generator.bit_generator
    # RandomState keeps its bit generator under a private name.
    return generator._bit_generator


@dataclass(frozen=True)
class UniformSource:
    """A generator object with what the engine needs of its bit generator."""

    generator: object
    bit_generator: np.random.BitGenerator
    capsule: object
    lock: object
    # False when the generator was made here (from an int or a SeedSequence):
    # no other code can hold or draw from it.
    shared: bool = True


def uniform_source(random_state) -> UniformSource:
    generator = as_generator(random_state)
    bits = _bit_generator_of(generator)
    shared = generator is random_state or random_state is None or random_state is np.random or isinstance(
        random_state, np.random.BitGenerator)
    return UniformSource(generator, bits, bits.capsule, bits.lock, shared)


def fill(sample, out, source: UniformSource, chunk: int = CHUNK, holding=None) -> None:
    """Draws into ``out`` in pieces of ``chunk`` rows, each engine call under
    the bit generator's lock: ``sample(source.capsule, piece)`` per piece.

    ``holding``, when given, is the context each call runs in instead of the
    bare lock (it must take and give back ``source.lock`` itself).
    """
    hold = source.lock if holding is None else holding
    n = len(out)
    if n <= chunk:  # the common case: one call, no slicing
        with hold:
            sample(source.capsule, out)
        return
    capsule = source.capsule
    for start in range(0, n, chunk):
        with hold:
            sample(capsule, out[start:start + chunk])


def spawn(random_state, n: int) -> list:
    """``n`` independent ``Generator`` objects derived from ``random_state``.

    A bit generator with a ``SeedSequence`` spawns children of it; a legacy
    one (seeded without a sequence) seeds children from its own stream. The
    parent advances in the second case only.
    """
    if n < 0:
        raise ValueError(f"n must be non-negative, got {n}")
    generator = as_generator(random_state)
    bits = _bit_generator_of(generator)
    seed_seq = getattr(bits, "seed_seq", None)
    if isinstance(seed_seq, np.random.SeedSequence):
        return [np.random.Generator(type(bits)(child)) for child in seed_seq.spawn(n)]
    entropy = generator.integers(0, 2**63, size=4) if isinstance(generator, np.random.Generator) else (
        generator.randint(0, 2**31, size=8))
    root = np.random.SeedSequence([int(e) for e in entropy])
    return [np.random.Generator(np.random.PCG64(child)) for child in root.spawn(n)]
