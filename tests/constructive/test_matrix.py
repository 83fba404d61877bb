"""Position types, positions, connections, the formula tree and its paths."""

import gc
import random
import weakref

import pytest

import constructive.matrix as matrix
from constructive.common import FALSUM, VERUM, normalize_formula
from constructive.matrix import Connection, FormulaTree, Position, PositionType
from constructive.prefix import Prefix, PrefixConstant, PrefixVariable
from core.ast import And, Implies, Not, Or, PredicateApp
from helpers import atom, conj, disj, imp, neg, probe_half_built, shared

P, Q, R, A, B = atom("P"), atom("Q"), atom("R"), atom("A"), atom("B")
c0 = PrefixConstant("c0")


def pre(text):
    return Prefix(tuple(PrefixConstant(n) if n.startswith("c") else PrefixVariable(n) for n in text.split(".")))


def describe(position):
    """The fields of a position that a tree fills, links by id."""
    return (
        position.id,
        position.formula,
        position.polarity,
        position.pos_type,
        str(position.prefix),
        position.parent.id if position.parent is not None else None,
        tuple(c.id for c in position.children),
        position.symbol.name if position.symbol is not None else None,
    )


def order_of(tree):
    return {k.name: sorted(s.name for s in v) for k, v in tree.tree_order.items()}


# ---------------------------------------------------------------------------
# Records
# ---------------------------------------------------------------------------
def test_public_names_and_position_types():
    assert matrix.__all__ == ["PositionType", "Position", "FormulaTree", "Connection"]
    assert [t.value for t in PositionType] == ["ALPHA", "BETA", "PHI", "PSI", "ATOM"]
    assert PositionType.ATOM == "ATOM" and PositionType.ALPHA.value == "ALPHA"


def test_position_defaults_and_leaf_test():
    p = Position(1, P, 0, PositionType.ATOM, pre("c0"))
    assert p.parent is None and p.children == () and p.symbol is None
    assert p.is_leaf()
    assert Position(1, P, 0, PositionType.ATOM, pre("c0"), children=(p,)).is_leaf()
    for t in ("ALPHA", "BETA", "PHI", "PSI"):
        assert not Position(1, P, 0, PositionType(t), pre("c0")).is_leaf()
    p.children = (p,)
    assert p.children == (p,)


@pytest.mark.parametrize(
    "formula, polarity, prefix, text",
    [
        (P, 1, "c0", "P^1:c0"),
        (P, 1, "c0.V1", "P^1:c0.V1"),
        (FALSUM, 1, "c0", "_bot^1:c0"),
        (FALSUM, 0, "c0.c1", "_bot^0:c0.c1"),
        (VERUM, 0, "c0", "_top^0:c0"),
        (imp(P, Q), 0, "c0.c1", "(P => Q)^0:c0.c1"),
    ],
)
def test_position_text(formula, polarity, prefix, text):
    p = Position(id=1, formula=formula, polarity=polarity, pos_type=PositionType.ATOM, prefix=pre(prefix))
    assert p.to_string() == text and str(p) == text


def test_position_equality_compares_links_by_identity():
    a = Position(1, P, 0, PositionType.ATOM, pre("c0"))
    b = Position(1, P, 0, PositionType.ATOM, pre("c0"))
    assert a == b and a != Position(2, P, 0, PositionType.ATOM, pre("c0"))
    with pytest.raises(TypeError):
        {a}
    # two trees of the same formula: equal fields, different links; the
    # comparison ends and tells them apart
    t1, t2 = FormulaTree(imp(P, P)), FormulaTree(imp(P, P))
    assert t1.root != t2.root and t1.leaves[0] != t2.leaves[0]
    assert t1.root == t1.root
    parent = t1.root
    twin = Position(parent.id, parent.formula, parent.polarity, parent.pos_type, parent.prefix,
                    children=parent.children, symbol=parent.symbol)
    assert twin == parent
    assert "<Position 2>" in repr(parent)


def test_connection():
    pos = Position(1, P, 1, PositionType.ATOM, pre("c0"))
    neg_ = Position(2, P, 0, PositionType.ATOM, pre("c0"))
    c = Connection(positive=pos, negative=neg_)
    assert c.to_string() == "{P^1:c0 <-> P^0:c0}" == str(c)
    assert c == Connection(pos, neg_) and c != Connection(neg_, pos)
    with pytest.raises(TypeError):
        hash(c)
    with pytest.raises(AttributeError):
        c.positive = neg_
    # any two values are accepted; the text asks each for its own to_string
    class Text:
        def to_string(self):
            return "x"

    assert str(Connection(Text(), Text())) == "{x <-> x}"


