import itertools

import pytest

import constructive.kripke as kripke
from constructive.common import FALSUM, VERUM
from core.ast import And, Constant, Equality, Exists, Forall, Iff, Implies, Not, Or, PredicateApp, Variable
from constructive.kripke import KripkeModel, World

W0, W1, W2 = World(0, "w0"), World(1, "w1"), World(2, "w2")
P = PredicateApp("P", 0, ())
Q = PredicateApp("Q", 0, ())


def model_with(*pairs, valuations=()):
    model = KripkeModel()
    for source, target in pairs:
        model.add_relation(source, target)
    for world, formula in valuations:
        model.add_valuation(world, formula)
    return model


def test_public_names():
    assert kripke.__all__ == ["World", "KripkeModel"]


# ---------------------------------------------------------------------------
# World
# ---------------------------------------------------------------------------
def test_world_is_an_immutable_value():
    w = World(id=0, name="w0")
    assert w == World(0, "w0") and hash(w) == hash((0, "w0"))
    assert w != World(0, "w1") and w != World(1, "w0") and w != (0, "w0")
    assert str(w) == "w0" and repr(w) == "World(id=0, name=w0)"
    with pytest.raises(AttributeError):
        w.id = 1
    with pytest.raises(AttributeError):
        w.colour = "red"
    assert len({World(0, "w0"), World(0, "w0"), W1}) == 2


def test_world_requires_both_fields():
    with pytest.raises(TypeError):
        World(0)


@pytest.mark.parametrize(
    "args, error, message",
    [((10**30, "w"), OverflowError, "World id must be an integer that fits in 64 bits"),
     (("a", "b"), TypeError, "World id must be an integer, got <class 'str'>"),
     ((0, 5), TypeError, "World name must be a string, got <class 'int'>")],
)
def test_world_ids_are_64_bit_integers_and_names_strings(args, error, message):
    with pytest.raises(error, match=message):
        World(*args)
    assert World(2**63 - 1, "top").id == 2**63 - 1 and World(-(2**63), "bottom").id == -(2**63)


# ---------------------------------------------------------------------------
# Construction and closure
# ---------------------------------------------------------------------------
def test_empty_model():
    model = KripkeModel()
    assert model.worlds == [] and model.relations == {} and model.valuations == {}


def test_add_world_is_reflexive_and_idempotent():
    model = KripkeModel()
    model.add_world(W0)
    model.add_world(World(0, "w0"))
    assert model.worlds == [W0]
    assert model.relations == {W0: {W0}} and model.valuations == {W0: set()}
    assert model.is_accessible(W0, W0) and model.accessible_worlds(W0) == {W0}


def test_add_world_keeps_given_successors():
    model = KripkeModel(relations={W0: [W1]})
    model.add_world(W0)
    assert model.relations[W0] == {W0, W1}


def test_constructor_data_is_taken_as_given_until_the_first_relation():
    model = KripkeModel(worlds=[W0, W1])
    assert not model.is_accessible(W0, W0)
    model.add_relation(W0, W1)
    assert model.relations == {W0: {W0, W1}, W1: {W1}}


@pytest.mark.parametrize(
    "pairs, expected",
    [
        ([(W0, W1), (W1, W2)], {W0: {W0, W1, W2}, W1: {W1, W2}, W2: {W2}}),
        ([(W1, W2), (W0, W1)], {W1: {W1, W2}, W2: {W2}, W0: {W0, W1, W2}}),
        ([(W0, W1), (W1, W0)], {W0: {W0, W1}, W1: {W0, W1}}),
        ([(W0, W0)], {W0: {W0}}),
    ],
    ids=["forward", "backward", "cycle", "self"],
)
def test_relations_are_closed_on_every_insertion(pairs, expected):
    model = model_with(*pairs)
    assert model.relations == expected
    assert len(model.worlds) == len(expected)


def test_source_is_listed_before_target():
    assert model_with((W2, W1)).worlds == [W2, W1]


def test_unlisted_key_is_followed_but_not_closed():
    w9 = World(9, "w9")
    model = KripkeModel(worlds=[W0], relations={W0: {W0}, W1: {w9}})
    model.add_relation(W0, W1)
    assert model.relations[W1] == {W1, w9}  # W1 is listed now and gets closed
    model = KripkeModel(worlds=[W0], relations={W0: {W0, W1}, W1: {w9}})
    model.add_relation(W0, W2)
    assert model.relations[W1] == {w9}
    assert model.relations[W0] == {W0, W1, W2, w9}


