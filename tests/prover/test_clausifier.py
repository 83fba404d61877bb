"""Clause normal form: literals, clauses, the seven steps and the pipeline."""

import itertools
import random

import pytest

from core.ast import (And, Constant, Equality, Exists, Forall, FunctionApp, Iff, Implies, Not, Or,
                      PredicateApp, Variable, VariableKind)
from core.exceptions import InvalidFormulaError
from core.signature import Signature, SymbolClashError
from core.sorts import Ind, Nat
from prover import clausifier as cl
from prover.clausifier import (Clause, Literal, distribute_cnf, drop_universals, eliminate_implications,
                               formula_to_clauses, negate_and_clausify, reset_skolem_counters, skolemize,
                               standardize_variables, to_cnf, to_nnf)
from sol.ast_ext import ForallPred, PredicateVariable


def A(name, *args):
    return PredicateApp(pred=name, arity=len(args), args=tuple(args))


P, Q, R, S = A("P"), A("Q"), A("R"), A("S")
x, y, z, w = Variable(0), Variable(1), Variable(2), Variable(3)
a, b = Constant("a"), Constant("b")


def cls(*lits):
    return Clause(frozenset(lits))


def pos(atom):
    return Literal(atom=atom, positive=True)


def neg(atom):
    return Literal(atom=atom, positive=False)


def klass(node):
    return str(type(node))


def sk(name, *args, sort=Ind):
    if not args:
        return Constant(name, sort=sort)
    return FunctionApp(func=name, arity=len(args), args=tuple(args), return_sort=sort)


@pytest.fixture(autouse=True)
def fresh_counters():
    reset_skolem_counters()
    yield
    reset_skolem_counters()


# ---------------------------------------------------------------------------
# Literal
# ---------------------------------------------------------------------------
class TestLiteral:
    def test_value_semantics(self):
        built_apart = Literal(A("P", Variable(0)), True)
        lit = Literal(atom=A("P", x))
        assert lit.positive is True
        assert lit == built_apart and hash(lit) == hash(built_apart)
        assert lit._hash_cache == hash(lit)
        assert lit != lit.negate() and lit.negate() != lit
        twice = lit.negate().negate()
        assert twice == lit and hash(twice) == hash(lit) and twice is not lit
        assert lit.negate().atom is lit.atom
        assert lit.__eq__(lit.atom) is NotImplemented and lit != (lit.atom, True)

    @pytest.mark.parametrize("field", ["atom", "positive", "_hash_cache", "_free_vars", "other"])
    def test_frozen(self, field):
        lit = pos(P)
        with pytest.raises(AttributeError):
            setattr(lit, field, None)
        assert lit == pos(P)

    def test_free_variables_are_a_fresh_set(self):
        lit = pos(A("R", x, FunctionApp(func="f", arity=1, args=(y,))))
        got = lit.free_variables()
        assert got == {x, y} and lit._free_vars == frozenset({x, y})
        got.clear()
        assert lit.free_variables() == {x, y}
        assert pos(A("R", a, b)).free_variables() == set()

    def test_substitute(self):
        lit = neg(A("P", x))
        assert lit.substitute({}) is lit
        moved = lit.substitute({y: a})  # y does not occur
        assert moved == lit and moved is not lit
        assert lit.substitute({x: a}) == neg(A("P", a))
        with pytest.raises(Exception) as err:
            lit.substitute({y: Constant("n", sort=Nat)})  # ill-sorted, though y does not occur
        assert type(err.value).__name__ == "SortMismatchError"

    def test_substitute_refuses_a_non_atom_result(self):
        with pytest.raises(AssertionError):
            Literal(x).substitute({x: a})

    @pytest.mark.parametrize(
        "lit, text",
        [
            (pos(P), str(P)),
            (neg(A("P", x)), "\u00ac" + str(A("P", x))),
            (pos(Equality(left=x, right=a)), str(x) + " = " + str(a)),
            (neg(Equality(left=x, right=a)), str(x) + " \u2260 " + str(a)),
        ],
    )
    def test_text(self, lit, text):
        assert lit.to_string() == text and str(lit) == text
        assert repr(lit) == f"Literal(atom={lit.atom!r}, positive={lit.positive!r})"

    @pytest.mark.parametrize("atom, error", [([1], TypeError), (42, Exception)])
    def test_construction_refuses(self, atom, error):
        with pytest.raises(error):
            Literal(atom)


