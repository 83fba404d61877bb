import dataclasses
import types

import pytest

from core.ast import (And, Constant, Equality, Exists, Forall, Formula, FunctionApp, Iff, Implies, Not, Or,
                      PredicateApp, Term, Variable, VariableKind, bound_variables, canonicalize_bound_variables,
                      formula_depth, formula_size, free_variables)
from core.exceptions import InvalidFormulaError
from core.sorts import Ind, PrimitiveSort
from helpers import atom, deep_negation, interrupt_in_child, shared
import sol.ast_ext as so

S = PrimitiveSort("S")
x, y, z = Variable(0), Variable(1), Variable(2)
P = atom("P")
Q = atom("Q")


# ---------------------------------------------------------------------------
# Construction and validation
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("build, message", [
    (lambda: Variable(-1), "Variable ID must be non-negative, got -1."),
    (lambda: Constant(""), "Constant name cannot be empty."),
    (lambda: FunctionApp("", -1, ()), "Function name cannot be empty."),
    (lambda: FunctionApp("f", -1, ()), "Function arity must be non-negative, got -1."),
    (lambda: FunctionApp("f", 2, (x,)), "FunctionApp 'f' expected arity 2, got 1 arguments."),
    (lambda: FunctionApp(3, 0, ()), "Function symbol must be str or FunctionVariable, got <class 'int'>."),
    (lambda: FunctionApp(types.SimpleNamespace(index=1), 0, ()),
     "Function symbol must be str or FunctionVariable, got <class 'types.SimpleNamespace'>."),
    (lambda: PredicateApp("", 0, ()), "Predicate name cannot be empty."),
    (lambda: PredicateApp("P", -2, ()), "Predicate arity must be non-negative, got -2."),
    (lambda: PredicateApp("P", 0, (x,)), "PredicateApp 'P' expected arity 0, got 1 arguments."),
    (lambda: PredicateApp(1.5, 0, ()), "Predicate symbol must be str or PredicateVariable, got <class 'float'>."),
    (lambda: PredicateApp("P", 1, (3,)), "Unsupported AST node type: <class 'int'>"),
    (lambda: Equality(x, "a"), "Unsupported AST node type: <class 'str'>"),
])
def test_constructor_errors(build, message):
    with pytest.raises(InvalidFormulaError) as info:
        build()
    assert str(info.value) == message


@pytest.mark.parametrize("build", [
    lambda: PredicateApp("P", 1, [x]),          # a list is unhashable
    lambda: Not(x),                               # a term is no formula
    lambda: And(P, 3),
    lambda: Forall(Constant("c"), P),             # the bound variable must be a Variable
    lambda: Variable(1, "INDIVIDUAL"),            # a kind must be a VariableKind
    lambda: Variable(1, sort="Ind"),
    lambda: Constant(5),
])
def test_constructor_type_errors(build):
    with pytest.raises(TypeError):
        build()


def test_valid_edge_constructions():
    assert Variable(0).id == 0
    assert Constant(" ").name == " "
    assert FunctionApp("c", 0, ()).args == ()
    assert PredicateApp("P", 0, ())._free_vars == frozenset()
    assert Forall(Variable(4, VariableKind.PREDICATE), P).variable.kind is VariableKind.PREDICATE
    # a symbol object with index and arity is accepted whatever its own arity
    sym = types.SimpleNamespace(index=3, arity=7, name="G")
    assert FunctionApp(sym, 1, (x,)).arity == 1
    # formulas as arguments and as sides of an equality
    assert PredicateApp("P", 1, (Q,)).args == (Q,)
    assert Equality(P, Q).left == P


def test_symbol_variables_show_their_string_conversion_in_messages():
    g = so.FunctionVariable(0, 1, "g")
    with pytest.raises(InvalidFormulaError) as info:
        FunctionApp(g, 2, (x,))
    assert str(info.value) == "FunctionApp 'g' expected arity 2, got 1 arguments."

    class Sym:
        index, arity, name = 1, 0, "Z"

        def __str__(self):
            return "Sym#1"
    with pytest.raises(InvalidFormulaError) as info:
        PredicateApp(Sym(), 1, ())
    assert str(info.value) == "PredicateApp 'Sym#1' expected arity 1, got 0 arguments."
    assert PredicateApp(Sym(), 0, ()).pred.name == "Z"


