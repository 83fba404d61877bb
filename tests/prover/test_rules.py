"""Inference rules on clauses, the rule catalogues and second-order instantiation (prover.rules)."""

import itertools
import random
import sys

import pytest

from core.ast import Constant, Equality, Forall, FunctionApp, Implies, And, Not, PredicateApp, Variable
from core.substitutions import unify_formulas
from core.sorts import Nat
from prover.clausifier import Clause, Literal, reset_skolem_counters, to_cnf
from prover.rules import (InferenceRule, SOLInstantiateRule, apply_rule, extract_atom_subterms, extract_subterms,
                          factor_clause, get_reconstruction_rules, get_resolution_rules, paramodulate,
                          replace_atom_subterm, replace_subterm, resolve_clauses, standardize_clause_variables)
from sol.ast_ext import ForallPred, PredicateVariable

a, b, c = Constant(name="a"), Constant(name="b"), Constant(name="c")
x, y, z = Variable(id=0), Variable(id=1), Variable(id=2)


def v(i, **kw):
    return Variable(id=i, **kw)


def app(pred, *args):
    return PredicateApp(pred=pred, arity=len(args), args=tuple(args))


def fn(name, *args):
    return FunctionApp(func=name, arity=len(args), args=tuple(args))


def f(t):
    return fn("f", t)


def g(t):
    return fn("g", t)


def eq(s, t):
    return Equality(left=s, right=t)


def pos(atom):
    return Literal(atom=atom, positive=True)


def neg(atom):
    return Literal(atom=atom, positive=False)


def cl(*literals):
    return Clause(frozenset(literals))


def P(t):
    return app("P", t)


def Q(t):
    return app("Q", t)


def R(t):
    return app("R", t)


def clauses_of(results):
    return [r[0] for r in results]


# ---------------------------------------------------------------------------
# Rule records and catalogues
# ---------------------------------------------------------------------------

RECONSTRUCTION = [
    ("Axiom", "Premise or hypothesis assumption"),
    ("NegatedGoal", "Clausified negation of target theorem"),
    ("ModusPonens", "A, A \u27F9 B  \u22A2  B"),
    ("UniversalInstantiation", "\u2200x P(x)  \u22A2  P(t)"),
    ("ExistentialIntroduction", "P(t)  \u22A2  \u2203x P(x)"),
    ("AndIntroduction", "A, B  \u22A2  A \u2227 B"),
    ("AndElimination", "A \u2227 B  \u22A2  A (or B)"),
    ("OrIntroduction", "A  \u22A2  A \u2228 B"),
    ("OrElimination", "A \u2228 B, A \u27F9 C, B \u27F9 C  \u22A2  C"),
    ("DoubleNegationElimination", "\u00AC\u00ACA  \u22A2  A"),
    ("Contradiction", "A, \u00ACA  \u22A2  \u22A5"),
    ("ResolutionTraceStep", "CNF trace resolution inference"),
]


def test_resolution_catalogue():
    first, second = get_resolution_rules(), get_resolution_rules()
    assert [(r.name, r.description, r.rule_type) for r in first] == [
        ("BinaryResolution", "Resolve complementary literals", "resolution"),
        ("Factoring", "Merge unifiable literals in same clause", "resolution"),
        ("Paramodulation", "Equality subterm rewriting", "resolution"),
    ]
    assert [r.apply for r in first] == [resolve_clauses, factor_clause, paramodulate]
    assert first is not second and first == second
    assert all(r1 is not r2 and hash(r1) == hash(r2) for r1, r2 in zip(first, second))


def test_reconstruction_catalogue():
    first, second = get_reconstruction_rules(), get_reconstruction_rules()
    assert [(r.name, r.description) for r in first] == RECONSTRUCTION
    assert all(r.rule_type == "reconstruction" for r in first)
    # Exact code points: two blanks around the turnstile, single blanks elsewhere.
    assert [ord(ch) for ch in first[2].description] == [
        0x41, 0x2C, 0x20, 0x41, 0x20, 0x27F9, 0x20, 0x42, 0x20, 0x20, 0x22A2, 0x20, 0x20, 0x42]
    # Every call makes new callables, so records of two calls differ.
    assert all(r1 != r2 and r1.name == r2.name for r1, r2 in zip(first, second))
    assert len({id(r.apply) for r in first}) == 12


@pytest.mark.parametrize("premises, context", [([], None), ([1, "x", None], None), ([cl()], {})])
def test_reconstruction_rules_compute_nothing(premises, context):
    for rule in get_reconstruction_rules():
        result = apply_rule(rule, premises, context)
        assert result == [] and result is not apply_rule(rule, premises, context)