# ---------------------------------------------------------------------------
# Clause
# ---------------------------------------------------------------------------
class TestClause:
    def test_empty(self):
        empty = Clause()
        assert empty.to_string() == "\u25a1" and str(empty) == "\u25a1"
        assert empty.is_empty and not empty.is_unit and not empty.is_tautology
        assert empty.free_variables() == set() and empty.literals == frozenset()
        assert empty == Clause(frozenset()) and hash(empty) == hash(Clause(literals=frozenset()))

    def test_unit_text_and_order_independence(self):
        unit = cls(neg(P))
        assert unit.is_unit and unit.to_string() == neg(P).to_string()
        lits = [neg(A("P", x)), pos(A("Q", y)), pos(Equality(left=x, right=y)), neg(A("P", y))]
        forwards = Clause(frozenset(lits))
        backwards = Clause(frozenset(reversed(lits)))
        assert forwards == backwards and hash(forwards) == hash(backwards)
        texts = sorted(l.to_string() for l in lits)
        assert forwards.to_string() == " \u2228 ".join(texts) == backwards.to_string()
        assert forwards.literals == frozenset(lits)
        assert forwards.free_variables() == {x, y}

    @pytest.mark.parametrize(
        "lits, tautology",
        [
            ((pos(P), neg(P)), True),
            ((pos(P), neg(P), pos(Q)), True),
            ((pos(A("P", x)), neg(A("P", y))), False),
            ((pos(Equality(left=x, right=y)), neg(Equality(left=y, right=x))), False),
            ((pos(Equality(left=x, right=x)),), False),
        ],
    )
    def test_tautology(self, lits, tautology):
        assert cls(*lits).is_tautology is tautology and cls(*lits)._is_tautology is tautology

    def test_substitute_merges(self):
        two = cls(pos(A("P", x)), pos(A("P", y)))
        assert two.substitute({}) is two
        merged = two.substitute({x: y})
        assert merged.is_unit and merged == cls(pos(A("P", y)))
        clash = cls(pos(A("P", x)), neg(A("P", y))).substitute({x: y})
        assert clash.is_tautology and not cls(pos(A("P", x)), neg(A("P", y))).is_tautology
        same = two.substitute({z: a})
        assert same == two and same is not two

    def test_free_variables_are_a_fresh_set(self):
        clause = cls(pos(A("P", x)), neg(A("Q", y)))
        got = clause.free_variables()
        got.add(z)
        assert clause.free_variables() == {x, y} and clause._free_vars == frozenset({x, y})

    def test_frozen_and_repr(self):
        clause = cls(pos(P))
        with pytest.raises(AttributeError):
            clause.literals = frozenset()
        assert repr(clause) == f"Clause(literals={frozenset({pos(P)})!r})"
        assert clause.__eq__(frozenset({pos(P)})) is NotImplemented

    @pytest.mark.parametrize("literals, error", [({pos(P)}, TypeError), ([pos(P)], TypeError),
                                                 (frozenset({1}), AttributeError)])
    def test_construction_refuses(self, literals, error):
        with pytest.raises(error):
            Clause(literals)

    def test_text_sorts_by_code_point(self):
        # "¬" (U+00AC) sorts after ASCII; "≠" texts start with the term's class name.
        clause = cls(neg(P), pos(Q), neg(Equality(left=a, right=b)))
        assert clause.to_string() == " \u2228 ".join(
            [str(a) + " \u2260 " + str(b), str(Q), "\u00ac" + str(P)])


# ---------------------------------------------------------------------------
# Implication elimination and negation normal form
# ---------------------------------------------------------------------------
class TestImplicationsAndNnf:
    def test_atoms_are_returned_themselves(self):
        assert eliminate_implications(P) is P and to_nnf(P) is P
        negated = Not(P)
        assert to_nnf(negated) is negated
        eq = Not(Equality(left=x, right=a))
        assert to_nnf(eq) is eq

    def test_implication_shapes(self):
        got = eliminate_implications(Implies(P, Q))
        assert got == Or(Not(P), Q) and got.left.operand is P and got.right is Q
        iff = eliminate_implications(Iff(P, Q))
        assert iff == And(Or(Not(P), Q), Or(Not(Q), P))
        conj = And(P, Q)
        assert eliminate_implications(conj) == conj and eliminate_implications(conj) is not conj
        assert eliminate_implications(Not(Not(P))) == Not(Not(P))

    @pytest.mark.parametrize(
        "formula, expected",
        [
            (Not(Not(P)), P),
            (Not(Implies(P, Q)), And(P, Not(Q))),
            (Not(Iff(P, Q)), Or(And(P, Not(Q)), And(Q, Not(P)))),
            (Not(Forall(x, A("P", x))), Exists(x, Not(A("P", x)))),
            (Not(Exists(x, Or(A("P", x), Q))), Forall(x, And(Not(A("P", x)), Not(Q)))),
            (Implies(P, Q), Or(Not(P), Q)),
            (Not(And(P, Not(Q))), Or(Not(P), Q)),
        ],
    )
    def test_nnf(self, formula, expected):
        assert to_nnf(formula) == expected

    def test_nnf_keeps_identities(self):
        assert to_nnf(Not(Not(P))) is P
        inner = Not(P)
        assert to_nnf(Not(Not(inner))) is inner
        assert to_nnf(Not(Forall(x, A("P", x)))).variable is x


