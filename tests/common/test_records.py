"""The record binder (python/common/records.hpp), through the test module _record_probe."""

import dataclasses

import pytest

from _record_probe import Box, Pair, Tagged
from core.ast import Constant, Variable


@pytest.mark.parametrize(
    "build",
    [lambda: Pair(1, "a"), lambda: Pair(left=1, right="a"), lambda: Pair(1, right="a"), lambda: Pair(right="a", left=1)],
    ids=["positional", "keywords", "mixed", "keywords-reordered"],
)
def test_constructor_takes_fields_by_position_or_name(build):
    p = build()
    assert (p.left, p.right) == (1, "a")


def test_default_and_missing_arguments():
    assert Pair(5).right == "r"
    with pytest.raises(TypeError):
        Pair()
    with pytest.raises(TypeError):
        Pair(1, "a", "extra")
    with pytest.raises(TypeError):
        Pair("not an int")


def test_factory_validation_error_reaches_caller():
    with pytest.raises(ValueError, match="non-negative"):
        Tagged(-1, Constant("a"))


def test_equality_and_hash_follow_the_fields():
    assert Pair(1, "a") == Pair(1, "a")
    assert Pair(1, "a") != Pair(1, "b")
    assert hash(Pair(1, "a")) == hash((1, "a"))
    assert len({Pair(1, "a"), Pair(1, "a"), Pair(2, "a")}) == 2
    x = Variable(id=1)
    assert Tagged(3, x) == Tagged(3, Variable(id=1))
    assert hash(Tagged(3, x)) == 3 * 31 + hash(x)


class Anything:
    """Claims equality with everything, to see whether the record asks it."""

    def __eq__(self, other):
        return True


def test_foreign_object_gets_not_implemented_or_false_by_style():
    assert Pair(1, "a").__eq__((1, "a")) is NotImplemented
    assert Pair(1, "a") == Anything()  # the other operand was asked
    assert Tagged(1, Constant("a")).__eq__(Anything()) is False
    assert Pair(1, "a") != Tagged(1, Constant("a"))


def test_repr_is_dataclass_style():
    assert repr(Pair(1, "it's")) == "Pair(left=1, right=\"it's\")"
    assert repr(Tagged(2, Constant("c"))) == f"Tagged(tag=2, node={Constant('c')!r})"
    assert repr(Box([1])) == "Box(content=[1])"


def test_subclass_instance_is_its_own_class_or_the_record_by_style():
    class MyPair(Pair):
        pass

    class MyTagged(Tagged):
        pass

    assert Pair(1, "a") != MyPair(1, "a") and MyPair(1, "a") == MyPair(1, "a")
    assert repr(MyPair(1, "a")).endswith(".MyPair(left=1, right='a')")
    c = Constant("c")
    assert Tagged(2, c) == MyTagged(2, c) and MyTagged(2, c) == Tagged(2, c) and MyTagged(2, c) != Tagged(3, c)
    assert repr(MyTagged(2, c)) == repr(Tagged(2, c))


@pytest.mark.parametrize("action", [lambda p: setattr(p, "left", 2), lambda p: delattr(p, "left"),
                                    lambda p: setattr(p, "other", 2)], ids=["assign", "delete", "new-attribute"])
def test_frozen_record_refuses_changes(action):
    p = Pair(1, "a")
    with pytest.raises(dataclasses.FrozenInstanceError):
        action(p)
    assert (p.left, p.right) == (1, "a")


def test_mutable_record_assigns_and_is_unhashable():
    b = Box()
    assert b.content is None
    b.content = [1, 2]
    assert b == Box([1, 2])
    with pytest.raises(TypeError):
        hash(b)


@pytest.mark.parametrize("cls", [Pair, Tagged, Box], ids=lambda c: c.__name__)
def test_object_made_by_new_alone_is_refused(cls):
    with pytest.raises(TypeError, match="__new__ alone"):
        cls.__new__(cls)


def test_subclass_that_skips_the_base_init_is_refused():
    class Skipping(Pair):
        def __init__(self):
            pass

    with pytest.raises(TypeError, match="__init__"):
        Skipping()