def test_reconstruction_rule_refuses_keywords():
    rule = get_reconstruction_rules()[0]
    with pytest.raises(TypeError, match="unexpected keyword argument 'depth'"):
        apply_rule(rule, [], {"depth": 1})


def test_record_equality_hash_and_immutability():
    r1 = InferenceRule("R", "d", "resolution", len)
    r2 = InferenceRule(name="R", description="d", rule_type="resolution", apply=len)
    assert r1 == r2 and hash(r1) == hash(r2)
    assert r1 != InferenceRule("R", "d", "resolution", abs)
    assert repr(r1).startswith("InferenceRule(name='R', description='d', rule_type='resolution', apply=")
    # No value is checked.
    assert InferenceRule(1, None, [], "not callable").name == 1
    for field in ("name", "description", "rule_type", "apply"):
        with pytest.raises(AttributeError):
            setattr(r1, field, "other")
    with pytest.raises(AttributeError):
        r1.extra = 1
    with pytest.raises(TypeError):
        InferenceRule("R", "d", "resolution")


def test_apply_rule_hands_on_premises_and_context():
    calls = []

    def record(*args, **kwargs):
        calls.append((args, kwargs))
        return ["done"]

    rule = InferenceRule("R", "d", "resolution", record)
    premises, context = [1, 2], {"k": 3}
    result = apply_rule(rule, premises, context)
    assert result == ["done"] and calls == [((1, 2), {"k": 3})]
    assert premises == [1, 2] and context == {"k": 3}
    assert apply_rule(rule=rule, premises=[], context={}) == ["done"] and calls[-1] == ((), {})
    # None from the callable comes back as None.
    assert apply_rule(InferenceRule("N", "d", "t", lambda: None), []) is None


def test_apply_rule_with_the_resolution_rules():
    binary, factoring, _ = get_resolution_rules()
    c1, c2 = cl(pos(P(x)), pos(P(a))), cl(neg(P(a)))
    assert apply_rule(factoring, [c1]) == factor_clause(c1)
    assert apply_rule(binary, [c1], {"c2": c2}) == resolve_clauses(c1, c2)


@pytest.mark.parametrize("premises, context, message", [
    ((1,), None, "premises"),
    ([1], [("k", 1)], "context"),
])
def test_apply_rule_type_errors(premises, context, message):
    rule = InferenceRule("R", "d", "resolution", lambda *a, **k: [])
    with pytest.raises(TypeError, match=message):
        apply_rule(rule, premises, context)
    # The arguments are checked before the rule is read.
    with pytest.raises(TypeError, match=message):
        apply_rule(object(), premises, context)


def test_apply_rule_refuses_a_result_that_is_not_a_list():
    with pytest.raises(TypeError, match="list"):
        apply_rule(InferenceRule("R", "d", "t", lambda: (1, 2)), [])


def test_apply_rule_passes_errors_of_the_callable():
    def fail():
        raise KeyError("boom")

    with pytest.raises(KeyError):
        apply_rule(InferenceRule("R", "d", "t", fail), [])


def test_catalogue_functions_take_no_arguments():
    with pytest.raises(TypeError):
        get_resolution_rules(1)
    with pytest.raises(TypeError):
        get_reconstruction_rules(x=1)


# ---------------------------------------------------------------------------
# Standardising apart
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("c1, c2", [
    (cl(pos(P(a))), cl(pos(Q(x)))),
    (cl(), cl(pos(Q(x)))),
    (cl(pos(P(x))), cl(pos(Q(a)))),
])
def test_standardize_without_renaming(c1, c2):
    first, second, mapping = standardize_clause_variables(c1, c2)
    assert first is c1 and second is c2 and mapping == {}


@pytest.mark.parametrize("c1, c2, expected_map", [
    # The offset is one above the larger maximum id of the two clauses.
    (cl(pos(P(v(3)))), cl(pos(Q(v(0))), neg(R(v(5)))), {v(0): v(6), v(5): v(11)}),
    # No shared variable, yet everything in c2 is renamed.
    (cl(pos(P(v(2)))), cl(pos(Q(v(7)))), {v(7): v(15)}),
    (cl(pos(app("S", v(0), v(1)))), cl(pos(app("S", v(0), v(1)))), {v(0): v(2), v(1): v(3)}),
])
def test_standardize_renames_every_variable_of_the_second_clause(c1, c2, expected_map):
    first, second, mapping = standardize_clause_variables(c1=c1, c2=c2)
    assert first is c1 and mapping == expected_map
    assert second == c2.substitute(expected_map)
    assert not (second.free_variables() & (c1.free_variables() | c2.free_variables()))