# ---------------------------------------------------------------------------
# Renaming apart
# ---------------------------------------------------------------------------
class TestStandardize:
    def test_quantifier_free_is_rebuilt(self):
        f = And(P, Or(Q, Not(R)))
        got = standardize_variables(f)
        assert got == f and got is not f and got.left is P

    @pytest.mark.parametrize(
        "formula, expected",
        [
            (And(Forall(x, A("P", x)), Forall(x, A("Q", x))),
             And(Forall(Variable(1), A("P", Variable(1))), Forall(Variable(2), A("Q", Variable(2))))),
            (Forall(Variable(3), Exists(Variable(3), A("P", Variable(3)))),
             Forall(Variable(4), Exists(Variable(5), A("P", Variable(5))))),
            (And(A("P", Variable(5)), Forall(Variable(2), A("Q", Variable(2), Variable(5)))),
             And(A("P", Variable(5)), Forall(Variable(6), A("Q", Variable(6), Variable(5))))),
            (And(A("P", x), Forall(x, A("Q", x))), And(A("P", x), Forall(Variable(1), A("Q", Variable(1))))),
            (Forall(x, A("P", a)), Forall(Variable(1), A("P", a))),
            (Implies(Forall(x, A("P", x)), Iff(Exists(y, A("Q", y)), P)),
             Implies(Forall(Variable(2), A("P", Variable(2))), Iff(Exists(Variable(3), A("Q", Variable(3))), P))),
        ],
    )
    def test_examples(self, formula, expected):
        assert standardize_variables(formula) == expected

    def test_fresh_variable_keeps_sort_and_kind(self):
        v = Variable(7, VariableKind.INDIVIDUAL, sort=Nat)
        got = standardize_variables(Forall(v, Equality(left=v, right=v)))
        assert got.variable == Variable(8, sort=Nat) and got.body.left == Variable(8, sort=Nat)


# ---------------------------------------------------------------------------
# Skolemization
# ---------------------------------------------------------------------------
class RecordingSignature:
    def __init__(self, fail=None, taken=()):
        self.calls, self.fail, self.taken = [], fail, set(taken)

    def register_constant(self, name, sort):
        self.calls.append(("constant", name, sort))
        self._check(name)

    def register_function(self, name, arity, arg_sorts, return_sort):
        self.calls.append(("function", name, arity, arg_sorts, return_sort))
        self._check(name)

    def _check(self, name):
        if name in self.taken:
            raise SymbolClashError(name + " is taken")
        if self.fail:
            raise self.fail


class TestSkolemize:
    @pytest.mark.parametrize(
        "formula, expected",
        [
            (Exists(x, A("P", x)), A("P", sk("sk_c0"))),
            (Forall(y, Exists(x, A("P", x, y))), Forall(y, A("P", sk("sk_f0", y), y))),
            (Forall(y, Forall(z, Exists(x, A("P", x)))), Forall(y, Forall(z, A("P", sk("sk_f0", y, z))))),
            (Exists(x, Forall(y, Exists(z, A("Q", x, y, z)))), Forall(y, A("Q", sk("sk_c0"), y, sk("sk_f0", y)))),
            (And(Exists(x, A("P", x)), Exists(y, A("Q", y))), And(A("P", sk("sk_c0")), A("Q", sk("sk_c1")))),
            (And(Exists(x, A("P", x)), Forall(y, Exists(z, A("Q", z, y)))),
             And(A("P", sk("sk_c0")), Forall(y, A("Q", sk("sk_f0", y), y)))),
            (Forall(x, Or(Exists(y, A("P", y)), Forall(z, Exists(w, A("R", w))))),
             Forall(x, Or(A("P", sk("sk_f0", x)), Forall(z, A("R", sk("sk_f1", x, z)))))),
            (Forall(x, Exists(y, Exists(z, A("P", x, y, z)))), Forall(x, A("P", x, sk("sk_f0", x), sk("sk_f1", x)))),
            (Exists(x, A("P", x, y)), A("P", sk("sk_c0"), y)),
            (Exists(Variable(4, sort=Nat), A("P", Variable(4, sort=Nat))), A("P", sk("sk_c0", sort=Nat))),
        ],
    )
    def test_examples(self, formula, expected):
        assert skolemize(formula) == expected

    def test_counters_persist_until_reset(self):
        f = Exists(x, A("P", x))
        assert skolemize(f) == A("P", sk("sk_c0"))
        assert skolemize(f) == A("P", sk("sk_c1"))
        assert skolemize(Forall(y, Exists(x, A("P", x, y)))).body.args[0].func == "sk_f0"
        reset_skolem_counters()
        assert skolemize(f) == A("P", sk("sk_c0"))

    def test_without_existentials(self):
        f = Forall(x, And(A("P", x), Not(Q)))
        got = skolemize(f)
        assert got == f and got is not f and skolemize(P) is P
        assert skolemize(Exists(x, A("P", x))) == A("P", sk("sk_c0"))  # nothing was drawn

    @pytest.mark.parametrize(
        "formula, expected",
        [
            (Exists(x, A("P", x, sk("sk_c0"))), A("P", sk("sk_c1"), sk("sk_c0"))),
            (And(A("sk_c0"), Exists(x, A("P", x))), And(A("sk_c0"), A("P", sk("sk_c1")))),
            (Forall(y, Exists(x, A("P", x, FunctionApp(func="sk_f0", arity=1, args=(y,))))),
             Forall(y, A("P", sk("sk_f1", y), sk("sk_f0", y)))),
        ],
    )
    def test_names_already_in_the_formula_are_skipped(self, formula, expected):
        assert skolemize(formula) == expected

    def test_signature_records_the_symbols(self):
        sig = Signature()
        sig.register_constant("sk_c0", Ind)
        f = And(Exists(x, A("P", x)), Forall(y, Exists(z, A("Q", z, y))))
        assert skolemize(f, sig) == And(A("P", sk("sk_c1")), Forall(y, A("Q", sk("sk_f0", y), y)))
        assert sig.lookup("sk_c1", 0) == ("constant", (), Ind)
        assert sig.lookup("sk_f0", 1) == ("function", (Ind,), Ind)
        assert list(sig.constants) == ["sk_c0", "sk_c1"]

    def test_foreign_signature_calls(self):
        rec = RecordingSignature()
        skolemize(Forall(y, Exists(x, A("P", x, y))), signature=rec)
        assert rec.calls == [("function", "sk_f0", 1, (Ind,), Ind)]
        skolemize(Exists(x, A("P", x)), rec)
        assert rec.calls[-1] == ("constant", "sk_c0", Ind)

    @pytest.mark.parametrize("fail", [RuntimeError("no"), ValueError("bad"), MemoryError()])
    def test_failing_signature_is_ignored(self, fail):
        f = And(Exists(x, A("P", x)), Forall(y, Exists(z, A("Q", z, y))))
        with_sig = skolemize(f, RecordingSignature(fail=fail))
        reset_skolem_counters()
        assert with_sig == skolemize(f)

    def test_taken_name_moves_to_the_next_value(self):
        rec = RecordingSignature(taken={"sk_c0", "sk_f0"})
        got = skolemize(And(Exists(x, A("P", x)), Forall(y, Exists(z, A("Q", z, y)))), rec)
        assert got == And(A("P", sk("sk_c1")), Forall(y, A("Q", sk("sk_f1", y), y)))
        assert [c[1] for c in rec.calls] == ["sk_c0", "sk_c1", "sk_f0", "sk_f1"]

    def test_interruption_from_the_signature_passes(self):
        with pytest.raises(KeyboardInterrupt):
            skolemize(Exists(x, A("P", x)), RecordingSignature(fail=KeyboardInterrupt()))

    def test_a_falsy_signature_is_used(self):
        class Empty(RecordingSignature):
            def __bool__(self):
                return False

        rec = Empty()
        skolemize(Exists(x, A("P", x)), rec)
        assert rec.calls == [("constant", "sk_c0", Ind)]

    def test_capture_is_avoided(self):
        # The Skolem term f(y) enters the scope of an inner quantifier over y.
        got = skolemize(Forall(y, Exists(x, Forall(y, A("P", x, y)))))
        inner = got.body
        assert inner.variable != y and got.body.body == A("P", sk("sk_f0", y), inner.variable)


