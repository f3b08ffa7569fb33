"""Argument binding and conversion: the texts of a wrong call, the argument
prefix, every conversion kind, and the text signatures."""
import collections.abc
import inspect
import sys

import numpy as np
import pytest


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


# ---- binding ----------------------------------------------------------------

def binding_cases(vx, probe):
    d = vx.from_pmf([1.0, 2.0], [1.0, 1.0])
    cases = [
        (lambda: vx.from_pmf([1], [1], [1]), "from_pmf() takes 2 positional arguments but 3 were given"),
        (lambda: d.sample_n(1, 2, 3), "DiscreteDistribution.sample_n() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: d.ppf(0.5, 0.5), "DiscreteDistribution.ppf() takes 1 positional arguments but 2 were given"),
        (lambda: vx.from_pmf([1], [1], seed=1), "from_pmf() got an unexpected keyword argument 'seed'"),
        (lambda: d.sample_n(n=1, sed=2), "DiscreteDistribution.sample_n() got an unexpected keyword argument 'sed'"),
        (lambda: vx.from_pmf([1], points=[1]), "from_pmf() got multiple values for argument 'points'"),
        (lambda: vx.from_pmf([1]), "from_pmf() missing 1 required positional argument: 'pmf'"),
        (lambda: vx.from_pmf(pmf=[1]), "from_pmf() missing 1 required positional argument: 'points'"),
        (lambda: vx.from_pmf(), "from_pmf() missing 2 required positional arguments: 'points' and 'pmf'"),
        (lambda: d.sample_n(seed=1), "DiscreteDistribution.sample_n() missing 1 required positional argument: 'n'"),
    ]
    if probe is not None:
        cases += [
            (lambda: probe.three(), "three() missing 3 required positional arguments: 'a', 'b', and 'c'"),
            (lambda: probe.three(b=1), "three() missing 2 required positional arguments: 'a' and 'c'"),
            (lambda: probe.defaults(1, 2, 3, 4, 5, 6), "defaults() takes from 1 to 5 positional arguments but 6 were given"),
            (lambda: probe.Plain(), "Plain.__new__() missing 1 required positional argument: 'start'"),
            (lambda: probe.Plain(1, 2, 3), "Plain.__new__() takes from 1 to 2 positional arguments but 3 were given"),
            (lambda: probe.Plain(1, start=2), "Plain.__new__() got multiple values for argument 'start'"),
            (lambda: probe.Plain.from_int(), "Plain.from_int() missing 1 required positional argument: 'start'"),
            (lambda: probe.Plain(1, **{"é": 2}), "Plain.__new__() got an unexpected keyword argument 'é'"),
        ]
    return cases


def test_binding_messages(vx, probe_or_none):
    for call, message in binding_cases(vx, probe_or_none):
        error = raised(call)
        assert type(error) is TypeError and str(error) == message
        assert error.__cause__ is None


def test_no_argument_methods_are_plain(vx):
    d = vx.from_pmf([1.0], [1.0])
    for name in ["len", "points", "mean", "var", "std", "sample"]:
        with pytest.raises(TypeError, match="takes no arguments"):
            getattr(d, name)(1)


def test_keywords_bind_like_positionals(vx):
    d = vx.from_pmf(pmf=[1, 3], points=[5, 6])
    assert d.pmf(x=6.0) == 0.75
    assert d.sample_n(seed=3, n=4) == d.sample_n(4, 3)


# ---- conversion -------------------------------------------------------------

def test_prefix_keeps_the_original_as_cause(vx):
    error = raised(lambda: vx.from_pmf([1.0], [1.0]).sample_n(1.5))
    assert type(error) is TypeError
    assert str(error) == "argument 'n': 'float' object cannot be interpreted as an integer"
    assert type(error.__cause__) is TypeError
    assert str(error.__cause__) == "'float' object cannot be interpreted as an integer"


@pytest.mark.parametrize("seed, exception", [(-1, OverflowError), (2**64, OverflowError)])
def test_other_conversion_errors_are_not_prefixed(vx, seed, exception):
    error = raised(lambda: vx.from_pmf([1.0], [1.0]).sample_n(1, seed=seed))
    assert type(error) is exception and not str(error).startswith("argument")


def test_conversion_stops_at_the_first_failure_in_signature_order(vx):
    error = raised(lambda: vx.from_pmf(pmf=iter([]), points=3))
    assert str(error) == "argument 'points': 'int' object cannot be converted to 'Sequence'"


class Index:
    def __index__(self):
        return 7


class Floaty:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize("fn, value, expected", [
    ("float_arg", 1, 1.0), ("float_arg", Floaty(), 2.5), ("float_arg", Index(), 7.0),
    ("float_arg", float("inf"), float("inf")), ("float_arg", np.float32(0.5), 0.5),
    ("u64_arg", 0, 0), ("u64_arg", 2**64 - 1, 2**64 - 1), ("u64_arg", True, 1), ("u64_arg", Index(), 7),
    ("u64_arg", np.int64(5), 5),
    ("u32_arg", 2**32 - 1, 2**32 - 1), ("u32_arg", 0, 0), ("u32_arg", Index(), 7),
    ("bool_arg", True, True), ("bool_arg", False, False), ("bool_arg", np.True_, True), ("bool_arg", np.False_, False),
    ("str_arg", "abc", "abc"), ("str_arg", "a\0b", "a\0b"),
    ("rows_arg", [[1, 2], (3,)], [[1.0, 2.0], [3.0]]), ("rows_arg", np.eye(2), [[1.0, 0.0], [0.0, 1.0]]),
    ("rows_arg", (), []),
    ("objects_arg", (len, None), [len, None]), ("objects_arg", range(2), [0, 1]),
    ("optional_arg", None, None), ("optional_arg", 5, 5),
])
def test_accepted(probe, fn, value, expected):
    assert getattr(probe, fn)(value) == expected


@pytest.mark.parametrize("fn, value, exception, message", [
    ("float_arg", "1.0", TypeError, "must be real number, not str"),
    ("float_arg", None, TypeError, "must be real number, not NoneType"),
    ("u64_arg", 1.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("u64_arg", -1, OverflowError, None), ("u64_arg", 2**64, OverflowError, None),
    ("u32_arg", 2**32, OverflowError, "out of range integral type conversion attempted"),
    ("u32_arg", -1, OverflowError, "out of range integral type conversion attempted"),
    ("u32_arg", 2**63, OverflowError, None),
    ("u32_arg", 1.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("bool_arg", 1, TypeError, "'int' object cannot be converted to 'PyBool'"),
    ("bool_arg", None, TypeError, "'NoneType' object cannot be converted to 'PyBool'"),
    ("bool_arg", np.int64(1), TypeError, "'int64' object cannot be converted to 'PyBool'"),
    ("str_arg", b"abc", TypeError, "'bytes' object cannot be converted to 'PyString'"),
    ("instance_arg", (1, 2), TypeError, "'tuple' object cannot be converted to 'Plain'"),
    ("seq_arg", np.array([1.0]), TypeError, "'ndarray' object cannot be converted to 'Sequence'"),
    ("seq_arg", (x for x in [1.0]), TypeError, "'generator' object cannot be converted to 'Sequence'"),
    ("seq_arg", {1.0}, TypeError, "'set' object cannot be converted to 'Sequence'"),
    ("seq_arg", {1: 2}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
    ("seq_arg", None, TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
    ("rows_arg", "ab", TypeError, "Can't extract `str` to `Vec`"),
    ("rows_arg", ["ab"], TypeError, "Can't extract `str` to `Vec`"),
    ("rows_arg", (x for x in []), TypeError, "'generator' object cannot be converted to 'Sequence'"),
    ("rows_arg", [[1.0, "x"]], TypeError, "must be real number, not str"),
    ("objects_arg", 3, TypeError, "'int' object cannot be converted to 'Sequence'"),
    ("optional_arg", -1, OverflowError, None),
    ("optional_arg", "5", TypeError, "'str' object cannot be interpreted as an integer"),
])
def test_refused(probe, fn, value, exception, message):
    name = inspect.signature(getattr(probe, fn)).parameters
    param = next(iter(name))
    error = raised(lambda: getattr(probe, fn)(value))
    assert type(error) is exception
    if exception is TypeError:
        assert str(error) == f"argument '{param}': {message}"
        assert str(error.__cause__) == message
    else:
        assert not str(error).startswith("argument")
        if message is not None:
            assert str(error) == message


class Registered:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i == 0:
            return 4.0
        raise IndexError(i)


collections.abc.Sequence.register(Registered)


class ListChild(list):
    pass


@pytest.mark.parametrize("value", [[1.0], (1.0,), ListChild([1.0]), range(3), "ab", Registered()])
def test_sequence_accepts_the_object_itself(probe, value):
    assert probe.seq_arg(value) is value


class ClassLookupFails:
    @property
    def __class__(self):
        raise KeyError("no class")


def test_failing_sequence_test_is_unraisable(probe, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    error = raised(lambda: probe.seq_arg(ClassLookupFails()))
    assert str(error) == "argument 'seq': 'ClassLookupFails' object cannot be converted to 'Sequence'"
    assert len(reported) == 1 and type(reported[0].exc_value) is KeyError


def test_defaults_come_from_the_signature_text(probe):
    assert probe.defaults(1) == (1, True, 100000, 1e-6, 128)
    assert probe.defaults(1, m=3, flag=False) == (1, False, 100000, 1e-6, 3)
    error = raised(lambda: probe.defaults(1, flag=None))
    assert str(error) == "argument 'flag': 'NoneType' object cannot be converted to 'PyBool'"


def test_numpy_arrays_feed_lists_but_not_sequences(vx):
    with pytest.raises(TypeError, match=r"^argument 'pmf': 'ndarray' object cannot be converted to 'Sequence'$"):
        vx.from_pmf([1.0], np.array([1.0]))


# ---- results ----------------------------------------------------------------

def test_results(probe):
    assert probe.pair(1, 2.5) == (1.0, 2.5)
    assert type(probe.pair(1, 2)) is tuple
    assert probe.u64_arg(3) == 3 and type(probe.u64_arg(3)) is int


# ---- text signatures --------------------------------------------------------

def test_signatures_in_probe(probe):
    assert probe.Plain.__text_signature__ == "(start, step=1)"
    assert str(inspect.signature(probe.Plain)) == "(start, step=1)"
    assert probe.Plain.from_int.__text_signature__ == "(start)"
    assert probe.defaults.__text_signature__ == "(a, flag=True, n=100000, x=1e-6, m=128)"
    assert probe.defaults.__doc__ is None
    assert probe.Plain(2).total.__text_signature__ == "($self)"
    assert probe.Counter.__text_signature__ is None
