"""Copies, deep copies and pickles of the public values, and positional match.

Nodes and records come back equal to the original (and nodes hash alike);
the plain objects that compare by identity (the Kripke model, the proof trees
and the results that hold them) come back with the same contents.
"""
import copy
import pickle
import subprocess
import sys

import pytest

from config import SolverConfig
from constructive.kripke import KripkeModel, World
from constructive.ljt import LJTProofNode, LJTProofTree, Sequent, prove_ljt
from constructive.matrix import Connection, FormulaTree, PositionType
from constructive.prefix import Prefix, PrefixConstant, PrefixSubstitution, PrefixVariable
from constructive.resolution import (PrefixedClause, PrefixedLiteral, PrefixedResolutionProofResult,
                                     PrefixedResolutionStep, TranslationResolutionResult,
                                     prove_prefixed_resolution, prove_translation_resolution)
from constructive.tableau import SignedFormula, TableauNode, TableauProofResult, TableauProofTree, prove_tableau
from core.ast import (And, Constant, Equality, Exists, Forall, FunctionApp, Iff, Implies, Not, Or, PredicateApp,
                      Variable, VariableKind)
from core.sorts import FunctionSort, Nat, ParameterizedSort
from prover.clausifier import Clause, Literal
from prover.engine import TheoremProver
from prover.proof import ProofDAG, ProofStep
from prover.rules import SOLInstantiateRule
from sol.ast_ext import ExistsFunc, ExistsPred, ForallFunc, ForallPred, FunctionVariable, PredicateVariable
from helpers import deep_negation, p, q, shared

x = Variable(3, VariableKind.PREDICATE, sort=Nat)
c = Constant("c", sort=ParameterizedSort("List", (Nat,)))
fx = FunctionApp("f", 2, (x, c), FunctionSort((Nat,), Nat))
px = PredicateApp("P", 1, (fx,))
X = PredicateVariable(0, 1)
F = FunctionVariable(1, 1, name="g")
a = PrefixConstant("a1")
V = PrefixVariable("V1")
countermodel = prove_tableau(Or(p, Not(p))).countermodel

NODES = [
    x, c, fx, px, Equality(x, c), Not(px), And(p, q), Or(p, q), Implies(p, q), Iff(p, q), Forall(x, px),
    Exists(x, px),
    ForallPred(X, PredicateApp(X, 1, (x,))), ExistsPred(X, p),
    ForallFunc(F, PredicateApp("P", 1, (FunctionApp(F, 1, (x,)),))), ExistsFunc(F, q),
]

RECORDS = [
    Literal(px, False), Clause(frozenset({Literal(p), Literal(q, False)})),
    World(2, "w2"), SignedFormula("T", Implies(p, q), World(0, "w0")),
    Sequent((p, Implies(p, q)), q), LJTProofNode(Sequent((p,), p), "Ax"),
    a, V, Prefix((a, V)), PrefixSubstitution().bind(V, (a,)),
    PrefixedLiteral(Prefix((a,)), 1, p), PrefixedClause(frozenset({PrefixedLiteral(Prefix((a,)), 0, q)})),
    PrefixedResolutionStep(1, "Input", (), PrefixedClause(frozenset()), None, None),
    SolverConfig(prover_max_steps=7, prover_timeout_sec=2.5),
    ProofStep(Clause(frozenset()), "Axiom", ()), TheoremProver().prove(Implies(p, p)),
    TableauNode(4, SignedFormula("F", p, World(0, "w0")), "Target", World(0, "w0"), [TableauNode(5)], True, "x"),
    prove_prefixed_resolution(Implies(p, p)),
]

# Objects that compare by identity, compared through their renderings (a
# position compares its links by identity, so a copied one links to copies).
PLAIN = [
    (Connection(*FormulaTree(Implies(p, p)).leaves), lambda c: (str(c), c.positive.id, c.negative.id)),
    (countermodel, KripkeModel.to_dict),
    (prove_tableau(Implies(p, p)).tree, TableauProofTree.to_dict),
    (prove_tableau(Or(p, Not(p))), TableauProofResult.to_dict),
    (prove_ljt(Implies(And(p, q), q)), LJTProofTree.to_dict),
    (prove_translation_resolution(Implies(p, p)), TranslationResolutionResult.to_dict),
]

COPIES = [copy.copy, copy.deepcopy, lambda v: pickle.loads(pickle.dumps(v)),
          lambda v: pickle.loads(pickle.dumps(v, protocol=0))]
COPY_IDS = ["copy", "deepcopy", "pickle", "pickle-0"]


def rendering(value):
    """The repr, with the members of a set-valued record in a fixed order: a
    set lists its members in the order of its hash table, which for equal sets
    can differ with the order they were inserted in (under some hash seeds)."""
    literals = getattr(value, "literals", None)
    if isinstance(literals, frozenset):
        return type(value).__name__, sorted(map(repr, literals))
    return repr(value)


@pytest.mark.parametrize("make_copy", COPIES, ids=COPY_IDS)
@pytest.mark.parametrize("value", NODES + RECORDS, ids=lambda v: type(v).__name__)
def test_values_come_back_equal(value, make_copy):
    back = make_copy(value)
    assert type(back) is type(value) and back == value
    assert rendering(back) == rendering(value)
    if type(value).__hash__ is not None:
        assert hash(back) == hash(value)