# ---------------------------------------------------------------------------
# Removal of universals, distribution, clause extraction
# ---------------------------------------------------------------------------
class TestDropAndDistribute:
    @pytest.mark.parametrize(
        "formula, expected",
        [
            (Forall(x, Forall(y, A("P", x, y))), A("P", x, y)),
            (Exists(x, Forall(y, A("P", x, y))), Exists(x, A("P", x, y))),
            (And(Forall(x, A("P", x)), Or(Not(Q), Forall(y, A("R", y)))), And(A("P", x), Or(Not(Q), A("R", y)))),
        ],
    )
    def test_drop_universals(self, formula, expected):
        assert drop_universals(formula) == expected

    def test_drop_universals_returns_atoms(self):
        atom = A("P", x, y)
        assert drop_universals(Forall(x, Forall(y, atom))) is atom

    @pytest.mark.parametrize(
        "formula, expected",
        [
            (Or(P, And(Q, R)), And(Or(P, Q), Or(P, R))),
            (Or(And(P, Q), R), And(Or(P, R), Or(Q, R))),
            (Or(And(P, Q), And(R, S)), And(And(Or(P, R), Or(P, S)), And(Or(Q, R), Or(Q, S)))),
            (Or(Or(P, And(Q, R)), S), And(Or(Or(P, Q), S), Or(Or(P, R), S))),
            (Or(P, P), Or(P, P)),
            (Or(And(P, Q), And(R, Not(S))), And(And(Or(P, R), Or(P, Not(S))), And(Or(Q, R), Or(Q, Not(S))))),
            (Or(Or(And(P, Q), R), And(S, P)),
             And(And(Or(Or(P, R), S), Or(Or(P, R), P)), And(Or(Or(Q, R), S), Or(Or(Q, R), P)))),
        ],
    )
    def test_distribute(self, formula, expected):
        assert distribute_cnf(formula) == expected

    def test_distribute_identities(self):
        disj = Or(P, Q)
        got = distribute_cnf(disj)
        assert got == disj and got is not disj and got.left is P and got.right is Q
        negated = Not(And(P, Q))
        assert distribute_cnf(negated) is negated


