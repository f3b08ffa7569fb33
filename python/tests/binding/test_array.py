"""The typed-array argument kind: what C++ accepts in place of an address."""
import sys

import numpy as np
import pytest


def test_reads_and_writes_through_the_arrays(probe):
    x = np.arange(5.0)
    out = np.empty(5)
    assert probe.double_into(x, out) == 5
    np.testing.assert_array_equal(out, 2 * x)
    ints = np.arange(3, dtype=np.int64)
    assert probe.count_int64(ints) == 3
    np.testing.assert_array_equal(ints, [1, 2, 3])


def test_any_c_contiguous_shape_counts_every_element(probe):
    x = np.arange(6.0).reshape(2, 3)
    out = np.empty((3, 2))
    assert probe.double_into(x, out) == 6
    np.testing.assert_array_equal(out.ravel(), 2 * x.ravel())
    assert probe.double_into(np.empty(0), np.empty(0)) == 0
    # A 0-d array is one element; a column view of one row is contiguous.
    assert probe.double_into(np.array(1.5), np.empty(1)) == 1
    assert probe.double_into(np.ones((4, 3))[:, :1][:1], np.empty(1)) == 1


def test_input_and_output_may_be_one_array(probe):
    x = np.arange(4.0)
    probe.double_into(x, x)
    np.testing.assert_array_equal(x, [0, 2, 4, 6])


@pytest.mark.parametrize("make, why", [
    (lambda: [1.0, 2.0], "'list'"),
    (lambda: np.arange(3), "elements of type"),  # int64 where float64 is needed
    (lambda: np.arange(3, dtype=np.float32), "elements of type"),
    (lambda: np.arange(3.0).astype(">f8" if sys.byteorder == "little" else "<f8"), "elements of type"),
    (lambda: np.arange(6.0)[::2], "non-contiguous"),
    (lambda: np.arange(6.0).reshape(2, 3).T, "non-contiguous"),
    (lambda: np.frombuffer(b"\0" * 25, dtype=np.float64, offset=1), "unaligned"),
])
def test_refuses_what_is_not_a_contiguous_float64_array(probe, make, why):
    with pytest.raises(TypeError, match=r"argument 'x': expected a C-contiguous float64 array, got .*" + why):
        probe.double_into(make(), np.empty(3))


def test_an_output_must_be_writeable(probe):
    out = np.empty(2)
    out.flags.writeable = False
    with pytest.raises(TypeError, match="argument 'out': expected a C-contiguous writeable float64 array, got a "
                                        "read-only array"):
        probe.double_into(np.zeros(2), out)
    # A read-only array is a fine input.
    probe.double_into(out, np.empty(2))


def test_lengths_must_agree(probe):
    with pytest.raises(ValueError, match=r"^x and out differ in length \(3 and 2\)$"):
        probe.double_into(np.zeros(3), np.empty(2))


def test_the_call_holds_its_arrays(probe):
    x = np.zeros(3)
    before = sys.getrefcount(x)
    probe.double_into(x, np.empty(3))
    assert sys.getrefcount(x) == before


def test_an_object_with_only_an_interface_dict_is_read(probe):
    backing = np.arange(3.0)

    class Exposed:
        __array_interface__ = backing.__array_interface__

    out = np.empty(3)
    probe.double_into(Exposed(), out)
    np.testing.assert_array_equal(out, 2 * backing)
