"""The class helper, through the probe's classes: constructors, properties,
the borrow flags and thread affinity."""
import sys

import pytest

from threads import in_thread


def test_constructor_property_repr(probe):
    p = probe.Plain(1.5, step=2)
    assert p.value == 3.5 and p.total() == 3.5
    assert repr(probe.Plain(4)) == "Plain(5)"
    assert probe.Plain.from_int(9).total() == 9.0
    with pytest.raises(AttributeError):
        p.value = 1.0
    assert probe.instance_arg(p) == 3.5


@pytest.mark.parametrize("name", ["Plain", "Counter"])
def test_classes_belong_to_the_module_that_adds_them(probe, name):
    cls = getattr(probe, name)
    assert (cls.__module__, cls.__qualname__) == ("_varlix_testing", name)


def test_class_without_constructor(probe):
    with pytest.raises(TypeError, match=r"^No constructor defined for Counter$"):
        probe.Counter()


def test_exclusive_borrow_refuses_a_shared_one(probe):
    c = probe.make_counter()
    with pytest.raises(RuntimeError, match=r"^Already mutably borrowed$"):
        c.add_calling(c.peek)
    # Released on the error path: the counter works again.
    assert c.add(1.0) == 2.0


def test_shared_borrow_refuses_an_exclusive_one(probe):
    c = probe.make_counter()
    with pytest.raises(RuntimeError, match=r"^Already borrowed$"):
        c.peek_calling(lambda: c.add(1.0))
    assert c.peek_calling(c.peek) == 0.0  # shared borrows nest
    assert c.add(1.0) == 1.0


def test_exclusive_borrows_do_not_nest(probe):
    c = probe.make_counter()
    with pytest.raises(RuntimeError, match=r"^Already borrowed$"):
        c.add_calling(lambda: c.add(1.0))
    assert c.peek() == 1.0


def test_thread_bound_instance_refuses_other_threads(probe):
    c = probe.make_counter()
    result = in_thread(lambda: c.add(1.0))
    assert type(result["error"]) is RuntimeError
    assert str(result["error"]) == "_varlix_testing::PyCounter is unsendable, but sent to another thread"
    assert c.add(1.0) == 1.0
    # Other classes may be used anywhere.
    p = probe.Plain(1.0)
    assert in_thread(p.total) == {"value": 2.0}


def test_thread_bound_instance_dropped_elsewhere_is_reported(probe, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    holder = [probe.make_counter()]
    in_thread(holder.clear)
    assert len(reported) == 1
    assert type(reported[0].exc_value) is RuntimeError
    assert str(reported[0].exc_value) == "_varlix_testing::PyCounter is unsendable, but is being dropped on another thread"
    reported.clear()
    holder.append(probe.make_counter())
    holder.clear()
    assert reported == []
