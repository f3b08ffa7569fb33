"""DiscreteDistribution and from_pmf."""
import math
import os

import numpy as np
import pytest


@pytest.fixture
def d(vx):
    return vx.from_pmf([1, 2, 3], [1, 1, 2])


METHOD_SIGNATURES = [
    ("len", "($self)"), ("points", "($self)"), ("pmf", "($self, x)"), ("pmf_at", "($self, index)"),
    ("cdf_at", "($self, index)"), ("ppf", "($self, u)"), ("mean", "($self)"), ("var", "($self)"),
    ("std", "($self)"), ("sample", "($self)"), ("sample_n", "($self, n, seed=None)"),
]


def test_signatures_and_method_order(vx):
    assert vx.from_pmf.__text_signature__ == "(points, pmf)"
    assert vx.from_pmf.__doc__ is None
    methods = [name for name in vars(vx.DiscreteDistribution) if not name.startswith("__")]
    assert methods == [name for name, _ in METHOD_SIGNATURES]
    for name, text in METHOD_SIGNATURES:
        assert getattr(vx.DiscreteDistribution, name).__text_signature__ == text


def test_known_table(d):
    assert d.len() == 3 and type(d.len()) is int
    assert d.points() == [1.0, 2.0, 3.0]
    assert [d.cdf_at(i) for i in range(3)] == [0.25, 0.5, 1.0]
    assert [d.pmf_at(i) for i in range(3)] == [0.25, 0.25, 0.5]
    assert d.pmf(2.0) == 0.25
    assert d.pmf(2.0 + 1e-13) == 0.25
    assert d.pmf(2.1) == 0.0
    assert d.mean() == 2.25
    assert d.var() == 11 / 16
    assert d.std() == math.sqrt(11 / 16)


@pytest.mark.parametrize("u, point", [
    (0.25, 1.0), (math.nextafter(0.25, 1), 2.0), (0.5, 2.0), (0.75, 3.0), (5e-324, 1.0), (math.nextafter(1, 0), 3.0),
])
def test_ppf(d, u, point):
    assert d.ppf(u) == point


@pytest.mark.parametrize("u, shown", [(0.0, "0"), (1.0, "1"), (float("nan"), "NaN"), (-0.25, "-0.25"), (float("inf"), "inf")])
def test_ppf_outside_unit_interval(vx, d, u, shown):
    with pytest.raises(vx.SampleError) as error:
        d.ppf(u)
    assert str(error.value) == f"quantile u={shown} not in (0, 1)"


def test_exact_match_takes_the_last_equal_entry(vx):
    assert vx.from_pmf([10, 20, 30], [0.5, 0, 0.5]).ppf(0.5) == 20.0


@pytest.mark.parametrize("points, pmf, message", [
    ([], [], "discrete distribution has no support points"),
    ([1], [], "discrete distribution has no support points"),
    ([1, 2], [1], "invalid support interval: points and pmf must have the same length"),
    ([1, 2], [0, 0], "failed to normalize PDF on support"),
    ([1, 2], [1, -1e-300], "probability mass must be positive"),
    ([1, 2], [1, float("inf")], "probability mass must be positive"),
    ([1, 2], [1, float("nan")], "probability mass must be positive"),
    ([1, 2], [1e308, 1e308], "failed to normalize PDF on support"),
])
def test_build_errors(vx, points, pmf, message):
    with pytest.raises(vx.BuildError) as error:
        vx.from_pmf(points, pmf)
    assert str(error.value) == message


def test_negative_zero_mass_is_accepted(vx):
    assert vx.from_pmf([1, 2], [1, -0.0]).pmf_at(1) == 0.0


def test_duplicates_and_single_point(vx):
    dup = vx.from_pmf([5, 5], [1, 3])
    assert dup.pmf(5.0) == 0.25 and dup.len() == 2
    one = vx.from_pmf([4.0], [0.3])
    assert [one.ppf(u) for u in (1e-9, 0.5, 0.999)] == [4.0, 4.0, 4.0]
    assert one.pmf_at(0) == 1.0 and one.cdf_at(0) == 1.0 and one.var() == 0.0


