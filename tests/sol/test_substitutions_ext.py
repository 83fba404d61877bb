"""Higher-order pattern unification and predicate substitution (sol.substitutions_ext)."""

import pytest

from core.ast import (And, Constant, canonicalize_bound_variables, Equality, Exists, Forall, FunctionApp, Implies, Not, Or, PredicateApp,
                      Variable)
from core.exceptions import SortMismatchError
from core.sorts import Nat
from sol.ast_ext import ExistsPred, ForallPred, PredicateVariable
from sol.substitutions_ext import ho_pattern_unify, substitute_predicate

x, y, u, v, w = (Variable(id=i) for i in range(5))
a, b = Constant(name="a"), Constant(name="b")
P = PredicateVariable(0, 1, "P")
P2 = PredicateVariable(1, 2, "P2")


def app(pred, *args):
    return PredicateApp(pred=pred, arity=len(args), args=tuple(args))


def f(t):
    return FunctionApp(func="f", arity=1, args=(t,))


# ---------------------------------------------------------------------------
# ho_pattern_unify
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("pattern, target, bound, expected", [
    # P applied to a bound variable takes the whole target as its body.
    (app(P, x), app("Q", x), {x}, ((x,), app("Q", x))),
    (app(P, x), And(app("Q", x), app("R", a, f(x))), {x}, ((x,), And(app("Q", x), app("R", a, f(x))))),
    # Binders pair off: the target's variable is renamed to the pattern's.
    (Forall(x, app(P, x)), Forall(y, app("Q", y)), None, ((x,), app("Q", x))),
    (Forall(x, Forall(y, app(P2, x, y))), Forall(u, Forall(v, app("R", v, u))), None, ((x, y), app("R", y, x))),
    # Free variables of the target are kept as they are.
    (Forall(x, app(P, x)), Forall(y, app("R", y, w)), None, ((x,), app("R", x, w))),
    # A nullary predicate variable stands for any closed-off formula.
    (Implies(app("S", a), PredicateApp(pred=PredicateVariable(2, 0, "C"), arity=0, args=())),
     Implies(app("S", a), Not(app("Q", b))), None, ((), Not(app("Q", b)))),
])
def test_pattern_solutions(pattern, target, bound, expected):
    result = ho_pattern_unify(pattern, target, bound_vars=bound) if bound else ho_pattern_unify(pattern, target)
    assert len(result) == 1
    ((_, value),) = result.items()
    assert value == expected
    # The solution really makes the pattern the target, up to the names of bound variables.
    instance = substitute_predicate(pattern, result)
    assert canonicalize_bound_variables(instance) == canonicalize_bound_variables(target)


@pytest.mark.parametrize("pattern, target", [
    # The body would mention a bound variable of the target that is no parameter.
    (Forall(x, Exists(y, app(P, x))), Forall(u, Exists(v, app("R", u, v)))),
    # Outside the pattern fragment: P applied to a constant, or to a repeated variable.
    (app(P, a), app("Q", a)),
    (Forall(x, app(P2, x, x)), Forall(u, app("R", u, u))),
    # Rigid parts differ.
    (And(app(P, x), app("S", x)), Or(app("Q", x), app("S", x))),
    (Forall(x, And(app(P, x), app("S", x))), Forall(u, And(app("Q", u), app("T", u)))),
    (Forall(x, app(P, x)), Exists(u, app("Q", u))),
    # Binders of different sorts do not pair.
    (Forall(x, app(P, x)), Forall(Variable(id=1, sort=Nat), app("Q", Variable(id=1, sort=Nat)))),
    # A predicate variable met twice must stand for one predicate.
    (Forall(x, And(app(P, x), app(P, x))), Forall(u, And(app("Q", u), app("R", u)))),
    # A pattern variable bound inside the pattern is rigid: it matches only its partner.
    (ForallPred(variable=P, body=app(P, a)), ForallPred(variable=P, body=app("Q", a))),
])
def test_no_match(pattern, target):
    assert ho_pattern_unify(pattern, target) is None


def test_repeated_variable_consistent_and_equalities():
    pattern = Forall(x, And(app(P, x), Implies(app(P, x), Equality(left=f(x), right=a))))
    target = Forall(u, And(Exists(w, app("R", u, w)), Implies(Exists(v, app("R", u, v)), Equality(left=f(u), right=a))))
    result = ho_pattern_unify(pattern, target)
    params, body = result[P]
    assert params == (x,) and body == Exists(w, app("R", x, w))


