"""One contract for every generator of varlix.sampling and every law of
varlix (distributions, the discrete law, the copula): the same checks of
draws' shape and dtype, random_state, pickling, threads and bad sizes run
over all of them, so a new one is checked by adding a line here."""
import math
import pickle
import threading

import numpy as np
import pytest

import varlix
from normal_law import Normal, normal_pdf
from varlix.sampling import (
    DiscreteAliasUrn,
    DiscreteGuideTable,
    NumericalInverseHermite,
    NumericalInversePolynomial,
    RatioUniforms,
    SimpleRatioUniforms,
    TransformedDensityRejection,
)


def normal_vector(x):
    return np.exp(-0.5 * x * x)


def normal_log(x):
    return -0.5 * x * x


def normal_cdf(x):
    return 0.5 * np.vectorize(math.erfc)(-np.asarray(x) / math.sqrt(2.0))


class Case:
    """How to make one object, and what its draws look like.

    `make(rs)` builds it; a generator of varlix.sampling takes its own
    random state there (and `rs` stands for it in rvs), a law takes one per
    call. `kind` is "float", "int" or "vector" (rows of `dim` floats).
    `one_per_draw`: exactly one uniform per draw, so the caller's generator
    advances by the draws.
    """

    def __init__(self, make, *, kind="float", generator=True, one_per_draw=False, dim=None, seeded_calls=True):
        self.make = make
        self.kind = kind
        self.generator = generator
        self.one_per_draw = one_per_draw
        self.dim = dim
        self.seeded_calls = seeded_calls

    def build(self, rs=None):
        return self.make(rs) if self.generator else self.make(None)

    def draw(self, obj, size, rs):
        """Draws with random state rs, by the object's own rule."""
        if self.generator:
            if self.seeded_calls:
                return obj.rvs(size, random_state=rs)
            obj.set_random_state(rs)
            return obj.rvs(size)
        return obj.rvs(size, random_state=rs)


def _histogram():
    return varlix.from_histogram([0.0, 1.0, 2.0, 4.0], [1.0, 2.0, 2.0])


CASES = {
    "pinv": Case(lambda rs: NumericalInversePolynomial(Normal(), random_state=rs), one_per_draw=True),
    "hinv": Case(lambda rs: NumericalInverseHermite(Normal(), domain=(-10, 10), random_state=rs), one_per_draw=True),
    "tdr": Case(lambda rs: TransformedDensityRejection(Normal(), random_state=rs)),
    "srou": Case(lambda rs: SimpleRatioUniforms(Normal(), mode=0.0, random_state=rs)),
    "rou": Case(lambda rs: RatioUniforms(normal_pdf, umax=1.0, vmin=-0.86, vmax=0.86, random_state=rs),
                seeded_calls=False),
    "alias": Case(lambda rs: DiscreteAliasUrn([0.1, 0.2, 0.3, 0.4], random_state=rs), kind="int",
                  one_per_draw=True),
    "guide": Case(lambda rs: DiscreteGuideTable([0.1, 0.2, 0.3, 0.4], random_state=rs), kind="int",
                  one_per_draw=True),
    "from_pdf": Case(lambda rs: varlix.from_pdf(normal_vector), generator=False, one_per_draw=True),
    "from_logpdf": Case(lambda rs: varlix.from_logpdf(normal_log, loc=1.0, scale=2.0), generator=False,
                        one_per_draw=True),
    "from_cdf": Case(lambda rs: varlix.from_cdf(normal_cdf), generator=False, one_per_draw=True),
    "from_histogram": Case(lambda rs: _histogram(), generator=False, one_per_draw=True),
    "truncated": Case(lambda rs: _histogram().truncate(0.5, 3.0), generator=False, one_per_draw=True),
    "from_pmf": Case(lambda rs: varlix.from_pmf([1.0, 2.5, 4.0], [0.2, 0.5, 0.3]), generator=False),
    "copula": Case(lambda rs: varlix.gaussian_copula([[1.0, 0.3], [0.3, 1.0]], [_histogram(), _histogram()]),
                   generator=False, kind="vector", dim=2),
}
NAMES = list(CASES)
GENERATORS = [n for n in NAMES if CASES[n].generator]
LAWS = [n for n in NAMES if not CASES[n].generator]
# Those that take a random state per call (RatioUniforms draws from its own only).
SEEDED_CALLS = [n for n in NAMES if not CASES[n].generator or CASES[n].seeded_calls]


@pytest.fixture(scope="module", params=NAMES)
def case(request):
    return request.param, CASES[request.param]


def _trailing(case):
    return () if case.dim is None else (case.dim,)


def test_draws_have_the_shape_and_dtype_asked_for(case):
    name, c = case
    obj = c.build(1)
    dtype = np.int64 if c.kind == "int" else np.float64
    one = c.draw(obj, None, 1)
    if c.kind == "vector":
        assert isinstance(one, np.ndarray) and one.shape == (c.dim,) and one.dtype == dtype
    else:
        assert isinstance(one, float if c.kind == "float" else (int, float)) and not isinstance(one, np.ndarray)
    for size, shape in [(0, (0,)), (1, (1,)), (5, (5,)), ((2, 3), (2, 3)), ((), ()), (70_000, (70_000,))]:
        x = c.draw(obj, size, 2)
        assert isinstance(x, np.ndarray), (name, size)
        assert x.shape == shape + _trailing(c) and x.dtype == dtype, (name, size)
    assert np.all(np.isfinite(c.draw(obj, 1000, 3)))