def test_nan_points_stay_unmatched(vx):
    d = vx.from_pmf([float("nan"), 1.0], [1, 1])
    assert d.pmf(float("nan")) == 0.0
    assert math.isnan(d.mean()) and math.isnan(d.var())


@pytest.mark.parametrize("method", ["pmf_at", "cdf_at"])
@pytest.mark.parametrize("index", [3, 2**64 - 1])
def test_index_out_of_range(d, method, index):
    with pytest.raises(IndexError):
        getattr(d, method)(index)


@pytest.mark.parametrize("points, pmf", [
    ((1.0, 2.0), range(1, 3)),
    ([np.float64(1.0), np.int32(2)], [True, 3]),
])
def test_accepted_sequences_and_numbers(vx, points, pmf):
    assert vx.from_pmf(points, pmf).points() == [1.0, 2.0]


@pytest.mark.parametrize("points, pmf, name, type_name", [
    (np.array([1.0]), [1.0], "points", "ndarray"),
    ((x for x in [1.0]), [1.0], "points", "generator"),
    ([1.0], {1.0}, "pmf", "set"),
    ([1.0], None, "pmf", "NoneType"),
])
def test_refused_sequences(vx, points, pmf, name, type_name):
    with pytest.raises(TypeError) as error:
        vx.from_pmf(points, pmf)
    assert str(error.value) == f"argument '{name}': '{type_name}' object cannot be converted to 'Sequence'"


@pytest.mark.parametrize("points, pmf", [([1.0, "x"], [1.0, 1.0]), ([1.0], ["1"]), ("ab", [1.0, 1.0])])
def test_item_errors_are_not_prefixed(vx, points, pmf):
    with pytest.raises(TypeError) as error:
        vx.from_pmf(points, pmf)
    assert str(error.value) == "must be real number, not str"
    assert error.value.__cause__ is None


def test_sample_n_seeded(d):
    first = d.sample_n(50, seed=7)
    assert first == d.sample_n(50, seed=7)
    assert d.sample_n(20, seed=7) == first[:20]
    assert d.sample_n(50, seed=8) != first
    assert d.sample_n(0) == [] and d.sample_n(0, seed=1) == []
    assert set(first) <= {1.0, 2.0, 3.0}


def test_seeded_draws_invert_the_seeded_uniforms(vx):
    # seed 0 gives the uniforms 0.7090754154265618 and 0.46592172228961015.
    d = vx.from_pmf([1, 2, 3, 4], [0.1, 0.2, 0.3, 0.4])
    assert d.sample_n(2, seed=0) == [4.0, 3.0]


def test_unseeded_draws(d):
    assert d.sample() in (1.0, 2.0, 3.0)
    draws = d.sample_n(200, seed=None)
    assert len(draws) == 200 and set(draws) <= {1.0, 2.0, 3.0}


def test_seeded_frequencies(vx):
    # 20000 draws: each frequency has a standard error below 0.0035; a 0.015
    # band is over four of them and far from a wrong table.
    d = vx.from_pmf([0, 1, 2, 3], [0.1, 0.2, 0.3, 0.4])
    draws = np.array(d.sample_n(20000, seed=2024))
    freq = np.bincount(draws.astype(int), minlength=4) / draws.size
    assert np.allclose(freq, [0.1, 0.2, 0.3, 0.4], atol=0.015)


@pytest.mark.parametrize("seed", [None, 1])
def test_sample_n_too_large_is_memory_error(d, seed):
    with pytest.raises(MemoryError):
        d.sample_n(2**62, seed=seed)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_draws_a_different_stream(vx):
    # 1000 equal masses: two independent streams agree on 8 draws with
    # probability 1e-24, one stream shared by parent and child always does.
    d = vx.from_pmf(range(1000), [1.0] * 1000)
    d.sample()  # the parent's generator exists before the fork
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # child
        try:
            os.write(write_end, repr(d.sample_n(8)).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        child = pipe.read()
    os.waitpid(pid, 0)
    parent = repr(d.sample_n(8))
    assert child and child != parent