def test_standardize_keeps_sort_and_kind():
    n0 = v(0, sort=Nat)
    c2 = cl(pos(app("S", n0, v(0))))  # two variables of id 0, of two sorts
    _, second, mapping = standardize_clause_variables(cl(pos(P(v(4)))), c2)
    assert mapping == {n0: v(5, sort=Nat), v(0): v(5)}
    assert second == cl(pos(app("S", v(5, sort=Nat), v(5))))


def test_standardize_refuses_ids_past_the_64_bit_range():
    top = 2 ** 63 - 1
    with pytest.raises(ValueError):
        standardize_clause_variables(cl(pos(P(v(top)))), cl(pos(Q(v(1)))))


@pytest.mark.parametrize("call", [
    lambda: standardize_clause_variables("c", cl()),
    lambda: resolve_clauses(cl(), [pos(P(a))]),
    lambda: factor_clause(P(a)),
    lambda: paramodulate(cl(), None),
])
def test_clause_arguments_are_checked(call):
    with pytest.raises(TypeError, match="Clause"):
        call()


# ---------------------------------------------------------------------------
# Binary resolution
# ---------------------------------------------------------------------------

def test_resolution_with_a_ground_clause():
    result = resolve_clauses(cl(pos(P(x))), cl(neg(P(a))))
    assert result == [(cl(), {x: a}, (pos(P(x)), neg(P(a))))]


def test_resolution_renames_the_second_clause():
    c1 = cl(pos(P(x)), pos(Q(x)))
    c2 = cl(neg(P(a)), pos(R(x)))
    result = resolve_clauses(c1, c2)
    assert result == [(cl(pos(Q(a)), pos(R(v(1)))), {x: a}, (pos(P(x)), neg(P(a))))]


@pytest.mark.parametrize("c1, c2", [
    (cl(pos(P(x))), cl(pos(P(a)))),                  # same polarity
    (cl(pos(P(a))), cl(neg(eq(a, a)))),              # predicate against equation
    (cl(pos(P(a))), cl(neg(P(b)))),                  # constants clash
    (cl(pos(P(a))), cl(neg(Q(a)))),                  # predicates differ
    (cl(), cl(pos(P(a)))),
    (cl(pos(P(a))), cl()),
])
def test_resolution_without_resolvents(c1, c2):
    assert resolve_clauses(c1, c2) == []


def test_renaming_apart_lets_clashing_variables_unify():
    # P(x) and P(f(x)) share x only by name: after renaming they unify.
    result = resolve_clauses(cl(pos(P(x))), cl(neg(P(f(x)))))
    assert result == [(cl(), {x: f(v(1))}, (pos(P(x)), neg(P(f(v(1))))))]


def test_occur_check_failure_is_skipped():
    # Ground c2 keeps x; P(x, f(x)) against P(f(y), y) fails the occur check.
    c1 = cl(pos(app("S", x, f(x))))
    c2 = cl(neg(app("S", f(a), a)))
    assert resolve_clauses(c1, c2) == []


def test_tautologies_are_kept_and_duplicates_dropped():
    qa = app("Q0")
    result = resolve_clauses(cl(pos(P(a)), pos(qa)), cl(neg(P(a)), neg(qa)))
    assert {r[0] for r in result} == {cl(pos(qa), neg(qa)), cl(pos(P(a)), neg(P(a)))}
    assert all(r[0].is_tautology for r in result)
    taut = cl(pos(P(a)), neg(P(a)))
    result = resolve_clauses(taut, taut)
    assert len(result) == 1 and result[0][0] == taut


def test_a_clause_resolved_with_itself_uses_a_renamed_copy():
    c = cl(pos(P(x)), neg(P(f(x))))
    result = resolve_clauses(c, c)
    assert {r[0] for r in result} == {cl(neg(P(f(f(v(1))))), pos(P(v(1)))), cl(pos(P(x)), neg(P(f(f(x)))))}
    for _, _, (l1, l2) in result:
        assert l1 in c.literals and l2.free_variables() == {v(1)}


def test_sort_clash_skips_only_that_pair():
    n = v(0, sort=Nat)
    # P(x:Nat) against P(a:Ind) clashes in sort; Q(a) against Q(a) still resolves.
    c1 = cl(pos(P(n)), pos(Q(a)))
    c2 = cl(neg(P(a)), neg(Q(a)))
    result = resolve_clauses(c1, c2)
    assert [(r[0], r[1]) for r in result] == [(cl(pos(P(n)), neg(P(a))), {})]
    # The same for factoring and paramodulation.
    assert factor_clause(cl(pos(P(n)), pos(P(a)))) == []
    assert paramodulate(cl(pos(eq(n, v(1, sort=Nat)))), cl(pos(P(a)))) == []