class TestFormulaToClauses:
    @pytest.mark.parametrize(
        "formula, expected",
        [
            (P, [cls(pos(P))]),
            (Not(P), [cls(neg(P))]),
            (And(Or(P, Not(P)), Q), [cls(pos(Q))]),
            (And(P, P), [cls(pos(P)), cls(pos(P))]),
            (And(Or(P, Q), Or(Q, P)), [cls(pos(P), pos(Q))] * 2),
            (And(And(P, Q), R), [cls(pos(P)), cls(pos(Q)), cls(pos(R))]),
            (And(P, And(Q, R)), [cls(pos(P)), cls(pos(Q)), cls(pos(R))]),
            (And(Or(P, Not(P)), Or(Q, Not(Q))), []),
            (Or(P, P), [cls(pos(P))]),
        ],
    )
    def test_examples(self, formula, expected):
        assert formula_to_clauses(formula) == expected

    def test_atoms_are_the_given_nodes(self):
        eq = Equality(left=x, right=a)
        (clause,) = formula_to_clauses(Not(eq))
        (lit,) = clause.literals
        assert lit.atom is eq and not lit.positive

    def test_nested_disjunctions_make_one_clause(self):
        (clause,) = formula_to_clauses(Or(Or(R, Not(P)), Q))
        assert clause == cls(pos(R), neg(P), pos(Q))


# ---------------------------------------------------------------------------
# Pipeline
# ---------------------------------------------------------------------------
class TestPipeline:
    @pytest.mark.parametrize(
        "formula, expected",
        [
            (Implies(P, Q), [cls(neg(P), pos(Q))]),
            (Iff(P, Q), [cls(neg(P), pos(Q)), cls(neg(Q), pos(P))]),
            (Or(P, Not(P)), []),
            (P, [cls(pos(P))]),
            (Forall(x, Exists(y, A("R", x, y))), [cls(pos(A("R", z, sk("sk_f0", z))))]),
        ],
    )
    def test_to_cnf(self, formula, expected):
        assert to_cnf(formula) == expected

    @pytest.mark.parametrize(
        "formula, expected",
        [
            (Implies(P, P), [cls(pos(P)), cls(neg(P))]),
            (Forall(x, A("P", x)), [cls(neg(A("P", sk("sk_c0"))))]),
        ],
    )
    def test_negate_and_clausify(self, formula, expected):
        assert negate_and_clausify(formula) == expected

    def test_counters_across_calls(self):
        f = Exists(x, A("P", x))
        assert to_cnf(f) == [cls(pos(A("P", sk("sk_c0"))))]
        assert to_cnf(f) == [cls(pos(A("P", sk("sk_c1"))))]

    def test_free_variables_are_read_universally(self):
        # ∃y R(x, y) with x free means ∀x ∃y R(x, y): the witness depends on x.
        assert to_cnf(Exists(y, A("R", x, y))) == [cls(pos(A("R", x, sk("sk_f0", x))))]
        # Two free variables become arguments in increasing id.
        assert to_cnf(Exists(z, A("R", y, x, z))) == [cls(pos(A("R", y, x, sk("sk_f1", x, y))))]

    def test_negation_of_the_closure(self):
        # ¬P(x) would claim P false everywhere; the negation of ∀x P(x) only somewhere.
        assert negate_and_clausify(A("P", x)) == [cls(neg(A("P", sk("sk_c0"))))]
        got = negate_and_clausify(Exists(y, A("R", x, y)))
        assert got == [cls(neg(A("R", sk("sk_c1"), Variable(3))))]  # ∃x ∀y ¬R(x, y)

    def test_signature_gets_only_skolem_symbols(self):
        sig = Signature()
        to_cnf(And(A("P", a), Forall(x, Exists(y, A("R", x, FunctionApp(func="f", arity=1, args=(y,)))))), sig)
        assert len(sig) == 1 and sig.lookup("sk_f0", 1) == ("function", (Ind,), Ind)
        negate_and_clausify(Forall(x, A("P", x)), signature=sig)
        assert sig.lookup("sk_c0", 0) == ("constant", (), Ind)

    def test_input_is_unchanged(self):
        f = Iff(Forall(x, A("P", x)), Exists(y, A("Q", y)))
        copy = Iff(Forall(x, A("P", x)), Exists(y, A("Q", y)))
        to_cnf(f)
        negate_and_clausify(f)
        assert f == copy


# ---------------------------------------------------------------------------
# Errors
# ---------------------------------------------------------------------------
SO = ForallPred(variable=PredicateVariable(0, 1), body=P)