@pytest.mark.parametrize(
    "steps, expected",
    [
        ([("rel", W0, W1), ("val", W0, P)], {W0: {P}, W1: {P}}),
        ([("rel", W0, W1), ("val", W1, Q)], {W0: set(), W1: {Q}}),
        ([("val", W0, P), ("rel", W0, W1)], {W0: {P}, W1: {P}}),
        ([("rel", W0, W1), ("rel", W1, W0), ("val", W1, P)], {W0: {P}, W1: {P}}),
        ([("val", W2, Or(P, Q))], {W2: {Or(P, Q)}}),
    ],
    ids=["upward", "only-above", "before-relation", "cycle", "compound-stored"],
)
def test_valuations_are_monotone(steps, expected):
    model = KripkeModel()
    for kind, a, b in steps:
        (model.add_relation if kind == "rel" else model.add_valuation)(a, b)
    assert model.valuations == expected


def test_add_valuation_lists_an_unknown_world():
    model = KripkeModel()
    model.add_valuation(W1, P)
    assert model.worlds == [W1] and model.relations == {W1: {W1}} and model.valuations == {W1: {P}}


def test_world_without_entry_reaches_only_itself():
    model = KripkeModel(worlds=[W0])
    assert model.accessible_worlds(W0) == {W0}
    assert not model.is_accessible(W0, W0)


def test_model_shares_no_container_with_the_caller():
    worlds, relations = [W0], {W0: {W0}}
    model = KripkeModel(worlds=worlds, relations=relations)
    worlds.append(W1)
    relations[W0].add(W1)
    model.accessible_worlds(W0).add(W2)
    assert model.worlds == [W0] and model.relations == {W0: {W0}}


def test_the_model_containers_are_live():
    model = KripkeModel()
    model.add_world(W0)
    model.valuations[W0].add(P)
    model.worlds.append(W1)
    model.relations[W0].add(W1)
    assert model.evaluate(P, W0) and model.is_accessible(W0, W1)
    assert model.accessible_worlds(W0) == {W0, W1}
    assert model.worlds is model.worlds and type(model.valuations[W0]) is set
    model._compute_transitive_closure()
    model._enforce_monotonicity()
    assert model.valuations[W1] == {P} and "V(w1) = {P}" in model.to_string()
    model.relations = {W0: {W0}}  # a plain attribute: the new value is the model's order
    assert not model.is_accessible(W0, W1) and model.evaluate(Not(Not(P)), W0)


def test_a_subclass_may_keep_its_worlds_its_own_way():
    class Listing(KripkeModel):
        def add_world(self, world):
            if world not in self.worlds:
                self.worlds.append(world)
            self.relations.setdefault(world, set()).add(world)
            self.valuations.setdefault(world, set())

    model = Listing()
    model.add_relation(W0, W1)
    model.add_valuation(W0, P)
    assert model.worlds == [W0, W1] and model.relations == {W0: {W0, W1}, W1: {W1}}
    assert model.valuations == {W0: {P}, W1: {P}} and model.evaluate(P, W1)


def test_fixpoint_operations_can_be_called_directly():
    model = KripkeModel(worlds=[W0, W1], relations={W0: {W1}, W1: {W2}}, valuations={W0: {P}})
    model._compute_transitive_closure()
    assert model.relations[W0] == {W0, W1, W2}
    model._enforce_monotonicity()
    assert model.valuations[W2] == {P} and model.valuations[W1] == {P}


@pytest.mark.parametrize("bad", [(0, "w0"), "w0", None])
def test_non_worlds_are_refused(bad):
    with pytest.raises(TypeError):
        KripkeModel().add_world(bad)


# ---------------------------------------------------------------------------
# Forcing
# ---------------------------------------------------------------------------
@pytest.fixture
def p_at_w1():
    """w0 <= w1 with P true at w1 only."""
    return model_with((W0, W1), valuations=[(W1, P)])