def test_ids_and_arities_beyond_64_bits_are_refused_clearly():
    with pytest.raises(OverflowError):
        Variable(2 ** 70)
    with pytest.raises(OverflowError):
        PredicateApp("P", 2 ** 64, ())


def test_function_app_sort_follows_return_sort():
    f = FunctionApp("f", 1, (x,), S, sort=Ind)
    assert f.sort == S and f.return_sort == S


def test_variable_kind_enum():
    assert [m.name for m in VariableKind] == ["INDIVIDUAL", "PREDICATE", "FUNCTION"]
    assert VariableKind.INDIVIDUAL.value == "INDIVIDUAL"
    assert VariableKind.INDIVIDUAL != "INDIVIDUAL"
    assert VariableKind.__doc__ == "Distinguishes variable usage in logic expressions."


def test_bases():
    assert isinstance(x, Term) and not isinstance(x, Formula)
    assert isinstance(And(P, Q), Formula) and not isinstance(P, Term)


# ---------------------------------------------------------------------------
# Equality and hashing
# ---------------------------------------------------------------------------
EQUAL_PAIRS = [
    (Variable(3), Variable(id=3, sort=Ind)),
    (Constant("a"), Constant(name="a")),
    (And(P, Q), And(left=P, right=Q)),
    (FunctionApp("f", 1, (x,)), FunctionApp(func="f", arity=1, args=(x,), return_sort=Ind)),
    (Forall(x, atom("P", x)), Forall(variable=x, body=atom("P", x))),
]

UNEQUAL_PAIRS = [
    (Variable(3), Variable(3, sort=S)),
    (Variable(3), Variable(3, VariableKind.PREDICATE)),
    (Variable(3), Constant("v3")),
    (And(P, Q), Or(P, Q)),
    (And(P, Q), And(Q, P)),
    (Forall(x, P), Exists(x, P)),
    (Forall(x, atom("P", x)), Forall(y, atom("P", y))),
    (FunctionApp("f", 0, ()), PredicateApp("f", 0, ())),
    (Constant("a"), Constant("a", sort=S)),
    (P, "P"),
]


@pytest.mark.parametrize("a, b", EQUAL_PAIRS)
def test_equal_nodes_hash_alike_and_deduplicate(a, b):
    assert a == b and not (a != b)
    assert hash(a) == hash(b)
    assert len({a, b}) == 1


@pytest.mark.parametrize("a, b", UNEQUAL_PAIRS)
def test_unequal_nodes(a, b):
    assert a != b and b != a


def test_hash_agrees_with_field_tuples():
    fx = FunctionApp("f", 1, (x,), S)
    assert hash(Variable(3)) == hash((Ind, 3, VariableKind.INDIVIDUAL))
    assert hash(Constant("a", sort=S)) == hash((S, "a"))
    assert hash(fx) == hash((FunctionApp, "f", 1, (x,), S))
    assert hash(atom("P", x)) == hash((PredicateApp, "P", 1, (x,)))
    assert hash(Equality(x, y)) == hash((Equality, x, y))
    assert hash(Not(P)) == hash((Not, P))
    for cls in (And, Or, Implies, Iff):
        assert hash(cls(P, Q)) == hash((cls, P, Q))
    for cls in (Forall, Exists):
        assert hash(cls(x, P)) == hash((cls, x, P))
    assert And(P, Q)._hash_cache == hash(And(P, Q))


@pytest.mark.parametrize("node, field, value", [
    (And(P, Q), "left", Q),
    (Variable(1), "id", 2),
    (Not(P), "operand", Q),
    (atom("P", x), "_hash_cache", 0),
    (Constant("a"), "extra", 1),
])
def test_fields_are_frozen(node, field, value):
    before = hash(node)
    with pytest.raises(dataclasses.FrozenInstanceError):
        setattr(node, field, value)
    with pytest.raises(AttributeError):
        delattr(node, field)
    assert hash(node) == before


# ---------------------------------------------------------------------------
# Text form
# ---------------------------------------------------------------------------
def test_text_form():
    v = "Variable(sort=PrimitiveSort(name='Ind'), id=3, kind=<VariableKind.INDIVIDUAL: 'INDIVIDUAL'>)"
    assert repr(Variable(3)) == v
    a, b = atom("A"), atom("B")
    assert repr(Not(And(a, b))) == f"Not(operand=And(left={a!r}, right={b!r}))"
    assert repr(a) == "PredicateApp(pred='A', arity=0, args=())"
    assert repr(atom("P", Variable(3))) == f"PredicateApp(pred='P', arity=1, args=({v},))"
    assert str(Constant("it's")) == "Constant(sort=PrimitiveSort(name='Ind'), name=\"it's\")"