ERRORS = [
    (eliminate_implications, x, ValueError, "Unsupported formula node: " + klass(x)),
    (eliminate_implications, And(P, SO), ValueError, "Unsupported formula node: " + klass(SO)),
    (eliminate_implications, 42, ValueError, "Unsupported formula node: <class 'int'>"),
    (to_nnf, a, ValueError, "Unsupported formula node: " + klass(a)),
    (to_nnf, Not(SO), ValueError, "Unsupported negated formula operand: " + klass(SO)),
    (to_nnf, Not(And(P, SO)), ValueError, "Unsupported negated formula operand: " + klass(SO)),
    (to_nnf, Or(SO, Not(SO)), ValueError, "Unsupported formula node: " + klass(SO)),
    (standardize_variables, x, ValueError, "Unsupported formula: " + klass(x)),
    (standardize_variables, 5, InvalidFormulaError, "Unsupported AST node type: <class 'int'>"),
    (standardize_variables, Forall(x, SO), ValueError, "Unsupported formula: " + klass(SO)),
    (skolemize, Implies(P, Q), ValueError, "Unsupported formula in skolemization: " + klass(Implies(P, Q))),
    (skolemize, "P", ValueError, "Unsupported formula in skolemization: <class 'str'>"),
    (skolemize, Not(Forall(x, A("P", x))), ValueError,
     "Skolemization needs negation normal form; a quantifier stands under a negation: " + klass(Forall(x, P))),
    (skolemize, Not(And(P, Exists(x, A("P", x)))), ValueError,
     "Skolemization needs negation normal form; a quantifier stands under a negation: " + klass(Exists(x, P))),
    (drop_universals, Implies(P, Q), ValueError, "Unsupported formula: " + klass(Implies(P, Q))),
    (drop_universals, Not(Forall(x, A("P", x))), ValueError,
     "Removal of universals needs negation normal form; a quantifier stands under a negation: "
     + klass(Forall(x, P))),
    (distribute_cnf, Forall(x, A("P", x)), ValueError,
     "Unsupported formula in CNF distribution: " + klass(Forall(x, P))),
    (distribute_cnf, Or(P, Exists(x, A("Q", x))), ValueError,
     "Unsupported formula in CNF distribution: " + klass(Exists(x, P))),
    (distribute_cnf, Or(Iff(P, Q), Forall(x, P)), ValueError,
     "Unsupported formula in CNF distribution: " + klass(Iff(P, Q))),
    (formula_to_clauses, Or(P, And(Q, R)), ValueError, "Unexpected formula inside clause: " + klass(And(P, Q))),
    (formula_to_clauses, Exists(x, A("P", x)), ValueError, "Unexpected formula inside clause: " + klass(Exists(x, P))),
    (formula_to_clauses, And(P, Or(Q, Implies(P, Q))), ValueError,
     "Unexpected formula inside clause: " + klass(Implies(P, Q))),
    (formula_to_clauses, Not(Not(P)), AssertionError, ""),
    (to_cnf, a, ValueError, "Unsupported formula node: " + klass(a)),
    (to_cnf, None, ValueError, "Unsupported formula node: <class 'NoneType'>"),
    (negate_and_clausify, FunctionApp(func="f", arity=1, args=(x,)), ValueError,
     "Unsupported formula node: " + klass(FunctionApp(func="f", arity=1, args=(x,)))),
]


@pytest.mark.parametrize("step, arg, error, message", ERRORS)
def test_error_table(step, arg, error, message):
    with pytest.raises(error) as err:
        step(arg)
    assert type(err.value) is error and str(err.value) == message


def test_a_refused_input_draws_no_counter_value():
    with pytest.raises(ValueError):
        to_cnf(Constant("c"))
    with pytest.raises(ValueError):
        to_cnf(And(Exists(x, A("P", x)), SO))
    assert to_cnf(Exists(x, A("P", x))) == [cls(pos(A("P", sk("sk_c0"))))]


def test_names_and_module():
    assert cl.__doc__ == ("Clausification pipeline for translating First-Order Logic formulas to Conjunctive "
                          "Normal Form (CNF).")
    for name in ["Term", "Formula", "free_variables", "bound_variables", "Sort", "Ind", "Signature",
                 "substitute_formula", "substitute_term"]:
        assert hasattr(cl, name)


# ---------------------------------------------------------------------------
# Limits: size, depth, sharing
# ---------------------------------------------------------------------------
def test_distribution_beyond_the_cap_is_refused():
    f = And(A("p0"), A("q0"))
    for i in range(1, 20):  # (p0 ∧ q0) ∨ ... ∨ (p19 ∧ q19): 2**20 clauses
        f = Or(f, And(A(f"p{i}"), A(f"q{i}")))
    for step in (distribute_cnf, to_cnf):
        with pytest.raises(ValueError, match="limit"):
            step(f)


def test_heavily_shared_formulas_are_refused_or_fast():
    f = Forall(x, A("P", x))
    for _ in range(80):
        f = And(f, f)  # 2**80 nodes as a tree
    with pytest.raises(ValueError, match="limit"):
        to_cnf(f)
    g = P
    for _ in range(80):
        g = Or(g, g)
    assert eliminate_implications(g) == g and to_nnf(g) == g and drop_universals(g) == g
    with pytest.raises(ValueError, match="limit"):
        to_cnf(g)


def doubled(f, connective, times):
    for _ in range(times):
        f = connective(f, f)
    return f


@pytest.mark.parametrize("step, formula, message", [
    # 2**70 clauses of 2**70 literals each
    (distribute_cnf, doubled(And(P, Q), Or, 70),
     "would have more than 2^64 clauses with more than 2^64 literals, more than the limit"),
    # 2**80 nodes once the sharing is unfolded
    (to_cnf, doubled(Forall(x, A("P", x)), And, 80), "Renaming apart: the formula has more than 2^64 nodes"),
])
def test_counts_beyond_64_bits_are_not_printed_as_exact(step, formula, message):
    with pytest.raises(ValueError) as info:
        step(formula)
    assert message in str(info.value) and str(2**64 - 1) not in str(info.value)