# ---------------------------------------------------------------------------
# Factoring
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("clause, expected", [
    (cl(), []),
    (cl(pos(P(x))), []),
    (cl(pos(P(x)), pos(P(a))), [(cl(pos(P(a))), {x: a})]),
    (cl(neg(P(x)), neg(P(a))), [(cl(neg(P(a))), {x: a})]),
    (cl(pos(P(x)), neg(P(a))), []),
    (cl(pos(P(x)), pos(Q(x))), []),
    (cl(pos(P(x)), pos(P(a)), pos(Q(x))), [(cl(pos(P(a)), pos(Q(a))), {x: a})]),
    (cl(pos(P(a)), pos(P(b)), pos(Q(a))), []),
])
def test_factoring(clause, expected):
    assert factor_clause(clause) == expected
    assert factor_clause(c=clause) == expected


def test_factoring_keeps_each_factor_once():
    c = cl(pos(P(x)), pos(P(y)), pos(P(a)))
    result = factor_clause(c)
    assert {r[0] for r in result} == {cl(pos(P(y)), pos(P(a))), cl(pos(P(x)), pos(P(a)))}
    assert len(result) == 2
    for factor, unifier in result:
        assert c.substitute(unifier) == factor


def test_factoring_instantiates_the_whole_clause():
    c = cl(pos(app("S", x, y)), pos(app("S", y, x)))
    ((factor, unifier),) = factor_clause(c)
    # Which variable is bound follows the literal order, which the set leaves open.
    assert (factor, unifier) in [(cl(pos(app("S", y, y))), {x: y}), (cl(pos(app("S", x, x))), {y: x})]


# ---------------------------------------------------------------------------
# Subterm positions
# ---------------------------------------------------------------------------

def h():
    return fn("h")


def f2(s, t):
    return fn("f2", s, t)


@pytest.mark.parametrize("term, expected", [
    (x, [x]),
    (a, [a]),
    (h(), [h()]),
    (f2(g(a), a), [f2(g(a), a), g(a), a, a]),
    (5, [5]),  # anything that is no term is a leaf
])
def test_extract_subterms(term, expected):
    assert extract_subterms(term) == expected


@pytest.mark.parametrize("term, target, replacement, expected", [
    (f2(g(a), a), a, b, [f2(g(b), a), f2(g(a), b)]),
    (f2(a, a), a, b, [f2(b, a), f2(a, b)]),
    (g(a), g(a), b, [b]),
    (x, a, b, []),
    (f2(x, a), x, c, [f2(c, a)]),
    (f2(a, a), a, a, [f2(a, a), f2(a, a)]),
    (f2(g(a), g(a)), g(a), f(b), [f2(f(b), g(a)), f2(g(a), f(b))]),
])
def test_replace_subterm(term, target, replacement, expected):
    assert replace_subterm(term, target, replacement) == expected
    assert len(expected) == sum(s == target for s in extract_subterms(term))


def test_replaced_terms_keep_their_header_and_share_children():
    n = fn("k", a, b)
    term = FunctionApp(func="m", arity=2, args=(n, g(a)), return_sort=Nat)
    (result,) = replace_subterm(term, g(a), c)
    assert (result.func, result.arity, result.return_sort, result.sort) == ("m", 2, Nat, Nat)
    assert result.args[0] is term.args[0]


@pytest.mark.parametrize("atom, expected", [
    (app("S", g(x), a), [g(x), x, a]),
    (eq(g(x), a), [g(x), x, a]),
    (Not(P(a)), []),
    (Forall(x, P(x)), []),
    (a, []),
    ("P", []),
])
def test_extract_atom_subterms(atom, expected):
    assert extract_atom_subterms(atom) == expected


@pytest.mark.parametrize("atom, target, replacement, expected", [
    (eq(a, a), a, b, [eq(b, a), eq(a, b)]),
    (app("S", a, a), a, b, [app("S", b, a), app("S", a, b)]),
    (app("S", f(a), x), a, x, [app("S", f(x), x)]),
    (Not(P(a)), a, b, []),
    (Forall(x, P(a)), a, b, []),
    (f(a), a, b, []),
])
def test_replace_atom_subterm(atom, target, replacement, expected):
    assert replace_atom_subterm(atom, target, replacement) == expected
    assert len(expected) == sum(s == target for s in extract_atom_subterms(atom))