@pytest.mark.parametrize(
    "formula, world, forced",
    [
        (P, W0, False),
        (P, W1, True),
        (Not(P), W0, False),
        (Or(P, Not(P)), W0, False),
        (Or(P, Not(P)), W1, True),
        (Not(Not(P)), W0, True),
        (Implies(P, Q), W0, False),
        (Implies(P, Q), W1, False),
        (Implies(Q, P), W0, True),
        (And(P, Not(Q)), W1, True),
        (Iff(P, P), W0, True),
        (Iff(P, Q), W0, False),
        (Iff(Q, Q), W1, True),
        (FALSUM, W1, False),
        (VERUM, W0, True),
        (Implies(P, FALSUM), W0, False),
    ],
)
def test_forcing(p_at_w1, formula, world, forced):
    assert p_at_w1.evaluate(formula, world) is forced
    assert p_at_w1.evaluate(formula=formula, world=world) is forced


@pytest.mark.parametrize(
    "formula, forced",
    [(Implies(P, P), True), (P, False), (Not(P), True), (FALSUM, False), (VERUM, True)],
)
def test_forcing_at_a_world_outside_the_model(formula, forced):
    assert KripkeModel().evaluate(formula, World(7, "w7")) is forced


def test_atom_true_after_add_valuation():
    model = KripkeModel()
    model.add_valuation(W0, P)
    assert model.evaluate(P, W0)


def test_world_with_empty_successor_set_forces_every_negation_and_implication():
    model = KripkeModel(worlds=[W0], relations={W0: set()})
    assert model.evaluate(Not(VERUM), W0) and model.evaluate(Implies(VERUM, FALSUM), W0)


@pytest.mark.parametrize(
    "formula, class_name",
    [
        (Forall(Variable(0), PredicateApp("P", 1, (Variable(0),))), "Forall"),
        (Exists(Variable(0), P), "Exists"),
        (Equality(Constant("a"), Constant("b")), "Equality"),
        (Or(P, Equality(Constant("a"), Constant("a"))), "Equality"),
    ],
)
def test_forcing_refuses_what_a_propositional_model_cannot_evaluate(formula, class_name):
    model = model_with((W0, W1))
    with pytest.raises(TypeError, match=class_name):
        model.evaluate(formula, W0)


def test_forcing_a_very_deep_formula_raises_recursion_error():
    formula = P
    for _ in range(200_000):
        formula = Not(formula)
    with pytest.raises(RecursionError):
        model_with((W0, W1)).evaluate(formula, W0)


@pytest.mark.parametrize("connective", [And, Or, Implies, Iff])
def test_shared_subformulas_are_forced_once_per_world(p_at_w1, connective):
    from helpers import shared

    # 2**60 occurrences; each distinct subformula is decided once per world
    for base, world in [(P, W0), (P, W1), (Not(Q), W1), (Implies(P, Q), W0)]:
        expected = p_at_w1.evaluate(shared(2, base, connective), world)
        assert p_at_w1.evaluate(shared(60, base, connective), world) is expected


def test_long_chains_of_one_connective_are_forced_without_deep_recursion(p_at_w1):
    atoms = [PredicateApp(f"A{i}", 0, ()) for i in range(100_000)]
    disjunction, conjunction = Q, P
    for a in atoms:
        disjunction, conjunction = Or(disjunction, a), And(conjunction, Not(a))
    assert not p_at_w1.evaluate(disjunction, W1)
    assert p_at_w1.evaluate(Or(disjunction, P), W1) and p_at_w1.evaluate(conjunction, W1)


# ---------------------------------------------------------------------------
# Subclasses that replace operations
# ---------------------------------------------------------------------------
class Recording(KripkeModel):
    """Logs every call of the replaceable operations and runs the model's own."""

    def __init__(self):
        super().__init__()
        self.calls = []

    def add_world(self, world):
        self.calls.append(("add_world", world))
        super().add_world(world)

    def accessible_worlds(self, world):
        self.calls.append(("accessible_worlds", world))
        return super().accessible_worlds(world)

    def _compute_transitive_closure(self):
        self.calls.append(("closure",))
        super()._compute_transitive_closure()

    def _enforce_monotonicity(self):
        self.calls.append(("monotonicity",))
        super()._enforce_monotonicity()

    def evaluate(self, formula, world):
        self.calls.append(("evaluate", formula, world))
        return super().evaluate(formula, world)


def test_construction_reaches_the_subclass_operations():
    model = Recording()
    model.add_relation(W0, W1)
    assert model.calls == [("add_world", W0), ("add_world", W1), ("closure",), ("monotonicity",)]
    model.calls.clear()
    model.add_valuation(W0, P)
    assert model.calls == [("add_world", W0), ("accessible_worlds", W0)]
    assert model.valuations[W1] == {P}