@pytest.mark.parametrize("shape", ["not", "and", "forall"])
def test_deep_inputs(shape):
    f = P
    for i in range(100000):
        if shape == "not":
            f = Not(f)
        elif shape == "and":
            f = And(A(f"p{i % 7}"), f)
        else:
            f = Forall(Variable(i), f)
    try:
        clauses = to_cnf(f)
    except RecursionError:
        return
    assert isinstance(clauses, list)


# ---------------------------------------------------------------------------
# Generated formulas
# ---------------------------------------------------------------------------
ATOMS = [A("p"), A("q"), A("r"), A("s")]


def random_prop(rng, depth):
    if depth == 0 or rng.random() < 0.2:
        return rng.choice(ATOMS)
    kind = rng.choice(["not", "and", "or", "imp", "iff"])
    if kind == "not":
        return Not(random_prop(rng, depth - 1))
    cls_ = {"and": And, "or": Or, "imp": Implies, "iff": Iff}[kind]
    return cls_(random_prop(rng, depth - 1), random_prop(rng, depth - 1))


def eval_prop(f, val):
    if isinstance(f, PredicateApp):
        return val[f.pred]
    if isinstance(f, Not):
        return not eval_prop(f.operand, val)
    l, r = eval_prop(f.left, val), eval_prop(f.right, val)
    return {And: l and r, Or: l or r, Implies: (not l) or r, Iff: l == r}[type(f)]


def eval_clauses(clauses, truth):
    return all(any(truth(lit) for lit in c.literals) for c in clauses)


@pytest.mark.parametrize("seed", range(4))
def test_generated_propositional_formulas(seed):
    rng = random.Random(seed)
    for _ in range(80):
        f = random_prop(rng, 3)
        cnf, refutation = to_cnf(f), negate_and_clausify(f)
        for bits in itertools.product([False, True], repeat=4):
            val = dict(zip("pqrs", bits))
            truth = lambda lit: val[lit.atom.pred] == lit.positive  # noqa: E731
            assert eval_clauses(cnf, truth) == eval_prop(f, val), f
            assert eval_clauses(refutation, truth) == (not eval_prop(f, val)), f


# First-order: P/1, R/2 over the domain {0, 1}; Skolem symbols interpreted freely.
DOMAIN = (0, 1)
VARS = [Variable(0), Variable(1), Variable(2)]


def random_fo(rng, depth, quantifiers):
    if depth == 0 or rng.random() < 0.25:
        if rng.random() < 0.5:
            return A("P", rng.choice(VARS + [a]))
        return A("R", rng.choice(VARS), rng.choice(VARS + [a]))
    kind = rng.choice(["not", "and", "or", "imp", "iff", "all", "ex", "all", "ex"])
    if kind in ("all", "ex"):
        if quantifiers[0] == 0:
            return random_fo(rng, depth - 1, quantifiers)
        quantifiers[0] -= 1
        return (Forall if kind == "all" else Exists)(rng.choice(VARS), random_fo(rng, depth - 1, quantifiers))
    if kind == "not":
        return Not(random_fo(rng, depth - 1, quantifiers))
    cls_ = {"and": And, "or": Or, "imp": Implies, "iff": Iff}[kind]
    return cls_(random_fo(rng, depth - 1, quantifiers), random_fo(rng, depth - 1, quantifiers))


def eval_term(t, env, interp):
    if isinstance(t, Variable):
        return env[t]
    if isinstance(t, Constant):
        return interp[(t.name, 0)][()]
    return interp[(t.func, t.arity)][tuple(eval_term(s, env, interp) for s in t.args)]


def eval_fo(f, env, interp):
    if isinstance(f, PredicateApp):
        return interp[(f.pred, f.arity)][tuple(eval_term(t, env, interp) for t in f.args)]
    if isinstance(f, Not):
        return not eval_fo(f.operand, env, interp)
    if isinstance(f, (Forall, Exists)):
        results = (eval_fo(f.body, {**env, f.variable: d}, interp) for d in DOMAIN)
        return all(results) if isinstance(f, Forall) else any(results)
    l, r = eval_fo(f.left, env, interp), eval_fo(f.right, env, interp)
    return {And: l and r, Or: l or r, Implies: (not l) or r, Iff: l == r}[type(f)]


def tables(arity):
    keys = list(itertools.product(DOMAIN, repeat=arity))
    return [dict(zip(keys, values)) for values in itertools.product((False, True), repeat=len(keys))]


def function_tables(arity):
    keys = list(itertools.product(DOMAIN, repeat=arity))
    return [dict(zip(keys, values)) for values in itertools.product(DOMAIN, repeat=len(keys))]


def skolem_symbols(clauses):
    found = {}

    def walk(t):
        if isinstance(t, Constant) and t.name.startswith("sk_"):
            found[(t.name, 0)] = 0
        elif isinstance(t, FunctionApp):
            if t.func.startswith("sk_"):
                found[(t.func, t.arity)] = t.arity
            for s in t.args:
                walk(s)

    for c in clauses:
        for lit in c.literals:
            for t in lit.atom.args:
                walk(t)
    return found