def test_replacement_that_is_no_node():
    # A whole term may become any value; inside a node it fails as the node would.
    assert replace_subterm(a, a, 7) == [7]
    assert replace_subterm(3, 3, "x") == ["x"]
    assert replace_subterm(3, 4, "x") == []
    with pytest.raises(Exception, match="Unsupported AST node type"):
        replace_subterm(g(a), a, 7)
    with pytest.raises(Exception, match="Unsupported AST node type"):
        replace_atom_subterm(P(a), a, 7)


def test_deep_term_is_enumerated_without_native_recursion():
    t = a
    for _ in range(5000):
        t = g(t)
    assert len(extract_subterms(t)) == 5001
    try:
        assert len(replace_subterm(t, a, b)) == 1
    except RecursionError:
        pass  # a clear error is as good as a result here


def test_heavily_shared_term_is_refused():
    t = a
    for _ in range(40):
        t = f2(t, t)  # 2**41 - 1 occurrences, 41 distinct nodes
    for call in (lambda: extract_subterms(t), lambda: replace_subterm(t, a, b),
                 lambda: extract_atom_subterms(P(t)), lambda: replace_atom_subterm(eq(t, a), a, b),
                 lambda: paramodulate(cl(pos(eq(a, b))), cl(pos(P(t))))):
        with pytest.raises(ValueError, match="subterm occurrences"):
            call()


# ---------------------------------------------------------------------------
# Paramodulation
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("c1, c2, expected", [
    (cl(pos(P(a))), cl(pos(Q(a))), []),
    (cl(pos(eq(a, b))), cl(pos(P(a))), [(cl(pos(P(b))), {})]),
    (cl(pos(eq(a, b))), cl(neg(P(a))), [(cl(neg(P(b))), {})]),
    (cl(pos(eq(a, b))), cl(pos(P(x))), []),
    (cl(neg(eq(a, b))), cl(pos(P(a))), []),
    (cl(pos(eq(a, b)), neg(Q(a))), cl(pos(P(a))), [(cl(neg(Q(a)), pos(P(b))), {})]),
    (cl(pos(eq(f(x), x))), cl(pos(Q(f(a)))), [(cl(pos(Q(a))), {x: a}), (cl(pos(Q(f(f(a))))), {x: f(a)})]),
    (cl(pos(eq(a, b))), cl(pos(eq(f(a), c))), [(cl(pos(eq(f(b), c))), {})]),
    (cl(pos(eq(a, b))), cl(pos(eq(a, b))), [(cl(pos(eq(b, b))), {}), (cl(pos(eq(a, a))), {})]),
])
def test_paramodulation(c1, c2, expected):
    assert paramodulate(c1, c2) == expected
    assert paramodulate(c1=c1, c2=c2) == expected


def test_paramodulant_merges_a_repeated_literal():
    result = paramodulate(cl(pos(eq(a, b))), cl(pos(P(a)), pos(P(b))))
    assert cl(pos(P(b))) in clauses_of(result)


def test_paramodulants_of_one_subterm_share_their_unifier():
    result = paramodulate(cl(pos(eq(f(x), c))), cl(pos(app("S", f(a), f(a)))))
    assert clauses_of(result) == [cl(pos(app("S", c, f(a)))), cl(pos(app("S", f(a), c)))]
    assert result[0][1] is result[1][1] and result[0][1] == {x: a}


def test_paramodulation_renames_the_target_apart():
    # The target's x is renamed; the unifier speaks of both clauses' variables.
    result = paramodulate(cl(pos(eq(f(x), x))), cl(pos(app("S", f(a), x))))
    assert (cl(pos(app("S", a, v(1)))), {x: a}) in result


# ---------------------------------------------------------------------------
# Soundness on generated clauses: every conclusion holds in every sampled
# interpretation (domain of 1 to 3 elements, equality as identity) that
# satisfies the premises.
# ---------------------------------------------------------------------------

CONSTANTS = [a, b]
VARIABLES = [v(0), v(1)]


def random_term(rng, depth):
    if depth == 0 or rng.random() < 0.45:
        return rng.choice(CONSTANTS + VARIABLES)
    return f(random_term(rng, depth - 1)) if rng.random() < 0.7 else f2(random_term(rng, depth - 1),
                                                                          random_term(rng, depth - 1))


def random_literal(rng):
    kind = rng.random()
    if kind < 0.35:
        atom = P(random_term(rng, 2))
    elif kind < 0.65:
        atom = app("S", random_term(rng, 1), random_term(rng, 1))
    else:
        atom = eq(random_term(rng, 2), random_term(rng, 1))
    return Literal(atom=atom, positive=rng.random() < 0.5)