@pytest.mark.parametrize("make_copy", COPIES, ids=COPY_IDS)
@pytest.mark.parametrize("value, contents", PLAIN, ids=lambda v: type(v).__name__)
def test_plain_objects_come_back_with_their_contents(value, contents, make_copy):
    back = make_copy(value)
    assert type(back) is type(value) and contents(back) == contents(value)
    assert str(back) == str(value)


def test_mutable_copies_are_independent():
    node = TableauNode(1, children=[TableauNode(2)])
    twin = copy.deepcopy(node)
    twin.children.append(TableauNode(3))
    assert len(node.children) == 1 and twin != node
    model = copy.deepcopy(countermodel)
    model.add_world(World(9, "w9"))
    assert World(9, "w9") not in countermodel.worlds


def test_linked_positions_round_trip():
    # every position names its parent and its children: the links come back linked
    tree = FormulaTree(Implies(And(p, q), p))
    positions = pickle.loads(pickle.dumps(tree.positions))
    for old, new in zip(tree.positions, positions):
        assert (new.id, new.formula, new.polarity, new.pos_type, new.prefix) == \
            (old.id, old.formula, old.polarity, old.pos_type, old.prefix)
        assert all(child.parent is new for child in new.children)
    assert positions[-1].pos_type == tree.root.pos_type and isinstance(positions[-1].pos_type, PositionType)


def test_sol_rule_round_trips_as_a_working_rule():
    rule = pickle.loads(pickle.dumps(SOLInstantiateRule()))
    assert type(rule) is SOLInstantiateRule and rule.name == "SOLInstantiate" and callable(rule.apply)


@pytest.mark.parametrize("formula", [deep_negation(100_000), shared(200), shared(60, connective=Or)],
                         ids=["nested 10^5", "shared 2^200", "shared or"])
def test_deep_and_shared_formulas_pickle(formula):
    data = pickle.dumps(formula)
    assert len(data) < 4_000_000
    back = pickle.loads(data)
    assert back == formula and hash(back) == hash(formula)
    assert copy.deepcopy(formula) is formula  # an immutable value is its own copy


def test_sharing_survives_a_pickle():
    back = pickle.loads(pickle.dumps(shared(3)))
    assert back.left is back.right and back.left.left is back.right.right


def test_a_pickle_loads_in_another_process():
    formula = Forall(x, Implies(px, ForallPred(X, PredicateApp(X, 1, (x,)))))
    code = ("import pickle, sys\nf = pickle.loads(sys.stdin.buffer.read())\n"
            "print(type(f).__name__, hash(f) == hash(pickle.loads(pickle.dumps(f))), repr(f) == sys.argv[1])")
    out = subprocess.run([sys.executable, "-c", code, repr(formula)], input=pickle.dumps(formula),
                         capture_output=True, check=True)
    assert out.stdout.split() == [b"Forall", b"True", b"True"]


def test_malformed_pickled_entries_raise():
    rebuild, (entries,) = Not(p).__reduce__()
    with pytest.raises(ValueError, match="not built before"):
        rebuild(((Not, (5,), {}, (0,)),))
    with pytest.raises(ValueError):
        rebuild(())
    assert rebuild(entries) == Not(p)


def describe(formula):
    match formula:
        case Implies(And(a, b), c) if a == c:
            return "and-elimination", b
        case Implies(a, b):
            return "implication", (a, b)
        case Not(Not(a)):
            return "double negation", a
        case Forall(Variable(i, VariableKind.INDIVIDUAL), PredicateApp(name, 1, (Variable(j),))) if i == j:
            return "universal", name
        case FunctionApp(func, arity, args, sort):
            return "application", (func, arity, len(args), sort)
        case Equality(left, right) | Iff(left, right) | And(left, right) | Or(left, right):
            return "pair", (left, right)
        case ForallPred(var, body) | ExistsFunc(var, body):
            return "second order", var
        case Constant(name):
            return "constant", name
    return "other", None


@pytest.mark.parametrize("formula, expected", [
    (Implies(And(p, q), p), ("and-elimination", q)),
    (Implies(p, q), ("implication", (p, q))),
    (Not(Not(q)), ("double negation", q)),
    (Forall(Variable(1), PredicateApp("P", 1, (Variable(1),))), ("universal", "P")),
    (fx, ("application", ("f", 2, 2, fx.return_sort))),
    (Equality(x, c), ("pair", (x, c))),
    (ForallPred(X, p), ("second order", X)),
    (c, ("constant", "c")),
    (Not(p), ("other", None)),
])
def test_positional_match(formula, expected):
    assert describe(formula) == expected


@pytest.mark.parametrize("record, pattern_fields", [
    (Literal(p, False), ("atom", "positive")),
    (World(1, "w1"), ("id", "name")),
    (Sequent((p,), q), ("antecedents", "succedent")),
])
def test_records_match_by_position(record, pattern_fields):
    match record:
        case Literal(atom, positive) | World(atom, positive) | Sequent(atom, positive):
            assert (atom, positive) == tuple(getattr(record, f) for f in pattern_fields)
        case _:
            pytest.fail("no match")