# ---------------------------------------------------------------------------
# Variable sets and measures
# ---------------------------------------------------------------------------
def test_free_and_bound_variables():
    pxy = atom("P", x, y)
    assert free_variables(Forall(x, pxy)) == {y}
    assert bound_variables(Forall(x, pxy)) == {x}
    assert free_variables(Forall(x, Forall(x, atom("P", x)))) == set()
    assert bound_variables(Forall(x, Forall(x, atom("P", x)))) == {x}
    other_sort_x = Variable(0, sort=S)
    assert free_variables(Forall(x, atom("P", other_sort_x))) == {other_sort_x}
    g = FunctionApp("g", 2, (x, FunctionApp("f", 2, (y, x))))
    assert g._free_vars == frozenset({x, y})
    assert free_variables(Equality(x, Constant("a"))) == {x}
    assert free_variables(Constant("a")) == set() and bound_variables(g) == set()


def test_free_variables_returns_a_fresh_set():
    node = atom("P", x)
    first = free_variables(node)
    first.add(y)
    assert free_variables(node) == {x} and node._free_vars == frozenset({x})


SO_BODY = atom("P", x)


@pytest.mark.parametrize("formula, size, depth", [
    (atom("P", x, FunctionApp("f", 1, (y,))), 4, 1),
    (Forall(x, atom("P", x)), 4, 2),
    (And(atom("P", x), Not(Q)), 5, 3),
    (Forall(x, And(atom("P", x), Not(Q))), 7, 4),
    (PredicateApp("P", 0, ()), 1, 1),
    (Equality(x, FunctionApp("f", 1, (y,))), 4, 1),
])
def test_measures(formula, size, depth):
    assert formula_size(formula) == size
    assert formula_depth(formula) == depth


def test_measures_of_second_order_quantifiers():
    X = so.PredicateVariable(0, 1)
    f = so.ForallPred(variable=X, body=SO_BODY)
    assert formula_size(f) == 3 and formula_depth(f) == 2
    assert free_variables(f) == {x} and bound_variables(f) == set()

    class ExistsFunc:  # recognised by its class name alone
        body = SO_BODY
    assert formula_size(ExistsFunc()) == 3
    assert free_variables(ExistsFunc()) == {x}


@pytest.mark.parametrize("fn, arg, message", [
    (formula_depth, x, "Expected Formula, got <class 'core.ast.Variable'>"),
    (formula_size, Constant("a"), "Expected Formula, got <class 'core.ast.Constant'>"),
    (formula_size, PredicateApp("P", 1, (Q,)), "Expected Term, got <class 'core.ast.PredicateApp'>"),
    (free_variables, 3, "Unsupported AST node type: <class 'int'>"),
    (bound_variables, "P", "Unsupported AST node type: <class 'str'>"),
    (formula_depth, None, "Expected Formula, got <class 'NoneType'>"),
])
def test_measure_errors(fn, arg, message):
    with pytest.raises(InvalidFormulaError) as info:
        fn(arg)
    assert str(info.value) == message


def test_depth_accepts_formula_arguments():
    assert formula_depth(PredicateApp("P", 1, (Q,))) == 1


# ---------------------------------------------------------------------------
# Canonical renaming
# ---------------------------------------------------------------------------
def v(i, **kw):
    return Variable(i, **kw)


def P1(t):
    return atom("P", t)


def Q1(t):
    return atom("Q", t)


CANONICAL_CASES = [
    (Forall(v(7), P1(v(7))), Forall(v(0), P1(v(0)))),
    (Forall(v(5), atom("P", v(5), v(0))), Forall(v(1), atom("P", v(1), v(0)))),
    (And(Forall(v(4), P1(v(4))), Forall(v(4), Q1(v(4)))), And(Forall(v(0), P1(v(0))), Forall(v(1), Q1(v(1))))),
    (Forall(v(4), Exists(v(9), atom("R", v(4), v(9)))), Forall(v(0), Exists(v(1), atom("R", v(0), v(1))))),
    (Forall(v(4), And(P1(v(4)), Forall(v(4), Q1(v(4))))), Forall(v(0), And(P1(v(0)), Forall(v(1), Q1(v(1)))))),
    (And(P1(v(3)), Forall(v(3), Q1(v(3)))), And(P1(v(3)), Forall(v(0), Q1(v(0))))),
    (Forall(v(9), P1(v(5))), Forall(v(0), P1(v(5)))),
    (Forall(v(0), P1(v(0, sort=S))), Forall(v(1), P1(v(0, sort=S)))),
]


