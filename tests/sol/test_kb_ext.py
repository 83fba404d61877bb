"""The induction schema stand-in (sol.kb_ext)."""

import pytest

from core.ast import And, Constant, Forall, FunctionApp, Implies, PredicateApp, Variable
from core.exceptions import SortMismatchError
from core.sorts import Nat
from sol.kb_ext import instantiate_induction

x, y = Variable(id=0), Variable(id=1)
zero = Constant(name="zero")


def succ(t):
    return FunctionApp(func="succ", arity=1, args=(t,))


def app(pred, *args):
    return PredicateApp(pred=pred, arity=len(args), args=tuple(args))


@pytest.mark.parametrize("body", [
    app("Q", x),
    # Other free variables stay; an inner quantifier keeps its own variable.
    Implies(app("R", x, y), Forall(y, app("R", y, x))),
])
def test_instance_shape(body):
    def at(t):
        from core.substitutions import substitute_formula
        return substitute_formula(body, {x: t})

    expected = Implies(And(at(zero), Forall(x, Implies(body, at(succ(x))))), Forall(x, body))
    assert instantiate_induction(body, x) == expected
    assert instantiate_induction(body=body, variable=x) == expected


def test_variable_of_another_sort_is_refused():
    n = Variable(id=3, sort=Nat)
    with pytest.raises(SortMismatchError):
        instantiate_induction(app("Q", n), n)


@pytest.mark.parametrize("body, variable", [("Q", x), (app("Q", x), zero), (x, x)])
def test_argument_types(body, variable):
    with pytest.raises(TypeError):
        instantiate_induction(body, variable)