# ---------------------------------------------------------------------------
# The tree
# ---------------------------------------------------------------------------
def test_tree_of_an_implication_goal():
    t = FormulaTree(imp(P, P))
    assert t.target == imp(P, P) and t.premises == () and t.multiplicity == 1
    assert describe(t.root) == (1, imp(P, P), 0, "PSI", "c0.c1", None, (2, 3), "c1")
    assert [describe(p) for p in t.positions] == [
        (2, P, 1, "ATOM", "c0.c1.V1", 1, (), "V1"),
        (3, P, 0, "ATOM", "c0.c1", 1, (), None),
        describe(t.root),
    ]
    assert [p.id for p in t.leaves] == [2, 3]
    assert order_of(t) == {"c0": ["c1"], "c1": ["V1"], "V1": []}
    assert list(order_of(t)) == ["c0", "c1", "V1"]
    assert (t._counter, t._const_counter, t._var_counter) == (3, 1, 1)
    assert t.leaves[0].parent is t.root and t.root.children[0] is t.leaves[0]


def test_tree_with_an_atomic_premise():
    t = FormulaTree(B, premises=[A])
    assert [describe(p) for p in t.positions] == [
        (1, A, 1, "ATOM", "c0.V1", None, (), "V1"),
        (2, B, 0, "ATOM", "c0", None, (), None),
        (3, B, 0, "BETA", "c0", None, (1, 2), None),
    ]
    assert t.root is t.positions[-1] and [p.id for p in t.leaves] == [1, 2]
    assert order_of(t) == {"c0": ["V1"], "V1": []}


def test_tree_with_an_implication_premise_at_multiplicity_two():
    t = FormulaTree(B, premises=[imp(A, B)], multiplicity=2)
    assert [describe(p) for p in t.positions] == [
        (2, A, 0, "ATOM", "c0.V1", 1, (), None),
        (3, B, 1, "ATOM", "c0.V1.V2", 1, (), "V2"),
        (4, A, 0, "ATOM", "c0.V3", 1, (), None),
        (5, B, 1, "ATOM", "c0.V3.V4", 1, (), "V4"),
        (1, imp(A, B), 1, "PHI", "c0", None, (2, 3, 4, 5), None),
        (6, B, 0, "ATOM", "c0", None, (), None),
        (7, B, 0, "BETA", "c0", None, (1, 6), None),
    ]
    assert [p.id for p in t.leaves] == [2, 3, 4, 5, 6]
    assert order_of(t) == {"c0": ["V1", "V3"], "V1": ["V2"], "V2": [], "V3": ["V4"], "V4": []}
    assert list(order_of(t)) == ["c0", "V1", "V2", "V3", "V4"]


@pytest.mark.parametrize(
    "target, premises, multiplicity, expected",
    [
        (P, None, 1, [(1, P, 0, "ATOM", "c0", None, (), None)]),
        (B, [], 1, [(1, B, 0, "ATOM", "c0", None, (), None)]),
        (B, (), 0, [(1, B, 0, "ATOM", "c0", None, (), None)]),
        # falsum and verum at polarity 1 make no variable
        (P, [FALSUM], 1, [(1, FALSUM, 1, "ATOM", "c0", None, (), None), (2, P, 0, "ATOM", "c0", None, (), None),
                          (3, P, 0, "BETA", "c0", None, (1, 2), None)]),
        (P, [VERUM], -4, [(1, VERUM, 1, "ATOM", "c0", None, (), None), (2, P, 0, "ATOM", "c0", None, (), None),
                          (3, P, 0, "BETA", "c0", None, (1, 2), None)]),
    ],
)
def test_small_trees(target, premises, multiplicity, expected):
    t = FormulaTree(target, premises=premises, multiplicity=multiplicity)
    assert [describe(p) for p in t.positions] == expected
    assert t.multiplicity == 1 and t.root is t.positions[-1]
    assert t.leaves == [p for p in t.positions if p.is_leaf()]
    assert order_of(t) == {"c0": []}


def test_tree_normalises_its_formulas():
    t = FormulaTree(neg(P), premises=[Not(Q)])
    assert t.target == imp(P, FALSUM) and t.premises == (imp(Q, FALSUM),)
    assert t.target == normalize_formula(neg(P))


def test_internal_operations_continue_a_finished_tree():
    t = FormulaTree(imp(P, P))
    leaf = t._decompose(Not(P), polarity=1, prefix=pre("c0"), parent=t.root)
    assert describe(leaf) == (4, Not(P), 1, "ATOM", "c0", 1, (), None)
    assert t.positions[-1] is leaf and t.leaves[-1] is leaf
    inner = t._decompose(imp(Q, R), polarity=0, prefix=pre("c0.c1"), parent=None)
    assert describe(inner)[:5] == (5, imp(Q, R), 0, "PSI", "c0.c1.c2")
    assert order_of(t)["c1"] == ["V1", "c2"] and order_of(t)["c2"] == ["V2"]
    assert (t._counter, t._const_counter, t._var_counter) == (7, 2, 2)
    assert t._next_id() == 8 and t._next_variable().name == "V3" and t._next_constant().name == "c3"
    t._add_order_edge(PrefixVariable("X"), PrefixConstant("c9"))
    assert order_of(t)["X"] == ["c9"] and order_of(t)["c9"] == []
    t._counter = 100
    assert t._next_id() == 101