def test_no_predicate_variable_gives_empty_mapping():
    assert ho_pattern_unify(app("Q", a), app("Q", a)) == {}
    assert ho_pattern_unify(app("Q", a), app("Q", b)) is None
    # Second-order binders pair off like first-order ones.
    assert ho_pattern_unify(ExistsPred(variable=P, body=app(P, a)),
                            ExistsPred(variable=PredicateVariable(5, 1, "P5"),
                                       body=app(PredicateVariable(5, 1, "P5"), a))) == {}


def test_parameter_clashing_with_a_free_target_variable_is_fresh():
    # The target uses x freely while binding y: the parameter cannot be x.
    result = ho_pattern_unify(Forall(x, app(P, x)), Forall(y, app("R", y, x)))
    (param,), body = result[P]
    assert param != x and param != y
    assert body == app("R", param, x)
    assert substitute_predicate(app(P, a), result) == app("R", a, x)


@pytest.mark.parametrize("call", [
    lambda: ho_pattern_unify("P", app("Q", a)),
    lambda: ho_pattern_unify(app(P, x), a),
    lambda: ho_pattern_unify(app(P, x), app("Q", x), bound_vars=[a]),
    lambda: substitute_predicate(a, {P: ((x,), app("Q", x))}),
    lambda: substitute_predicate(app(P, a), [(P, ((x,), app("Q", x)))]),
    lambda: substitute_predicate(app(P, a), {"P": ((x,), app("Q", x))}),
    lambda: substitute_predicate(app(P, a), {P: app("Q", x)}),
    lambda: substitute_predicate(app(P, a), {P: ((a,), app("Q", x))}),
    lambda: substitute_predicate(app(P, a), {P: ((x,), x)}),
])
def test_argument_types_refused(call):
    with pytest.raises(TypeError):
        call()


# ---------------------------------------------------------------------------
# substitute_predicate
# ---------------------------------------------------------------------------

def test_instance_puts_arguments_in_for_parameters():
    formula = Implies(app(P, a), Forall(x, app(P, f(x))))
    result = substitute_predicate(formula, {P: ((y,), Or(app("Q", y), app("S", b)))})
    assert result == Implies(Or(app("Q", a), app("S", b)), Forall(x, Or(app("Q", f(x)), app("S", b))))


def test_quantifier_that_would_capture_is_renamed():
    # P's body mentions y freely; the quantifier over y around P(x) must not catch it.
    result = substitute_predicate(Forall(y, app(P, y)), {P: ((x,), app("R", x, y))})
    assert isinstance(result, Forall)
    z = result.variable
    assert z != y and z.sort == y.sort
    assert result.body == app("R", z, y)
    # A quantifier that cannot catch anything stays as it is.
    kept = substitute_predicate(Forall(y, app(P, y)), {P: ((x,), app("Q", x))})
    assert kept == Forall(y, app("Q", y))


def test_inner_second_order_binder_hides_the_variable():
    inner = ForallPred(variable=P, body=app(P, a))
    formula = And(app(P, b), inner)
    result = substitute_predicate(formula, {P: ((x,), app("Q", x))})
    assert result == And(app("Q", b), inner)


def test_shared_subformulas_are_instantiated_alike_in_each_scope():
    # One node outside and under a binder that hides P, below a quantifier that must be renamed.
    part = And(app(P, y), Forall(y, app(P, y)))
    result = substitute_predicate(And(part, ForallPred(variable=P, body=part)), {P: ((x,), app("R", x, y))})
    inside = result.left
    z = inside.right.variable
    assert inside.left == app("R", y, y) and z != y and inside.right.body == app("R", z, y)
    assert result.right == ForallPred(variable=P, body=part)


def test_a_heavily_shared_formula_is_instantiated_node_by_distinct_node():
    def shared(base):
        for _ in range(100):
            base = And(base, base)  # 2**100 copies of base as a tree
        return base

    result = substitute_predicate(shared(app(P, a)), {P: ((x,), app("Q", x))})
    assert result == shared(app("Q", a))


def test_arity_and_sort_errors():
    with pytest.raises(ValueError, match="applied to 2"):
        substitute_predicate(app(P, a, b), {P: ((x,), app("Q", x))})
    n = Variable(id=7, sort=Nat)
    with pytest.raises(SortMismatchError):
        substitute_predicate(app(P, a), {P: ((n,), app("Q", n))})
    with pytest.raises(ValueError, match="distinct"):
        substitute_predicate(app(P, a), {P: ((x, x), app("Q", x))})


def test_empty_mapping_returns_the_formula_itself():
    formula = app(P, a)
    assert substitute_predicate(formula, {}) is formula