@pytest.mark.parametrize("formula, expected", CANONICAL_CASES)
def test_canonical_renaming(formula, expected):
    result = canonicalize_bound_variables(formula)
    assert result == expected
    assert canonicalize_bound_variables(result) == result          # idempotent
    assert free_variables(result) == free_variables(formula)       # free variables kept


def test_canonical_renaming_keeps_kind_and_sort():
    bound = Variable(7, VariableKind.FUNCTION, sort=S)
    result = canonicalize_bound_variables(Forall(bound, P1(bound)))
    assert result.variable == Variable(0, VariableKind.FUNCTION, sort=S)


def test_canonical_renaming_is_invariant_under_renaming_bound_ids():
    a = Forall(v(3), Exists(v(8), atom("R", v(3), v(8), v(20))))
    b = Forall(v(11), Exists(v(2), atom("R", v(11), v(2), v(20))))
    assert a != b
    assert canonicalize_bound_variables(a) == canonicalize_bound_variables(b)


def test_canonical_renaming_reaches_formulas_inside_terms():
    # A quantifier inside an argument must be renamed with its occurrences,
    # otherwise a bound occurrence would turn free.
    inner = Forall(v(6), P1(v(6)))
    result = canonicalize_bound_variables(Forall(v(6), atom("R", v(6), inner)))
    assert free_variables(result) == set()
    assert result == Forall(v(0), atom("R", v(0), Forall(v(1), P1(v(1)))))


def test_canonical_renaming_without_quantifiers_shares_leaves():
    f = And(P1(x), Q1(Constant("c")))
    result = canonicalize_bound_variables(f)
    assert result == f and result.left.args[0] is not None


def test_canonical_renaming_of_second_order_quantifier():
    X = so.PredicateVariable(0, 1)
    f = so.ForallPred(variable=X, body=Forall(v(5), P1(v(5))))
    result = canonicalize_bound_variables(f)
    assert result.variable == X and result.body == Forall(v(0), P1(v(0)))


def test_canonical_renaming_refuses_terms():
    with pytest.raises(InvalidFormulaError) as info:
        canonicalize_bound_variables(x)
    assert str(info.value) == "Unsupported Formula node: <class 'core.ast.Variable'>"


# ---------------------------------------------------------------------------
# Deep trees
# ---------------------------------------------------------------------------
def test_deep_tree_is_built_compared_hashed_and_destroyed():
    a = deep_negation(100_000)
    b = deep_negation(100_000)
    assert a == b and hash(a) == hash(b)
    assert a != deep_negation(100_000, base=Q)
    for walk in (free_variables, bound_variables, formula_depth, formula_size,
                 canonicalize_bound_variables, repr):
        try:
            walk(a)
        except RecursionError:
            pass
    wide = P
    for _ in range(100_000):
        wide = And(wide, P)
    del a, b, wide


def test_moderately_deep_tree_is_walked():
    f = deep_negation(2_000)
    assert formula_depth(f) == 2_001 and formula_size(f) == 2_001


def test_deep_walk_in_a_thread_with_a_small_stack():
    import threading
    f = deep_negation(50_000)
    outcome = []

    def walk():
        try:
            formula_size(f)
            outcome.append("finished")
        except RecursionError:
            outcome.append("RecursionError")

    old = threading.stack_size(256 * 1024)
    try:
        t = threading.Thread(target=walk)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    assert outcome in (["finished"], ["RecursionError"])


@pytest.mark.parametrize("function, doc", [
    (free_variables, "Returns the set of free individual variables present in a term or formula AST node."),
    (bound_variables, "Returns the set of bound variables introduced by quantifiers in a formula AST node."),
    (formula_depth, "Computes the maximum height/depth of the formula AST.\n\nLeaf formula nodes (PredicateApp, "
                    "Equality) have depth 1."),
    (formula_size, "Computes the total number of AST nodes (both Formula and Term nodes) in a formula tree."),
])
def test_function_docstrings_are_their_own_texts(function, doc):
    assert function.__doc__ == doc


def test_canonical_renaming_docstring_starts_with_its_summary():
    assert canonicalize_bound_variables.__doc__.startswith(
        "Performs canonical alpha-conversion of bound variables in a formula.")