def test_tree_argument_errors():
    with pytest.raises(TypeError):
        FormulaTree(P, multiplicity="2")
    with pytest.raises(Exception):
        FormulaTree("P")
    with pytest.raises(TypeError):
        FormulaTree(P)._decompose(P, polarity=0, prefix="c0", parent=None)


def test_trees_are_reclaimed_with_their_cycles():
    t = FormulaTree(B, premises=[imp(A, imp(B, A))], multiplicity=2)
    watch = [weakref.ref(p) for p in t.positions]
    del t
    gc.collect()
    assert all(w() is None for w in watch)


def test_deep_formula_gives_a_result_or_recursion_error():
    f = P
    for _ in range(200000):
        f = imp(P, f)
    try:
        t = FormulaTree(f)
    except RecursionError:
        return
    assert len(t.leaves) == 200001


@pytest.mark.parametrize(
    "target, premises, multiplicity",
    [
        (shared(100, P), [], 1),  # 2**100 leaves as a tree
        (shared(100, P, imp), [], 1),
        (P, [imp(P, Q)], 2**62),  # the premise's implication copied 2**62 times
        (P, [imp(P, imp(P, imp(P, Q)))], 200),  # copies of copies: 200**3 leaves
    ],
)
def test_a_tree_beyond_the_position_limit_is_refused_before_it_is_built(target, premises, multiplicity):
    with pytest.raises(ValueError, match="positions"):
        FormulaTree(target, premises=premises, multiplicity=multiplicity)
    t = FormulaTree(P)
    with pytest.raises(ValueError, match="positions"):
        t._decompose(shared(100, P), polarity=0, prefix=pre("c0"), parent=None)


def test_a_tree_below_the_position_limit_is_built():
    t = FormulaTree(shared(12, P))  # 4096 leaves
    assert len(t.leaves) == 4096 and len(t.positions) == 8191


def test_objects_made_by_new_alone_do_not_crash():
    status, output = probe_half_built("constructive.matrix")
    assert status == 0 and "survived" in output, output


# ---------------------------------------------------------------------------
# Paths
# ---------------------------------------------------------------------------
def texts(paths):
    return [[p.to_string() for p in path] for path in paths]


@pytest.mark.parametrize(
    "target, premises, multiplicity, expected",
    [
        (P, None, 1, [["P^0:c0"]]),
        (imp(P, P), None, 1, [["P^1:c0.c1.V1", "P^0:c0.c1"]]),
        (conj(P, Q), None, 1, [["P^0:c0"], ["Q^0:c0"]]),
        (disj(P, Q), None, 1, [["P^0:c0", "Q^0:c0"]]),
        (R, [disj(P, Q)], 1, [["P^1:c0.V1", "R^0:c0"], ["Q^1:c0.V2", "R^0:c0"]]),
        (R, [imp(P, Q)], 2, [
            ["P^0:c0.V1", "P^0:c0.V3", "R^0:c0"],
            ["P^0:c0.V1", "Q^1:c0.V3.V4", "R^0:c0"],
            ["Q^1:c0.V1.V2", "P^0:c0.V3", "R^0:c0"],
            ["Q^1:c0.V1.V2", "Q^1:c0.V3.V4", "R^0:c0"],
        ]),
    ],
)
def test_paths_of_small_trees(target, premises, multiplicity, expected):
    t = FormulaTree(target, premises=premises, multiplicity=multiplicity)
    paths = t.get_paths()
    assert texts(paths) == expected
    assert all(p in t.leaves for path in paths for p in path)
    again = t.get_paths()
    assert again == paths and again is not paths and again[0] is not paths[0]


def reference_paths(f, polarity, m):
    """The paths of a normalised formula as lists of (atom, polarity),
    computed from the formula itself."""
    def product(parts):
        out = [[]]
        for part in parts:
            out = [x + y for x in out for y in part]
        return out

    if isinstance(f, And):
        sides = [reference_paths(f.left, polarity, m), reference_paths(f.right, polarity, m)]
        return sides[0] + sides[1] if polarity == 0 else product(sides)
    if isinstance(f, Or):
        sides = [reference_paths(f.left, polarity, m), reference_paths(f.right, polarity, m)]
        return product(sides) if polarity == 0 else sides[0] + sides[1]
    if isinstance(f, Implies):
        if polarity == 0:
            return product([reference_paths(f.left, 1, m), reference_paths(f.right, 0, m)])
        copy = reference_paths(f.left, 0, m) + reference_paths(f.right, 1, m)
        return product([copy] * m)
    return [[(f, polarity)]]