def random_clause(rng):
    return Clause(frozenset(random_literal(rng) for _ in range(rng.randint(1, 3))))


def random_interpretation(rng, n):
    dom = range(n)
    return {
        "a": rng.randrange(n), "b": rng.randrange(n),
        "f": {d: rng.randrange(n) for d in dom},
        "f2": {(d, e): rng.randrange(n) for d in dom for e in dom},
        "P": {d for d in dom if rng.random() < 0.5},
        "S": {(d, e) for d in dom for e in dom if rng.random() < 0.5},
        "n": n,
    }


def value(term, interp, assignment):
    if isinstance(term, Variable):
        return assignment[term]
    if isinstance(term, Constant):
        return interp[term.name]
    args = tuple(value(t, interp, assignment) for t in term.args)
    return interp[term.func][args[0] if len(args) == 1 else args]


def literal_holds(literal, interp, assignment):
    atom = literal.atom
    if isinstance(atom, Equality):
        truth = value(atom.left, interp, assignment) == value(atom.right, interp, assignment)
    else:
        args = tuple(value(t, interp, assignment) for t in atom.args)
        truth = (args[0] if len(args) == 1 else args) in interp[atom.pred]
    return truth == literal.positive


def clause_holds(clause, interp):
    variables = sorted(clause.free_variables(), key=lambda w: w.id)
    for values in itertools.product(range(interp["n"]), repeat=len(variables)):
        assignment = dict(zip(variables, values))
        if not any(literal_holds(lit, interp, assignment) for lit in clause.literals):
            return False
    return True


def test_the_model_checker_tells_consequences_apart():
    interp = {"a": 0, "b": 1, "f": {0: 0, 1: 0}, "f2": {}, "P": {0}, "S": set(), "n": 2}
    assert clause_holds(cl(pos(P(a))), interp) and not clause_holds(cl(pos(P(b))), interp)
    assert clause_holds(cl(pos(eq(f(x), a))), interp) and not clause_holds(cl(pos(P(x))), interp)


def test_conclusions_are_sound_on_generated_clauses():
    rng = random.Random(20261210)
    checked = 0
    for _ in range(120):
        c1, c2 = random_clause(rng), random_clause(rng)
        conclusions = clauses_of(resolve_clauses(c1, c2)) + clauses_of(paramodulate(c1, c2)) + \
            clauses_of(factor_clause(c1))
        if not conclusions:
            continue
        for n in (1, 2, 3):
            for _ in range(25):
                interp = random_interpretation(rng, n)
                if clause_holds(c1, interp) and clause_holds(c2, interp):
                    checked += 1
                    for conclusion in conclusions:
                        assert clause_holds(conclusion, interp), (c1, c2, conclusion, interp)
    assert checked > 200


def test_every_unifier_explains_its_conclusion():
    rng = random.Random(7)
    for _ in range(150):
        c1, c2 = random_clause(rng), random_clause(rng)
        _, c2_std, _ = standardize_clause_variables(c1, c2)
        for resolvent, unifier, (l1, l2) in resolve_clauses(c1, c2):
            assert l1 in c1.literals and l2 in c2_std.literals
            assert l1.substitute(unifier).atom == l2.substitute(unifier).atom
            # The very unifier of the substitution module, entry order included.
            assert list(unifier.items()) == list(unify_formulas(l1.atom, l2.atom).items())
            rest = (c1.literals - {l1}) | (c2_std.literals - {l2})
            assert Clause(frozenset(rest)).substitute(unifier) == resolvent
        for factor, unifier in factor_clause(c1):
            assert c1.substitute(unifier) == factor and len(factor.literals) < len(c1.literals)
        found = paramodulate(c1, c2)
        assert len(found) == len({p for p, _ in found})
        for paramodulant, unifier in found:
            # sigma is idempotent: applying it again changes nothing.
            assert paramodulant.substitute(unifier) == paramodulant


# ---------------------------------------------------------------------------
# Second-order template instantiation
# ---------------------------------------------------------------------------

PV = PredicateVariable(0, 1, "P")
zero = Constant(name="zero")


def succ(t):
    return fn("succ", t)


def pv(t):
    return app(PV, t)


def induction_schema(bound=v(10), step=v(11)):
    base = pv(zero)
    step_case = Forall(step, Implies(pv(step), pv(succ(step))))
    return ForallPred(variable=PV, body=Implies(And(base, step_case), Forall(bound, pv(bound))))


