"""Tree walkers: dispatch, rebuilding, measures, free variables, light
substitution and text export."""

import sys

import pytest

from core.ast import (And, Constant, Equality, Exists, Forall, FunctionApp, Iff, Implies, Not, Or, PredicateApp,
                      Variable, VariableKind)
from core.exceptions import InvalidFormulaError
from core.sorts import PrimitiveSort
from core.visitors import (ASTTransformer, ASTVisitor, DepthVisitor, ExportVisitor, FreeVariableCollector,
                           SizeVisitor, SubstitutionTransformer)
from sol.ast_ext import (ExistsFunc, ExistsPred, ForallFunc, ForallPred, FunctionVariable, PredicateVariable)

from helpers import atom

x, y, z = Variable(0), Variable(1), Variable(2)
a, b = Constant("a"), Constant("b")
P, Q = atom("P"), atom("Q")
X = PredicateVariable(0, 1, name="X")
G = FunctionVariable(0, 1, name="g")


def fn(name, *args):
    return FunctionApp(func=name, arity=len(args), args=tuple(args))


def px(*args):
    return atom("P", *args)


# One formula per node class, each holding Q(x) at depth three or more, so
# that an override of visit_predicate_app must be reached under every parent.
def _under_every_parent():
    leaf = atom("Q", x)
    wrap = lambda f: And(P, f)  # noqa: E731  (the leaf sits below the parent under test)
    return {
        "Not": Not(Not(leaf)),
        "And": And(P, And(leaf, P)),
        "Or": wrap(Or(P, leaf)),
        "Implies": wrap(Implies(leaf, P)),
        "Iff": wrap(Iff(P, leaf)),
        "Forall": wrap(Forall(x, leaf)),
        "Exists": wrap(Exists(x, leaf)),
        "ForallPred": wrap(ForallPred(variable=X, body=leaf)),
        "ExistsPred": wrap(ExistsPred(variable=X, body=leaf)),
        "ForallFunc": wrap(ForallFunc(variable=G, body=leaf)),
        "ExistsFunc": wrap(ExistsFunc(variable=G, body=leaf)),
    }


UNDER_EVERY_PARENT = _under_every_parent()


# ---------------------------------------------------------------------------
# Rebuilding transformer
# ---------------------------------------------------------------------------

class ReplaceX(ASTTransformer):
    """Maps the variable x to the constant a."""

    def visit_variable(self, node):
        return a if node == x else node


ALL_CLASSES = [
    x, a, fn("f"), fn("f", x, a), P, px(x, fn("g", y)), Equality(x, a), Not(P), And(P, Q), Or(P, Q),
    Implies(P, Q), Iff(P, Q), Forall(x, px(x)), Exists(y, px(y)),
    ForallPred(variable=X, body=px(x)), ExistsPred(variable=X, body=P),
    ForallFunc(variable=G, body=Q), ExistsFunc(variable=G, body=px(fn("h", x))),
]


@pytest.mark.parametrize("node", ALL_CLASSES + list(UNDER_EVERY_PARENT.values()), ids=repr)
def test_plain_transformer_returns_the_same_object(node):
    assert ASTTransformer().visit(node) is node


def test_unchanged_subtrees_are_shared():
    right = Forall(y, atom("R", y, b))
    f = And(Not(px(x)), right)
    out = ReplaceX().visit(f)
    assert out == And(Not(px(a)), right)
    assert out.right is right
    assert out is not f and out.left is not f.left


def test_equal_but_new_child_rebuilds_every_parent():
    class Copy(ASTTransformer):
        def visit_constant(self, node):
            return Constant(node.name)

    f = Not(And(P, px(a)))
    out = Copy().visit(f)
    assert out == f and out is not f and out.operand.left is P


@pytest.mark.parametrize("name", sorted(UNDER_EVERY_PARENT))
def test_python_override_is_reached_under_every_parent(name):
    class Rename(ASTTransformer):
        def visit_predicate_app(self, node):
            if node.pred == "Q":
                return PredicateApp(pred="Hit", arity=node.arity, args=node.args)
            return super().visit_predicate_app(node)

    out = Rename().visit(UNDER_EVERY_PARENT[name])
    assert "Hit" in ExportVisitor().visit(out) and "Q" not in ExportVisitor().visit(out)


def test_renaming_variables_also_renames_binders_variable_first():
    order = []

    class Rename(ASTTransformer):
        def visit_variable(self, node):
            order.append(node.id)
            return Variable(node.id + 10)

    assert Rename().visit(Forall(x, px(y))) == Forall(Variable(10), px(Variable(11)))
    assert order == [0, 1]


@pytest.mark.parametrize("make", [Forall, Exists])
def test_binder_replaced_by_a_non_variable_fails_the_assertion(make):
    with pytest.raises(AssertionError) as err:
        ReplaceX().visit(make(x, px(x)))
    assert str(err.value) == ""


@pytest.mark.parametrize("build, bad", [
    (lambda f: Not(f), "term"),
    (lambda f: And(P, f), "term"),
    (lambda f: Implies(f, P), "term"),
    (lambda f: ForallPred(variable=X, body=f), "term"),
    (lambda t: Equality(t, a), "formula"),
])
def test_wrong_class_of_new_child_fails_the_assertion(build, bad):
    class Swap(ASTTransformer):
        def visit_predicate_app(self, node):
            return a if node.pred == "S" else node

        def visit_constant(self, node):
            return P if node.name == "s" else node

    child = atom("S") if bad == "term" else Constant("s")
    with pytest.raises(AssertionError):
        Swap().visit(build(child))


@pytest.mark.parametrize("build, message", [
    (lambda t: FunctionApp(func="f", arity=2, args=(t, a)), "FunctionApp 'f' expected arity 2, got 1 arguments."),
    (lambda t: PredicateApp(pred="R", arity=2, args=(a, t)), "PredicateApp 'R' expected arity 2, got 1 arguments."),
])
def test_formula_in_argument_place_fails_the_arity_check(build, message):
    class ToFormula(ASTTransformer):
        def visit_variable(self, node):
            return P

    with pytest.raises(InvalidFormulaError) as err:
        ToFormula().visit(build(x))
    assert str(err.value) == message


def test_formula_argument_comes_back_as_itself_until_it_changes():
    f = PredicateApp(pred="R", arity=1, args=(px(y),))
    assert ReplaceX().visit(f) is f
    with pytest.raises(InvalidFormulaError, match="expected arity 1, got 0 arguments"):
        ReplaceX().visit(PredicateApp(pred="R", arity=1, args=(px(x),)))


def test_unchanged_node_is_not_type_tested():
    odd = Equality(P, Q)  # sides are formulas: the tests would refuse them
    assert ReplaceX().visit(odd) is odd


def test_second_order_binder_is_carried_over():
    f = ForallPred(variable=X, body=px(x))
    out = ReplaceX().visit(f)
    assert out == ForallPred(variable=X, body=px(a)) and out.variable is f.variable


def test_children_are_visited_left_to_right_even_after_a_change():
    seen = []

    class Log(ASTTransformer):
        def visit_predicate_app(self, node):
            seen.append(node.pred)
            return atom(node.pred + "'")

    Log().visit(Implies(atom("L"), atom("R")))
    assert seen == ["L", "R"]


def test_override_returning_no_node_reaches_the_caller_at_the_root():
    class Text(ASTTransformer):
        def visit_variable(self, node):
            return "v"

    assert Text().visit(x) == "v"
    with pytest.raises(AssertionError):
        Text().visit(Equality(x, a))
    with pytest.raises(InvalidFormulaError):
        Text().visit(px(x))