def closed_form(f, polarity, m):
    if isinstance(f, (And, Or)):
        split = isinstance(f, And) == (polarity == 0)
        a, b = closed_form(f.left, polarity, m), closed_form(f.right, polarity, m)
        return a + b if split else a * b
    if isinstance(f, Implies):
        if polarity == 0:
            return closed_form(f.left, 1, m) * closed_form(f.right, 0, m)
        return (closed_form(f.left, 0, m) + closed_form(f.right, 1, m)) ** m
    return 1


FORMULAS = [
    imp(imp(imp(P, Q), P), P),
    neg(neg(disj(P, neg(P)))),
    imp(conj(imp(P, Q), imp(Q, R)), imp(P, R)),
    disj(imp(P, Q), imp(Q, P)),
    imp(imp(imp(P, Q), Q), disj(P, Q)),
    conj(disj(P, imp(Q, R)), imp(disj(Q, R), conj(P, neg(R)))),
    imp(imp(conj(P, Q), disj(R, P)), imp(neg(Q), imp(P, disj(Q, R)))),
]


@pytest.mark.parametrize("multiplicity", [1, 2, 3])
@pytest.mark.parametrize("index", range(len(FORMULAS)))
def test_paths_match_the_closed_form_and_the_reference_order(index, multiplicity):
    f = FORMULAS[index]
    premise = imp(disj(P, R), Q)
    t = FormulaTree(f, premises=[premise], multiplicity=multiplicity)
    paths = t.get_paths()
    n = normalize_formula(f)
    npremise = normalize_formula(premise)
    assert len(paths) == closed_form(npremise, 1, multiplicity) * closed_form(n, 0, multiplicity)
    expected = [x + y for x in reference_paths(npremise, 1, multiplicity) for y in reference_paths(n, 0, multiplicity)]
    assert [[(p.formula, p.polarity) for p in path] for path in paths] == expected


def test_paths_of_random_trees_match_the_reference():
    rng = random.Random(3)
    names = [P, Q, R]

    def build(d):
        if d == 0 or rng.random() < 0.3:
            return rng.choice(names)
        return rng.choice([conj, disj, imp])(build(d - 1), build(d - 1))

    for _ in range(60):
        f, m = build(4), rng.choice([1, 2, 3])
        if closed_form(f, 0, m) > 5000:
            continue
        t = FormulaTree(f, multiplicity=m)
        assert [[(p.formula, p.polarity) for p in path] for path in t.get_paths()] == reference_paths(f, 0, m)


@pytest.mark.parametrize("kind", ["ALPHA", "BETA", "PSI", "PHI"])
def test_inner_position_without_children_gives_one_empty_path(kind):
    t = FormulaTree(P)
    t.root = Position(1, P, 0, PositionType(kind), pre("c0"))
    assert t.get_paths() == [[]]


def test_paths_follow_the_python_positions():
    t = FormulaTree(P)
    a, b, c = (Position(i, atom(n), 0, PositionType.ATOM, pre("c0")) for i, n in [(2, "a"), (3, "b"), (4, "c")])
    t.root = Position(1, P, 1, PositionType.PHI, pre("c0"), children=(a, b, c))
    assert t.get_paths() == [[a], [b]]  # the unpaired third child is ignored
    t.root = Position(1, P, 1, "BETA", pre("c0"), children=[a, Position(5, P, 0, "ALPHA", pre("c0"), children=(b, c))])
    assert t.get_paths() == [[a, b], [a, c]]
    t.root = Position(1, P, 1, "OTHER", pre("c0"), children=(a,))
    assert t.get_paths() == [[]]
    t.root = "not a position"
    with pytest.raises(TypeError):
        t.get_paths()


def test_too_many_paths_are_refused_before_they_are_built():
    # a disjunction of 24 conjunctions as a goal: 2**24 paths
    items = [conj(atom(f"p{i}"), atom(f"q{i}")) for i in range(24)]
    f = items[0]
    for item in items[1:]:
        f = disj(f, item)
    t = FormulaTree(f)
    with pytest.raises(ValueError, match="too many paths"):
        t.get_paths()
    assert len(FormulaTree(items[0]).get_paths()) == 2


def test_a_multiplicity_of_any_size_for_a_tree_without_copies():
    p = PredicateApp("p", 0, ())
    assert FormulaTree(target=p, multiplicity=2**63).multiplicity == 2**63
    assert FormulaTree(target=And(p, p), multiplicity=2**70).multiplicity == 2**70
    with pytest.raises(ValueError, match="positions"):
        FormulaTree(target=Implies(Implies(p, p), p), multiplicity=2**63)
