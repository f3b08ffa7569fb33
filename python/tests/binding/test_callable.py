"""The callable adaptors, through the probe: user failures of every kind become
NaN (or InversionFailed), the error indicator is clear afterwards, and the
Python reference lives exactly as long as the adaptor's last copy."""
import math
import struct
import sys

import pytest


def is_positive_quiet_nan(x):
    return struct.pack(">d", x)[:2] == b"\x7f\xf8" and struct.pack(">d", x)[2:] == bytes(6)


def raiser(exception):
    def f(*args):
        raise exception
    return f


FAILURES = [
    raiser(ValueError("bad")), raiser(KeyboardInterrupt()), raiser(SystemExit(3)), raiser(GeneratorExit()),
    lambda x: None, lambda x: "1.0", lambda x: [x], None, 42,
]


@pytest.mark.parametrize("f", FAILURES)
def test_float_fn_failure_is_nan(probe, f):
    value, pending = probe.float_fn(f, 0.5)
    assert is_positive_quiet_nan(value)
    assert pending is False


class FloatLike:
    def __float__(self):
        return 0.25


class IndexLike:
    def __index__(self):
        return 9


@pytest.mark.parametrize("returned, expected", [
    (3, 3.0), (-1.0, -1.0), (-1, -1.0), (FloatLike(), 0.25), (IndexLike(), 9.0), (True, 1.0),
    (float("inf"), float("inf")), (-float("inf"), -float("inf")),
])
def test_float_fn_values(probe, returned, expected):
    assert probe.float_fn(lambda x: returned, 0.0) == (expected, False)


def test_float_fn_passes_the_argument_and_nan_through(probe):
    assert probe.float_fn(lambda x: x * 2, 1.25) == (2.5, False)
    value, _ = probe.float_fn(lambda x: float("nan"), 0.0)
    assert math.isnan(value)


class FailingFloat:
    def __float__(self):
        raise KeyboardInterrupt


def test_failed_result_conversion_is_nan(probe):
    value, pending = probe.float_fn(lambda x: FailingFloat(), 0.0)
    assert math.isnan(value) and pending is False


def test_nd_fn_spread_then_list(probe):
    calls = []

    def spread(x, y):
        calls.append(("spread", x, y))
        return x + y

    def indexed(p):
        calls.append(("list", list(p) if isinstance(p, list) else p))
        return p[0] - p[1]

    assert probe.nd_fn(spread, [1.0, 2.0]) == (3.0, False)
    assert calls == [("spread", 1.0, 2.0)]
    calls.clear()
    assert probe.nd_fn(indexed, [1.0, 2.0]) == (-1.0, False)
    assert calls == [("list", [1.0, 2.0])]  # the spread call failed on its argument count


def test_nd_fn_one_dimension(probe):
    seen = []

    def f(p):
        seen.append(p)
        return p[0]

    assert probe.nd_fn(f, [0.5]) == (0.5, False)
    assert seen == [0.5, [0.5]]  # the bare float was not indexable; the list came second
    assert probe.nd_fn(lambda x: x * 4, [0.5]) == (2.0, False)


def test_nd_fn_both_forms_fail(probe):
    seen = []

    def f(*args):
        seen.append(args)
        raise KeyboardInterrupt

    value, pending = probe.nd_fn(f, [1.0, 2.0])
    assert math.isnan(value) and pending is False
    assert seen == [(1.0, 2.0), ([1.0, 2.0],)]
    value, _ = probe.nd_fn(lambda *a: None, [1.0])
    assert math.isnan(value)


@pytest.mark.parametrize("f", FAILURES)
def test_ppf_fn_failure_is_inversion_failed(probe, f):
    assert probe.ppf_fn(f, 0.5) == ("failed to invert CDF", False)


def test_ppf_fn_values_pass(probe):
    assert probe.ppf_fn(lambda u: u + 1, 0.5) == (1.5, False)
    value, _ = probe.ppf_fn(lambda u: float("nan"), 0.5)
    assert math.isnan(value)
    assert probe.ppf_fn(lambda u: -1.0, 0.5) == (-1.0, False)


@pytest.mark.parametrize("fn", ["coord_fn", "factor_fn"])
def test_index_and_list_callables(probe, fn):
    calls = []

    def f(i, x):
        calls.append((i, x))
        return i + sum(x)

    assert getattr(probe, fn)(f, 2, [1.0, 0.5]) == (3.5, False)
    assert getattr(probe, fn)(f, 0, []) == (0.0, False)
    assert calls == [(2, [1.0, 0.5]), (0, [])]
    assert type(calls[0][0]) is int
    value, pending = getattr(probe, fn)(raiser(SystemExit), 0, [1.0])
    assert math.isnan(value) and pending is False


def test_copies_share_one_reference(probe):
    def f(x):
        return x

    before = sys.getrefcount(f)
    # Inside the call: the argument binding holds one reference, the adaptor's holder one more.
    inside = probe.adaptor_copies(f, 50)
    assert inside == probe.adaptor_copies(f, 0)
    assert sys.getrefcount(f) == before


def test_called_and_released_on_a_thread_without_the_lock(probe):
    def f(x):
        return x + 1

    before = sys.getrefcount(f)
    assert probe.call_on_thread(f, 1.0) == 2.0
    assert sys.getrefcount(f) == before
    value = probe.call_on_thread(raiser(ValueError), 1.0)
    assert math.isnan(value)