def saturate(clauses, limit=400):
    """A small binary-resolution loop, shortest clauses first: True when the
    empty clause appears before `limit` clauses are kept."""
    known = list(dict.fromkeys(clauses))
    pending = list(known)
    while pending and len(known) < limit:
        pending.sort(key=lambda k: len(k.literals))
        given = pending.pop(0)
        for other in list(known):
            for resolvent, _, _ in resolve_clauses(given, other):
                if resolvent.is_empty:
                    return True
                if resolvent not in known and not resolvent.is_tautology:
                    known.append(resolvent)
                    pending.append(resolvent)
    return False


def test_rule_record():
    rule = SOLInstantiateRule()
    assert (rule.name, rule.description, rule.rule_type) == (
        "SOLInstantiate", "Second-order logic template instantiation via higher-order pattern matching", "resolution")
    assert isinstance(rule, InferenceRule)
    assert rule == rule and hash(rule) == hash(rule)
    assert rule != SOLInstantiateRule()
    assert rule != InferenceRule(rule.name, rule.description, rule.rule_type, rule.apply)
    assert rule.apply == rule.match_and_instantiate
    assert "SOLInstantiateRule(name='SOLInstantiate'" in repr(rule)
    with pytest.raises(AttributeError):
        rule.name = "other"
    with pytest.raises(TypeError):
        SOLInstantiateRule("x")
    assert rule not in get_resolution_rules()


def test_induction_proof_obligation():
    # Q(zero) and Q(x) -> Q(succ(x)) give forall y Q(y) by induction; with the
    # instance's clauses, resolution refutes the goal's negation Q(sk).
    reset_skolem_counters()
    goal = Forall(y, Q(y))
    clauses = SOLInstantiateRule().match_and_instantiate(induction_schema(), goal)
    assert clauses and all(isinstance(cl_, Clause) for cl_ in clauses)
    mentioned = {lit.atom.pred for cl_ in clauses for lit in cl_.literals}
    assert mentioned == {"Q"}
    facts = [cl(pos(Q(zero))), cl(neg(Q(x)), pos(Q(succ(x))))]
    negated_goal = [cl(neg(Q(c)))]
    assert saturate(clauses + facts + negated_goal)
    # The instance is the goal's induction instance, nothing weaker: without
    # the step case the goal does not follow.
    assert not saturate(clauses + facts[:1] + negated_goal, limit=60)


def test_induction_instance_for_a_goal_binding_the_templates_variable():
    # The goal binds the template's own bound variable and uses another freely.
    reset_skolem_counters()
    goal = Forall(v(11), app("S", v(11), v(10)))
    clauses = SOLInstantiateRule().match_and_instantiate(induction_schema(bound=v(10), step=v(11)), goal)
    facts = [cl(pos(app("S", zero, x))), cl(neg(app("S", x, y)), pos(app("S", succ(x), y)))]
    assert saturate(clauses + facts + [cl(neg(app("S", c, b)))])


def test_template_conclusion_without_implication():
    # forall P forall x P(x): the conclusion is the whole body.
    template = ForallPred(variable=PV, body=Forall(x, pv(x)))
    (clause,) = SOLInstantiateRule().match_and_instantiate(template, Forall(y, app("S", y, a)))
    (w,) = clause.free_variables()
    assert clause == cl(pos(app("S", w, a)))


def test_the_predicate_enters_premise_and_conclusion():
    # forall P (P(a) -> forall x P(x)) with goal forall y Q(y): {~Q(a), Q(x')}.
    template = ForallPred(variable=PV, body=Implies(pv(a), Forall(x, pv(x))))
    (clause,) = SOLInstantiateRule().match_and_instantiate(template, Forall(y, Q(y)))
    (w,) = clause.free_variables()
    assert clause == cl(neg(Q(a)), pos(Q(w)))


def test_direct_match_when_the_goal_is_no_universal():
    C = PredicateVariable(3, 0, "C")
    template = ForallPred(variable=C, body=Implies(R(a), app(C)))
    assert SOLInstantiateRule().match_and_instantiate(template, Q(b)) == [cl(neg(R(a)), pos(Q(b)))]


@pytest.mark.parametrize("template, goal", [
    (P(a), Q(b)),                                    # nothing second order, no universal goal
    (Forall(x, P(x)), Forall(y, Q(y))),              # a first-order template gives no induction instance
    (Implies(P(zero), Forall(x, P(x))), Forall(y, Q(y))),
    (ForallPred(variable=PV, body=Forall(x, pv(f(x)))), Forall(y, Q(y))),  # no match: no induction either
    (induction_schema(), Q(a)),                      # the schema, but no universal goal
])
def test_nothing_to_instantiate(template, goal):
    assert SOLInstantiateRule().match_and_instantiate(template, goal) == []