# ---------------------------------------------------------------------------
# Shared subterms: small in memory, huge as trees
# ---------------------------------------------------------------------------
P_OF_X = atom("P", x, FunctionApp("g", 1, (y,)))


@pytest.mark.parametrize("levels, base, base_size", [
    (40, P, 1), (100, P, 1), (70, P_OF_X, 4), (64, Forall(x, P_OF_X), 6),
    (80, Equality(FunctionApp("g", 1, (x,)), y), 4),
])
def test_measures_of_shared_trees_are_exact(levels, base, base_size):
    f = shared(levels, base)
    assert formula_size(f) == 2**levels * base_size + 2**levels - 1
    assert formula_depth(f) == levels + formula_depth(base)


def test_variable_sets_of_shared_trees():
    f = shared(90, Forall(x, P_OF_X))
    assert free_variables(f) == {y} and bound_variables(f) == {x}
    assert free_variables(shared(90, Or(P_OF_X, Q))) == {x, y}


def test_equality_of_shared_trees():
    f = shared(60)
    assert f == f and f == shared(60) and hash(f) == hash(shared(60))
    # the difference sits in the last leaf of the unfolded tree
    g = P
    for level in range(60):
        g = And(g, g if level < 59 else shared(59, Q))
    assert f != g and f != shared(60, Q) and shared(59) != f


def test_shared_measures_still_report_the_first_offending_node():
    bad = atom("P", Not(P))
    with pytest.raises(InvalidFormulaError, match="Expected Term, got <class 'core.ast.Not'>"):
        formula_size(shared(50, And(P, bad)))
    assert formula_depth(shared(50, bad)) == 51


def test_ctrl_c_stops_a_walk_as_large_as_the_shared_tree():
    answer, seconds, after, status = interrupt_in_child(
        "from helpers import shared\nfrom core.parser import to_string\nfrom core.ast import *\nf = shared(60)",
        "to_string(f)",
        "print(to_string(shared(2)))",
    )
    assert (answer, after, status) == ("interrupted", "((p & p) & (p & p))", 0) and seconds < 1.0, (answer, seconds)


def test_canonical_renaming_of_shared_trees():
    # quantifier-free shared parts are renamed once per environment and stay shared
    free = shared(60, atom("P", x, y))
    renamed = canonicalize_bound_variables(Forall(x, free))
    assert renamed.body.left is renamed.body.right and formula_size(renamed) == formula_size(Forall(x, free))
    assert free_variables(renamed) == {y} and renamed.variable == Variable(0)
    # a shared quantifier is numbered afresh at each occurrence
    q = Forall(z, atom("P", z))
    twice = canonicalize_bound_variables(And(q, q))
    assert (twice.left.variable.id, twice.right.variable.id) == (0, 1)


class NamedAtom(PredicateApp):
    def __init__(self, name):
        super().__init__(name, 0, ())


class Arrow(Implies):
    pass


class Marked(Variable):
    pass


def test_node_classes_can_be_subclassed_and_an_instance_counts_as_its_base():
    p, q = NamedAtom("p"), PredicateApp("q", 0, ())
    assert isinstance(p, PredicateApp) and isinstance(p, Formula) and p.pred == "p"
    # equality is of one class; hashing agrees with it
    assert p != PredicateApp("p", 0, ()) and p == NamedAtom("p") and hash(p) == hash(NamedAtom("p"))
    f = Arrow(p, Or(q, p))
    assert f.left is p and f != Implies(p, Or(q, p))
    x = Marked(3)
    assert free_variables(Forall(x, PredicateApp("P", 1, (x,)))) == set()
    assert free_variables(PredicateApp("P", 1, (x,))) == {x}
    assert formula_size(f) == formula_size(Implies(p, Or(q, p)))
    with pytest.raises(dataclasses.FrozenInstanceError):
        p.pred = "r"


def test_subclass_instances_pass_through_the_provers():
    from constructive.ljt import prove_ljt
    from constructive.resolution import prove_resolution
    from constructive.tableau import prove_tableau
    from prover.clausifier import to_cnf

    p = NamedAtom("p")
    f = Arrow(p, p)
    assert prove_tableau(f).is_valid and prove_ljt(f) is not None
    assert prove_resolution(f).is_valid and prove_resolution(f, method="translation").is_valid
    assert [len(c.literals) for c in to_cnf(Not(f))] == [1, 1]