def test_forcing_reaches_the_subclass_evaluate_for_every_subformula():
    model = Recording()
    model.add_relation(W0, W1)
    model.add_valuation(W1, P)
    model.calls.clear()
    chain = And(And(P, Q), P)
    assert model.evaluate(Iff(chain, P), W1) is False
    evaluated = [call[1:] for call in model.calls if call[0] == "evaluate"]
    chain_calls = [chain, And(P, Q), P, Q]  # Q fails, so the chain fails without its last member
    assert evaluated == [(f, W1) for f in [Iff(chain, P), Implies(chain, P), *chain_calls,
                                            Implies(P, chain), P, *chain_calls]]
    assert ("accessible_worlds", W1) in model.calls


def test_a_replaced_order_decides_forcing():
    class Up(KripkeModel):
        def accessible_worlds(self, world):
            return {world, W1}

    model = Up()
    model.add_world(W0)
    model.add_valuation(W1, P)
    assert model.evaluate(Not(P), W0) is False and model.evaluate(Implies(P, Q), W0) is False


def test_a_replaced_evaluate_counts_by_truth_value():
    class Everything(KripkeModel):
        def evaluate(self, formula, world):
            return 1 if formula == P else super().evaluate(formula, world)

    assert Everything().evaluate(And(P, Not(Not(P))), W0) is True


def test_the_model_class_itself_never_looks_up_replacements():
    model = model_with((W0, W1), valuations=[(W1, P)])
    assert type(model) is KripkeModel and model.evaluate(Not(Not(P)), W0)


def test_string_conversion_uses_the_subclass_text():
    class Named(KripkeModel):
        def to_string(self):
            return "named"

    assert str(Named()) == "named"


# ---------------------------------------------------------------------------
# Renderings
# ---------------------------------------------------------------------------
def test_empty_model_renderings():
    model = KripkeModel()
    assert model.to_string() == (
        "Kripke Model (W, <=, V):\n  Worlds: empty\n  Accessibility Relation (<=):\n  Valuations V(w):"
    )
    assert model.to_dict() == {"worlds": [], "relations": {}, "valuations": {}}


def test_two_world_model_renderings(p_at_w1):
    assert str(p_at_w1) == p_at_w1.to_string() == "\n".join(
        [
            "Kripke Model (W, <=, V):",
            "  Worlds: w0, w1",
            "  Accessibility Relation (<=):",
            "    w0 <= {w0, w1}",
            "    w1 <= {w1}",
            "  Valuations V(w):",
            "    V(w0) = {empty}",
            "    V(w1) = {P}",
        ]
    )
    assert p_at_w1.to_dict() == {
        "worlds": ["w0", "w1"],
        "relations": {"w0": ["w0", "w1"], "w1": ["w1"]},
        "valuations": {"w0": [], "w1": ["P"]},
    }
    assert list(p_at_w1.to_dict()) == ["worlds", "relations", "valuations"]


def test_renderings_sort_names_and_texts_but_keep_world_order():
    w10 = World(10, "w10")
    model = model_with((W1, W0), (W1, w10), (W1, W2), valuations=[(W1, Q), (W1, P)])
    assert model.to_dict()["worlds"] == ["w1", "w0", "w10", "w2"]
    assert model.to_dict()["relations"]["w1"] == ["w0", "w1", "w10", "w2"]
    assert "    w1 <= {w0, w1, w10, w2}" in model.to_string().split("\n")
    assert "    V(w1) = {P, Q}" in model.to_string().split("\n")


def test_listed_world_without_entries_renders_empty():
    model = KripkeModel(worlds=[W0])
    lines = model.to_string().split("\n")
    assert "    w0 <= {}" in lines and "    V(w0) = {empty}" in lines
    assert model.to_dict() == {"worlds": ["w0"], "relations": {"w0": []}, "valuations": {"w0": []}}


def test_model_frame_conditions_hold_after_random_insertions():
    worlds = [World(i, f"w{i}") for i in range(5)]
    model = KripkeModel()
    for (a, b), atom in zip(itertools.combinations(worlds, 2), itertools.cycle([P, Q, None])):
        model.add_relation(b, a) if a.id % 2 else model.add_relation(a, b)
        if atom is not None:
            model.add_valuation(a, atom)
    rel, val = model.relations, model.valuations
    for u in model.worlds:
        assert u in rel[u]
        for v in rel[u]:
            assert rel[v] <= rel[u] and val[u] <= val[v]