def test_one_seed_one_stream(case):
    name, c = case
    a = c.draw(c.build(42), 50, 42)
    if c.generator:
        # varlix.sampling reads an int as scipy.stats.sampling does: a RandomState.
        rs = lambda: np.random.RandomState(42)  # noqa: E731
        np.testing.assert_array_equal(a, c.draw(c.build(rs()), 50, rs()))
    else:
        # An int, its SeedSequence and a Generator(PCG64) of it draw alike.
        ss = np.random.SeedSequence
        np.testing.assert_array_equal(a, c.draw(c.build(ss(42)), 50, ss(42)))
        pcg = lambda: np.random.Generator(np.random.PCG64(42))  # noqa: E731
        np.testing.assert_array_equal(a, c.draw(c.build(pcg()), 50, pcg()))
    assert not np.array_equal(a, c.draw(c.build(43), 50, 43))
    # Generator and RandomState over one bit generator draw alike.
    g = np.random.Generator(np.random.MT19937(123))
    r = np.random.RandomState(np.random.MT19937(123))
    np.testing.assert_array_equal(c.draw(c.build(g), 5, g), c.draw(c.build(r), 5, r))
    # Chunks of one stream are the stream drawn at once.
    obj = c.build(7)
    whole = c.draw(obj, 70_000, np.random.Generator(np.random.PCG64(7)))
    if c.generator and not c.seeded_calls:
        return
    g = np.random.Generator(np.random.PCG64(7))
    parts = np.concatenate([c.draw(obj, n, g) for n in (1, 999, 69_000)])
    if c.one_per_draw or c.kind == "vector":
        np.testing.assert_array_equal(parts, whole)


@pytest.mark.parametrize("name", LAWS)
def test_none_is_numpys_global_state_for_a_law(name):
    obj = CASES[name].build()
    np.random.seed(9)
    first = obj.rvs(5)
    np.random.seed(9)
    np.testing.assert_array_equal(first, obj.rvs(5, random_state=None))


@pytest.mark.parametrize("name", GENERATORS)
def test_a_generator_keeps_its_random_state(name):
    c = CASES[name]
    gen = c.build(8)
    a = gen.rvs(6)
    gen.set_random_state(8)
    np.testing.assert_array_equal(a, gen.rvs(6))
    np.random.seed(9)
    first = c.build(None).rvs(5)
    np.random.seed(9)
    np.testing.assert_array_equal(first, c.build(None).rvs(5))


def test_the_callers_generator_advances_by_the_draws(case):
    name, c = case
    bits = np.random.PCG64(5)
    gen = np.random.Generator(bits)
    obj = c.build(gen)
    if c.one_per_draw:
        twin = np.random.Generator(np.random.PCG64(5))
        c.draw(obj, 1000, gen)
        twin.random(1000)
        assert gen.random() == twin.random()
    else:
        before = bits.state["state"]["state"]
        c.draw(obj, 10, gen)
        assert bits.state["state"]["state"] != before


def test_a_pickled_copy_draws_the_same_stream(case):
    name, c = case
    obj = c.build(4)
    copy = pickle.loads(pickle.dumps(obj))
    if c.generator:
        # The generator's random state travels with it.
        np.testing.assert_array_equal(obj.rvs(50), copy.rvs(50))
    np.testing.assert_array_equal(c.draw(obj, 500, 77), c.draw(copy, 500, 77))
    assert repr(copy) == repr(obj) and repr(obj).startswith(type(obj).__name__ + "(")


@pytest.mark.parametrize("name", SEEDED_CALLS)
def test_threads_draw_what_one_thread_draws(name):
    c = CASES[name]
    obj = c.build(1)
    seeds = list(range(8))
    expected = [c.draw(obj, 20_000, s) for s in seeds]
    got = [None] * len(seeds)
    barrier = threading.Barrier(4)

    def work(k):
        barrier.wait()
        for i in range(k, len(seeds), 4):
            got[i] = c.draw(obj, 20_000, seeds[i])

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for e, g in zip(expected, got):
        np.testing.assert_array_equal(e, g)


@pytest.mark.parametrize("size, error, message", [
    (-1, ValueError, "size must be non-negative"),
    ((3, -2), ValueError, "size must be non-negative"),
    (1.5, TypeError, "size must be None, an int or a tuple of ints"),
    ("3", TypeError, "size must be None, an int or a tuple of ints"),
    (2**62, MemoryError, "cannot allocate"),
    ((2**40, 2**30), MemoryError, "cannot allocate"),
    (10**15, MemoryError, "cannot allocate"),
])
def test_bad_sizes_are_refused_alike(case, size, error, message):
    name, c = case
    obj = c.build(1)
    with pytest.raises(error, match=message):
        c.draw(obj, size, 1)


def test_a_bad_random_state_is_named(case):
    name, c = case
    if c.generator and not c.seeded_calls:
        with pytest.raises(ValueError, match="random_state must be None, an int"):
            c.build("seed")
        return
    with pytest.raises(ValueError, match="random_state must be None, an int"):
        c.build(1).rvs(3, random_state="seed")
