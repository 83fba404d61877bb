import pytest

from constructive.common import (FALSUM, VERUM, _formula_weight, _is_atomic, _is_falsum, _is_verum,
                                 normalize_formula)
from core.ast import And, Forall, Iff, Implies, Not, Or, Variable
from core.parser import to_string
from helpers import atom, p, q


def test_constants_and_recognisers():
    assert _is_falsum(FALSUM) and not _is_falsum(VERUM) and not _is_falsum(p)
    assert _is_verum(VERUM) and not _is_verum(FALSUM)
    assert _is_atomic(p) and _is_atomic(atom("P", Variable(0)))
    assert not any(_is_atomic(f) for f in (Not(p), And(p, q), Or(p, q), Implies(p, q), Iff(p, q)))
    assert not _is_falsum("not a formula")
    assert len({FALSUM, VERUM, FALSUM}) == 2


T, F = VERUM, FALSUM

NORMALISATION = [
    (Not(p), Implies(p, F)),
    (Iff(p, q), And(Implies(p, q), Implies(q, p))),
    (Not(Not(p)), Implies(Implies(p, F), F)),
    (Implies(T, p), p),
    (Implies(p, T), T),
    (And(p, T), p),
    (And(T, q), q),
    (Or(p, T), T),
    (Or(T, q), T),
    (Not(T), F),
    (Implies(And(T, p), Or(q, Not(T))), Implies(p, Or(q, F))),
    (Iff(p, T), p),
    (T, T),
    (Forall(Variable(0), Not(p)), Forall(Variable(0), Implies(p, F))),
]


@pytest.mark.parametrize("formula, expected", NORMALISATION)
def test_normalize_formula(formula, expected):
    assert normalize_formula(formula) == expected, to_string(normalize_formula(formula))


def test_normalize_leaves_unchanged_formulas_alone():
    f = Implies(And(p, q), Or(p, q))
    assert normalize_formula(f) is f


def test_formula_weight():
    assert _formula_weight(p) == 1
    assert _formula_weight(Implies(p, And(p, q))) == 5
    assert _formula_weight(Iff(p, q)) == 5


def test_normalizing_a_shared_tree_keeps_it_shared():
    from core.ast import formula_size
    from helpers import shared

    f = shared(80, Not(p))
    g = normalize_formula(f)
    assert formula_size(g) == 2**80 * 3 + 2**80 - 1  # each ~p became (p => _bot)
    assert g.left is g.right and g.left.left is g.left.right
    assert normalize_formula(shared(80)) == shared(80)