def clauses_hold(clauses, interp):
    for c in clauses:
        vs = sorted(c.free_variables(), key=lambda v: v.id)
        for values in itertools.product(DOMAIN, repeat=len(vs)):
            env = dict(zip(vs, values))
            if not any(eval_fo(l.atom, env, interp) == l.positive for l in c.literals):
                return False
    return True


def check_against_closure(f, clauses, negate):
    """Every model of the clauses is a model of the (negated) closure, and every
    model of the closure extends to one of the clauses (over DOMAIN)."""
    free = sorted(cl.free_variables(f), key=lambda v: v.id)
    closure = f
    for v in reversed(free):
        closure = Forall(v, closure)
    if negate:
        closure = Not(closure)
    skolems = skolem_symbols(clauses)
    if len(skolems) > 3 or sum(len(DOMAIN) ** ar for ar in skolems.values()) > 6:
        return False
    sk_choices = [function_tables(ar) for ar in skolems.values()]
    for p_tab, r_tab, a_val in itertools.product(tables(1), tables(2), DOMAIN):
        base = {("P", 1): p_tab, ("R", 2): r_tab, ("a", 0): {(): a_val}}
        closure_holds = eval_fo(closure, {}, base)
        extendable = False
        for choice in itertools.product(*sk_choices):
            interp = {**base, **dict(zip(skolems, choice))}
            if clauses_hold(clauses, interp):
                assert closure_holds, (f, negate)
                extendable = True
                break
        assert extendable == closure_holds, (f, negate)
    return True


@pytest.mark.parametrize("seed", range(3))
def test_generated_first_order_formulas(seed):
    rng = random.Random(100 + seed)
    checked = 0
    while checked < 25:
        f = random_fo(rng, 4, [3])
        for negate in (False, True):
            reset_skolem_counters()
            clauses = negate_and_clausify(f) if negate else to_cnf(f)
            checked += check_against_closure(f, clauses, negate)


def shared_term(depth, leaf):
    """g(t, t) nested `depth` times: depth + 1 distinct nodes, 2**depth leaves."""
    for _ in range(depth):
        leaf = FunctionApp("g", 2, (leaf, leaf))
    return leaf


# A small tree and the same shape with 2**100 leaves: both come out alike,
# the large one built as shared as its input.
@pytest.mark.parametrize("depth", [2, 100])
@pytest.mark.parametrize("quantify, leaf", [
    (lambda f: f, Constant("sk_c0")),           # the free variable becomes a Skolem constant
    (lambda f: Forall(x, f), Constant("sk_c0")),
    (lambda f: Exists(x, f), Variable(1)),      # standardized apart
])
def test_clausifying_a_shared_term_gives_the_clause_of_the_small_case(depth, quantify, leaf):
    clauses = negate_and_clausify(quantify(A("P", shared_term(depth, x))))
    assert clauses == [Clause(frozenset({Literal(A("P", shared_term(depth, leaf)), False)}))]


def test_text_of_a_literal_too_large_to_print_is_refused():
    literal = Literal(A("P", shared_term(100, x)))
    with pytest.raises(MemoryError, match="too large to print"):
        literal.to_string()
    with pytest.raises(MemoryError, match="too large to print"):
        Clause(frozenset({literal})).to_string()
    small = A("P", shared_term(2, x))
    assert Literal(small).to_string() == repr(small)


def test_the_skolem_counters_read_as_module_attributes():
    cl.reset_skolem_counters()
    assert (cl._skolem_constant_counter, cl._skolem_function_counter) == (0, 0)
    x, y = Variable(1), Variable(2)
    cl.skolemize(Exists(x, A("P", x)))
    cl.skolemize(Forall(y, Exists(x, A("Q", x, y))))
    cl.skolemize(Exists(x, A("P", x)))
    assert (cl._skolem_constant_counter, cl._skolem_function_counter) == (2, 1)
    cl.reset_skolem_counters()
    assert cl._skolem_constant_counter == 0
    with pytest.raises(AttributeError, match="no attribute '_skolem_counter'"):
        cl._skolem_counter


def test_a_clause_refers_to_the_set_it_is_given():
    given = frozenset([Literal(A("P"), True), Literal(A("Q"), False)])
    clause = Clause(given)
    assert clause.literals is given and Clause(literals=given).literals is given
    assert clause == Clause(frozenset(given)) and hash(clause) == hash(Clause(frozenset(given)))
    # the clauses that the rules and the clausifier make work as before
    assert clause.substitute({}).literals is given
    assert cl.to_cnf(Or(A("P"), Not(A("Q")))) == [clause]


def test_literals_and_clauses_can_be_subclassed():
    class Marked(Literal):
        pass

    class Group(Clause):
        pass

    lit = Marked(A("P"), True)
    assert isinstance(lit, Literal) and lit != Literal(A("P"), True) and lit.negate() == Literal(A("P"), False)
    group = Group(frozenset([lit, Literal(A("P"), False)]))
    assert group.is_tautology and group != Clause(group.literals)
    assert Clause(frozenset([lit])).literals == {lit}