def test_no_collaborator_runs_when_nothing_applies(monkeypatch):
    import prover.clausifier as clausifier
    import sol.kb_ext as kb
    import sol.substitutions_ext as ext

    def refuse(*args, **kwargs):
        raise AssertionError("must not be called")

    for module, name in ((ext, "ho_pattern_unify"), (ext, "substitute_predicate"), (kb, "instantiate_induction"),
                         (clausifier, "to_cnf")):
        monkeypatch.setattr(module, name, refuse)
    assert SOLInstantiateRule().match_and_instantiate(P(a), Q(b)) == []


@pytest.mark.parametrize("template, goal, path", [
    (ForallPred(variable=PV, body=Implies(pv(a), Forall(x, pv(x)))), Forall(y, Q(y)), "under the binder"),
    (ForallPred(variable=PredicateVariable(3, 0, "C"), body=Implies(R(a), app(PredicateVariable(3, 0, "C")))),
     Q(b), "direct"),
    (induction_schema(), Forall(y, Q(y)), "induction"),
])
def test_the_same_signature_reaches_to_cnf_on_every_path(monkeypatch, template, goal, path):
    import prover.clausifier as clausifier
    import sol.substitutions_ext as ext
    seen, returned = [], [cl(pos(Q(a)))]

    def fake_to_cnf(formula, signature=None):
        seen.append(signature)
        return returned

    monkeypatch.setattr(clausifier, "to_cnf", fake_to_cnf)
    if path == "induction":
        monkeypatch.setattr(ext, "ho_pattern_unify", lambda *args, **kwargs: None)
    marker = object()
    result = SOLInstantiateRule().match_and_instantiate(template, goal, signature=marker)
    assert result == returned and result is not returned and seen == [marker]
    seen.clear()
    SOLInstantiateRule().match_and_instantiate(template, goal)
    assert seen == [None]


def test_induction_when_the_schema_does_not_match(monkeypatch):
    # A match without P falls through to the induction instance of the schema.
    import sol.substitutions_ext as ext
    calls = []

    def fake(pattern, target, bound_vars=None):
        calls.append((pattern, target, bound_vars))
        return {PredicateVariable(9, 1, "Other"): ((x,), Q(x))} if bound_vars else None

    monkeypatch.setattr(ext, "ho_pattern_unify", fake)
    reset_skolem_counters()
    clauses = SOLInstantiateRule().match_and_instantiate(induction_schema(), Forall(y, Q(y)))
    assert len(calls) == 2 and calls[0][2] == {v(10)} and calls[1][2] is None
    assert calls[0][0] == pv(v(10)) and calls[0][1] == Q(v(10))  # the goal's variable aligned
    assert saturate(clauses + [cl(pos(Q(zero))), cl(neg(Q(x)), pos(Q(succ(x)))), cl(neg(Q(c)))])


def test_signature_reaches_to_cnf():
    class Recorder:
        def __init__(self):
            self.constants = []

        def register_constant(self, name, sort):
            self.constants.append(name)

        def register_function(self, *args):
            pass

    recorder = Recorder()
    SOLInstantiateRule().match_and_instantiate(induction_schema(), Forall(y, Q(y)), signature=recorder)
    assert len(recorder.constants) == 1  # the Skolem constant of the step case


def test_apply_rule_runs_the_rule():
    rule = SOLInstantiateRule()
    template = ForallPred(variable=PV, body=Implies(pv(a), Forall(x, pv(x))))
    reset_skolem_counters()
    direct = rule.match_and_instantiate(template, Forall(y, Q(y)))
    reset_skolem_counters()
    assert apply_rule(rule, [template, Forall(y, Q(y))]) == direct
    assert apply_rule(rule, [template], {"target_goal": Forall(y, Q(y)), "signature": None}) == direct


def test_errors_of_the_clausifier_pass_through():
    # The match puts a second-order quantifier into the instance, which to_cnf refuses.
    inner = ForallPred(variable=PredicateVariable(4, 1, "R4"), body=app(PredicateVariable(4, 1, "R4"), v(20)))
    template = ForallPred(variable=PV, body=Forall(x, pv(x)))
    goal = Forall(v(20), inner)
    with pytest.raises(ValueError):
        SOLInstantiateRule().match_and_instantiate(template, goal)


def test_missing_module_fails_every_call(monkeypatch):
    monkeypatch.setitem(sys.modules, "sol.kb_ext", None)
    with pytest.raises(ImportError):
        SOLInstantiateRule().match_and_instantiate(P(a), Q(a))
    with pytest.raises(ImportError):
        SOLInstantiateRule().match_and_instantiate(P(a), Q(a))
