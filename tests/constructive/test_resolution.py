"""Prefixed literals and clauses, prefixed clausification and refutation, the
relational translation with its frame axioms, and the three provers."""

import importlib.util
import os
import random
import subprocess
import sys
import time

import pytest

import constructive.resolution as resolution
from constructive.common import FALSUM, VERUM
from constructive.ljt import prove_ljt
from constructive.matrix import FormulaTree
from constructive.prefix import Prefix, PrefixConstant, PrefixSubstitution, PrefixVariable
from constructive.resolution import (
    ConstructiveResolutionProver,
    PrefixedClause,
    PrefixedLiteral,
    PrefixedResolutionProofResult,
    PrefixedResolutionProver,
    PrefixedResolutionStep,
    TranslationResolutionProver,
    TranslationResolutionResult,
    clausify_prefixed,
    factor_prefixed_clause,
    get_frame_axioms,
    prove_prefixed_resolution,
    prove_resolution,
    prove_translation_resolution,
    resolve_prefixed_clauses,
    translate_ipc_to_fol,
)
from core.ast import And, Constant, Equality, Exists, Forall, Implies, Not, PredicateApp, Variable
from core.exceptions import InvalidFormulaError
from core.parser import to_string
from core.sorts import Ind
from families import FAMILIES
from helpers import atom, conj, disj, iff, imp, interrupt_in_child, neg, probe_half_built, shared, timed_in_child

P, Q, R, A, B = atom("P"), atom("Q"), atom("R"), atom("A"), atom("B")
p, q = atom("p"), atom("q")
HAS_ENGINE = importlib.util.find_spec("prover.engine") is not None


def pre(text):
    if not text:
        return Prefix()
    return Prefix(tuple(PrefixConstant(n) if n.startswith("c") else PrefixVariable(n) for n in text.split(".")))


def lit(text):
    """A literal from its text: "P^1:c0.V1" (falsum as _bot)."""
    head, prefix = text.split(":")
    name, polarity = head.split("^")
    return PrefixedLiteral(pre(prefix), int(polarity), FALSUM if name == "_bot" else atom(name))


def clause(*texts):
    return PrefixedClause(frozenset(lit(t) for t in texts))


def test_public_names():
    assert resolution.__all__ == [
        "PrefixedLiteral", "PrefixedClause", "PrefixedResolutionStep", "PrefixedResolutionProofResult",
        "clausify_prefixed", "resolve_prefixed_clauses", "factor_prefixed_clause", "PrefixedResolutionProver",
        "prove_prefixed_resolution", "translate_ipc_to_fol", "get_frame_axioms", "TranslationResolutionResult",
        "TranslationResolutionProver", "prove_translation_resolution", "ConstructiveResolutionProver",
        "prove_resolution",
    ]
    assert callable(resolution._extract_predicate_names)


def test_objects_made_by_new_alone_do_not_crash():
    status, output = probe_half_built("constructive.resolution")
    assert status == 0 and "survived" in output, output


# ---------------------------------------------------------------------------
# Literals and clauses
# ---------------------------------------------------------------------------
def test_literal_values():
    l = lit("P^1:c0.V1")
    assert l.negate().polarity == 0 and l.negate().negate() == l and l.negate().negate() is not l
    assert hash(l.negate().negate()) == hash(l) and l != l.negate()
    assert len(frozenset([lit("P^1:c0.V1"), lit("P^1:c0.V1")])) == 1
    assert lit("P^1:c0") != lit("P^1:c0.V1")
    assert l.variables() == {PrefixVariable("V1")} and l.constants() == {PrefixConstant("c0")}
    assert lit("P^1:c0.c1").variables() == set()
    s = PrefixSubstitution().bind(PrefixVariable("V1"), (PrefixConstant("c1"),))
    assert l.substitute(s) == lit("P^1:c0.c1") and l == lit("P^1:c0.V1")
    with pytest.raises(AttributeError):
        l.polarity = 0
    assert PrefixedLiteral(prefix=pre("c0"), polarity=7, atom=P).polarity == 7


@pytest.mark.parametrize(
    "literal, text",
    [
        (PrefixedLiteral(pre("c0"), 1, P), "P^1:c0"),
        (PrefixedLiteral(pre("c0.c1"), 0, Q), "Q^0:c0.c1"),
        (PrefixedLiteral(pre("c0.V2"), 1, FALSUM), "_bot^1:c0.V2"),
        (PrefixedLiteral(pre("c0"), 0, FALSUM), "_bot^0:c0"),
        (PrefixedLiteral(pre("c0"), 0, VERUM), "_top^0:c0"),
        (PrefixedLiteral(Prefix(), 1, P), "P^1:"),
    ],
)
def test_literal_text(literal, text):
    assert literal.to_string() == text == str(literal)


def test_clause_values():
    empty = PrefixedClause()
    assert len(empty) == 0 and empty.is_empty() and not empty and str(empty) == "[]"
    assert empty.variables() == set() and empty.constants() == set()
    assert empty.substitute(PrefixSubstitution()) == empty
    a = PrefixedClause(frozenset([lit("Q^0:c0.c1"), lit("P^1:c0")]))
    b = PrefixedClause(literals=frozenset([lit("P^1:c0"), lit("Q^0:c0.c1")]))
    assert a == b and hash(a) == hash(b) and str(a) == str(b) == "[ P^1:c0, Q^0:c0.c1 ]"
    assert a.literals == frozenset([lit("P^1:c0"), lit("Q^0:c0.c1")])
    assert str(clause("P^1:c0")) == "[ P^1:c0 ]"
    # sorted by code point: capitals, then the underscore, then lower case
    assert str(clause("p^0:c0", "_bot^1:c0", "P^1:c0")) == "[ P^1:c0, _bot^1:c0, p^0:c0 ]"
    merged = clause("P^1:c0.V1", "P^1:c0.c0").substitute(PrefixSubstitution().bind(PrefixVariable("V1"), pre("c0").symbols))
    assert len(merged) == 1
    assert clause("P^1:c0.V1", "Q^0:c0.V1").variables() == {PrefixVariable("V1")}
    with pytest.raises(TypeError):
        PrefixedClause(frozenset(["P"]))
    with pytest.raises(AttributeError):
        a.literals = frozenset()


def test_clause_text_keeps_different_literals_with_equal_texts():
    two_ps = PrefixedClause(frozenset([PrefixedLiteral(pre("c0"), 1, P),
                                       PrefixedLiteral(pre("c0"), 1, PredicateApp(pred="P", arity=1, args=(Constant("a"),)))]))
    assert len(two_ps) == 2 and str(two_ps).startswith("[ P")


# ---------------------------------------------------------------------------
# Clausification
# ---------------------------------------------------------------------------
def texts(clauses):
    return [str(c) for c in clauses]


@pytest.mark.parametrize(
    "target, premises, multiplicity, expected",
    [
        (P, None, 1, ["[ P^0:c0 ]"]),
        (imp(P, P), None, 1, ["[ P^0:c0.c1, P^1:c0.c1.V1 ]"]),
        (conj(P, Q), None, 1, ["[ P^0:c0 ]", "[ Q^0:c0 ]"]),
        (disj(P, P), None, 1, ["[ P^0:c0 ]"]),
        (conj(P, P), None, 1, ["[ P^0:c0 ]", "[ P^0:c0 ]"]),
        (B, [A], 1, ["[ A^1:c0.V1, B^0:c0 ]"]),
        (B, [imp(A, B)], 2, ["[ A^0:c0.V1, A^0:c0.V3, B^0:c0 ]", "[ A^0:c0.V1, B^0:c0, B^1:c0.V3.V4 ]",
                             "[ A^0:c0.V3, B^0:c0, B^1:c0.V1.V2 ]", "[ B^0:c0, B^1:c0.V1.V2, B^1:c0.V3.V4 ]"]),
        (P, [FALSUM], 0, ["[ P^0:c0, _bot^1:c0 ]"]),
        (P, (), -2, ["[ P^0:c0 ]"]),
    ],
)
def test_clausify(target, premises, multiplicity, expected):
    clauses, tree = clausify_prefixed(target=target, premises=premises, multiplicity=multiplicity)
    assert texts(clauses) == expected
    assert isinstance(tree, FormulaTree) and tree.multiplicity == max(multiplicity, 1)
    assert len(clauses) == len(tree.get_paths())


# ---------------------------------------------------------------------------
# Steps and results
# ---------------------------------------------------------------------------
def test_step_record():
    a = PrefixedResolutionStep("init_1", "initial", (), clause("P^1:c0"))
    b = PrefixedResolutionStep(id="init_1", rule_name="initial", premise_ids=(), clause=clause("P^1:c0"))
    assert a == b and hash(a) == hash(b) and a.parent_literals is None
    assert a.substitution == PrefixSubstitution() and a.substitution is not b.substitution
    d = a.to_dict()
    assert list(d) == ["id", "rule", "premises", "clause", "substitution"]
    assert d == {"id": "init_1", "rule": "initial", "premises": [], "clause": "[ P^1:c0 ]", "substitution": {}}
    d["premises"].append("x")
    assert a.premise_ids == ()
    with pytest.raises(AttributeError):
        a.id = "s1"


def test_result_with_nothing_renders_four_lines():
    r = PrefixedResolutionProofResult(False, P, (), (), None, PrefixSubstitution(), 2)
    assert r.to_string() == "=== Prefixed Resolution Proof (IPC) ===\nTarget: P\nStatus: UNPROVABLE\nMultiplicity: 2"
    d = r.to_dict()
    assert list(d) == ["is_valid", "target", "premises", "multiplicity", "empty_clause_id", "substitution", "steps"]
    assert d == {"is_valid": False, "target": "P", "premises": [], "multiplicity": 2, "empty_clause_id": None,
                 "substitution": {}, "steps": []}
    with pytest.raises(TypeError):
        hash(r)
    r.multiplicity = 3
    assert r.multiplicity == 3


@pytest.mark.parametrize(
    "step",
    [
        PrefixedResolutionStep(3, "initial", (), PrefixedClause()),
        PrefixedResolutionStep("s2", None, (), PrefixedClause()),
        PrefixedResolutionStep("s2", "resolution", (1,), PrefixedClause()),
    ],
    ids=["id", "rule", "premise id"],
)
def test_a_report_of_fields_that_are_no_texts_is_a_type_error(step):
    r = PrefixedResolutionProofResult(True, P, (), (step,), None, PrefixSubstitution(), 1)
    with pytest.raises(TypeError):
        r.to_string()
    assert r.steps == (step,)


def test_report_of_an_implication():
    r = prove_prefixed_resolution(imp(P, P))
    assert str(r) == r.to_string() == "\n".join([
        "=== Prefixed Resolution Proof (IPC) ===",
        "Target: (P => P)",
        "Status: VALID (Intuitionistically Proven)",
        "Multiplicity: 1",
        "Derivation Steps:",
        "  [init_1] [ P^0:c0.c1, P^1:c0.c1.V1 ] (initial)",
        "  [s2] [] (resolution from init_1)",
        "  [s3] [] (empty_clause from init_1, s2)",
        "Prefix Substitution:",
        "  sigma(V1) = ",
    ])
    assert r.to_dict() == {
        "is_valid": True, "target": "(P => P)", "premises": [], "multiplicity": 1, "empty_clause_id": "s3",
        "substitution": {"V1": ""},
        "steps": [
            {"id": "init_1", "rule": "initial", "premises": [], "clause": "[ P^0:c0.c1, P^1:c0.c1.V1 ]", "substitution": {}},
            {"id": "s2", "rule": "resolution", "premises": ["init_1"], "clause": "[]", "substitution": {"V1": ""}},
            {"id": "s3", "rule": "empty_clause", "premises": ["init_1", "s2"], "clause": "[]", "substitution": {"V1": ""}},
        ],
    }
    assert r.steps[1].parent_literals == (lit("P^1:c0.c1.V1"), lit("P^0:c0.c1"))
    assert r.premises == () and r.target == imp(P, P)


def test_report_with_premises():
    r = prove_prefixed_resolution(B, premises=[A, imp(A, B)])
    lines = r.to_string().split("\n")
    assert lines[2] == "Premises: A, (A => B)"
    assert r.premises == (A, imp(A, B))


# ---------------------------------------------------------------------------
# Refutation search
# ---------------------------------------------------------------------------
def search(clauses):
    tree = FormulaTree(P)
    return PrefixedResolutionProver()._search_refutation(target=P, premises=(), initial_clauses=clauses, tree=tree,
                                                         multiplicity=1)


def steps_of(result):
    return [(s.id, s.rule_name, s.premise_ids) for s in result.steps]


@pytest.mark.parametrize(
    "clauses, expected",
    [
        ([], [("s1", "empty_clause", ())]),
        ([clause("_bot^1:c0", "P^0:c0")], [("init_1", "initial", ()), ("s2", "empty_clause", ("init_1",))]),
        ([clause("P^1:c0", "P^0:c0"), clause("_bot^1:c0")],
         [("init_1", "initial", ()), ("init_2", "initial", ()), ("s3", "empty_clause", ("init_1", "init_2"))]),
        ([clause("P^1:c0.V1", "P^0:c0.c0")],
         [("init_1", "initial", ()), ("s2", "resolution", ("init_1",)), ("s3", "empty_clause", ("init_1", "s2"))]),
        # a goal of verum closes its path
        ([clause("_top^0:c0", "P^1:c0")], [("init_1", "initial", ()), ("s2", "empty_clause", ("init_1",))]),
    ],
)
def test_search_edge_cases(clauses, expected):
    r = search(clauses)
    assert steps_of(r) == expected
    assert r.empty_clause_id == expected[-1][0]


@pytest.mark.parametrize("clauses", [[PrefixedClause()], [clause("P^1:c0", "Q^0:c0")], [clause("P^1:c0.c1", "P^0:c0")]])
def test_search_without_refutation(clauses):
    assert search(clauses) is None


def test_search_closes_the_clause_with_fewer_pairs_first():
    many = clause("P^1:c0.V1", "P^0:c0", "Q^1:c0.V2", "Q^0:c0")
    few = clause("R^1:c0.V3", "R^0:c0")
    r = search([many, few])
    assert steps_of(r)[2] == ("s3", "resolution", ("init_2",))
    # closing the first clause with V1 := empty also closes a copy of it
    r = search([clause("P^1:c0.V1", "P^0:c0"), clause("P^1:c0.V1", "P^0:c0", "Q^0:c0")])
    assert [s.rule_name for s in r.steps].count("resolution") == 1
    # three steps and more before the end: the last two are named
    r = search([clause("P^1:c0.V1", "P^0:c0"), clause("Q^1:c0.V2", "Q^0:c0")])
    assert steps_of(r)[-1] == ("s5", "empty_clause", ("s3", "s4"))


def test_search_skips_inadmissible_unifiers_and_numbers_failed_tries():
    tree = FormulaTree(B, premises=[imp(A, B)], multiplicity=2)  # V2 lies below V1
    prover = PrefixedResolutionProver()
    # V1 := V2.c5 would close the clause but the order forbids it
    assert prover._search_refutation(B, (), [clause("A^1:c0.V1", "A^0:c0.V2.c5")], tree, 2) is None
    # the first unifier of the pair (V1 empty) leads to a dead end, the second one works
    two = [clause("P^1:c0.V1.V3", "P^0:c0.V5.V6"), clause("Q^1:c0.V1", "Q^0:c0.c7")]
    r = prover._search_refutation(P, (), two, tree, 2)
    assert steps_of(r)[2:] == [("s4", "resolution", ("init_1",)), ("s5", "resolution", ("init_2",)),
                               ("s6", "empty_clause", ("s4", "s5"))]
    assert r.substitution.to_dict() == {"V5": "", "V6": "c7.V3", "V1": "c7"}


# ---------------------------------------------------------------------------
# Resolution and factoring
# ---------------------------------------------------------------------------
def test_resolve_and_factor():
    out = resolve_prefixed_clauses(clause("P^1:c0.V1"), clause("P^0:c0.c0"))
    assert len(out) == 1
    new, unifier, l1, l2 = out[0]
    assert new.is_empty() and unifier.to_dict() == {"V1": "c0"}
    assert (l1, l2) == (lit("P^1:c0.V1"), lit("P^0:c0.c0"))
    assert resolve_prefixed_clauses(clause("P^1:c0"), clause("Q^0:c0")) == []
    assert resolve_prefixed_clauses(clause("P^1:c0"), clause("P^1:c0")) == []
    assert resolve_prefixed_clauses(PrefixedClause(), clause("P^0:c0")) == []
    assert resolve_prefixed_clauses(clause("P^1:c0.c1"), clause("P^0:c0")) == []
    start = PrefixSubstitution().bind(PrefixVariable("V2"), ())
    out = resolve_prefixed_clauses(clause("P^1:c0.V1", "Q^0:c0.V1"), clause("P^0:c0.c0", "Q^0:c0.c0"), subst=start)
    assert [str(c) for c, *_ in out] == ["[ Q^0:c0.c0 ]"] and out[0][1].to_dict() == {"V2": "", "V1": "c0"}
    assert start.to_dict() == {"V2": ""}
    factors = factor_prefixed_clause(clause("P^1:c0.V1", "P^1:c0.c0"))
    assert len(factors) == 1 and len(factors[0][0]) == 1
    assert factor_prefixed_clause(clause("P^1:c0")) == []
    assert factor_prefixed_clause(clause("P^1:c0.V1", "P^0:c0.c0")) == []
    three = factor_prefixed_clause(clause("P^1:c0.V1", "P^1:c0.V2", "P^1:c0.V3", "Q^0:c0.V1"))
    assert [(str(a), str(b)) for _, _, a, b in three] == [
        ("P^1:c0.V1", "P^1:c0.V2"), ("P^1:c0.V1", "P^1:c0.V3"), ("P^1:c0.V2", "P^1:c0.V3")]
    assert "Q^0:c0.V2" in str(three[0][0])  # the bystander is instantiated too


def test_resolution_with_a_tree_keeps_admissible_unifiers_only():
    tree = FormulaTree(B, premises=[imp(A, B)], multiplicity=2)
    c1, c2 = clause("A^1:c0.V1"), clause("A^0:c0.V2")
    assert len(resolve_prefixed_clauses(c1, c2)) == 1
    assert resolve_prefixed_clauses(c1, c2, tree=tree) == []


# ---------------------------------------------------------------------------
# The prefixed prover
# ---------------------------------------------------------------------------
def test_prefixed_prover_settings_and_levels():
    assert (PrefixedResolutionProver(0, -4).max_multiplicity, PrefixedResolutionProver(0, -4).max_steps) == (1, 1)
    dneg_lem = neg(neg(disj(p, neg(p))))
    assert prove_prefixed_resolution(dneg_lem, max_multiplicity=1) is None
    r = prove_prefixed_resolution(dneg_lem)
    assert r.multiplicity == 2 and r.is_valid
    assert r.target == imp(imp(disj(p, imp(p, FALSUM)), FALSUM), FALSUM)
    for premises in (None, [], ()):
        assert prove_prefixed_resolution(imp(P, P), premises=premises).premises == ()


CLASSICAL = [
    disj(p, neg(p)),
    imp(imp(imp(p, q), p), p),
    imp(neg(neg(p)), p),
    disj(imp(p, q), imp(q, p)),
    imp(imp(imp(p, q), q), disj(p, q)),
]


# ---------------------------------------------------------------------------
# Bounds of the prefixed attempt
# ---------------------------------------------------------------------------
HUGE = 2**70
PREFIXED_ENTRIES = {
    "function": lambda f: prove_prefixed_resolution(f, (), HUGE),
    "prover": lambda f: PrefixedResolutionProver(max_multiplicity=HUGE).prove(f),
    "combined": lambda f: ConstructiveResolutionProver("prefixed", HUGE).prove(f),
    "prove_resolution": lambda f: prove_resolution(f, method="prefixed", max_multiplicity=HUGE),
}


@pytest.mark.parametrize("entry", PREFIXED_ENTRIES)
@pytest.mark.parametrize(
    "formula, multiplicity",
    [
        (PredicateApp(pred="P", arity=1, args=(Constant("x"),)), None),  # no copies: every level is the first
        (disj(p, neg(p)), None),
        (neg(neg(disj(p, neg(p)))), 2),
    ],
    ids=["atom with arguments", "excluded middle", "double negation of excluded middle"],
)
def test_a_huge_multiplicity_bound_ends_soon(entry, formula, multiplicity):
    start = time.monotonic()
    r = PREFIXED_ENTRIES[entry](formula)
    assert (r and r.multiplicity) == multiplicity
    assert time.monotonic() - start < 20


@pytest.mark.parametrize("name, n", [("debruijn", 1), ("debruijn", 3), ("debruijn_even", 3), ("pigeon", 3)])
def test_large_matrices_end_within_the_budget(name, n):
    # thousands of clauses: the budget counts the clauses tested at each step, not only the steps
    start = time.monotonic()
    r = prove_prefixed_resolution(FAMILIES[name][0](n))
    assert r is None or r.is_valid
    assert time.monotonic() - start < 20


PAIRS = [disj(atom(f"p{i}"), atom(f"q{i}")) for i in range(21)]
DNEG_LEM_R = neg(neg(disj(atom("r"), neg(atom("r")))))


def test_no_path_count_ends_the_levels_before_the_memory_caps():
    # 13 premises p_i | q_i: the proof is at multiplicity 2, on 32 768 clauses
    r = prove_prefixed_resolution(DNEG_LEM_R, PAIRS[:13])
    assert r.multiplicity == 2
    assert sum(step.rule_name == "initial" for step in r.steps) == 32768
    # 21 premises: 2^21 paths at the first level, more than memory lets a matrix hold
    assert prove_prefixed_resolution(DNEG_LEM_R, PAIRS) is None
    with pytest.raises(ValueError, match="too many paths"):
        clausify_prefixed(DNEG_LEM_R, PAIRS)


def test_max_steps_changes_nothing_in_the_prefixed_search():
    r = atom("r")
    target, premise = imp(imp(p, r), disj(imp(q, r), p)), imp(imp(p, r), imp(q, p))
    found = [prove_prefixed_resolution(target, [premise], max_steps=n) for n in (1, 1000, 10**30)]
    assert found[0] is not None and found[0] == found[1] == found[2]


def test_auto_runs_the_prefixed_attempt_to_its_end():
    # the time bound is the translation's: the prefixed proof takes longer than it
    found = prove_resolution(DNEG_LEM_R, premises=PAIRS[:11], method="auto", timeout_sec=0.1)
    assert isinstance(found, PrefixedResolutionProofResult) and found.multiplicity == 2


@pytest.mark.parametrize(
    "make, settings",
    [
        (lambda: PrefixedResolutionProver(), {"max_multiplicity": 1, "max_steps": 5}),
        (lambda: TranslationResolutionProver(), {"max_steps": 7, "timeout_sec": 2}),
        (lambda: ConstructiveResolutionProver(), {"max_multiplicity": 1, "max_steps": 7, "timeout_sec": 2,
                                                  "method": "translation"}),
    ],
    ids=["prefixed", "translation", "combined"],
)
def test_settings_are_plain_attributes(make, settings):
    prover = make()
    for name, value in settings.items():
        setattr(prover, name, value)
        assert getattr(prover, name) == value and type(getattr(prover, name)) is type(value)
    prover.max_steps = 2**80  # kept as given; read as a 64-bit count where it is used
    assert prover.max_steps == 2**80


def test_prove_reads_the_settings_on_every_call(monkeypatch):
    dneg_lem = neg(neg(disj(p, neg(p))))
    prover = PrefixedResolutionProver()
    assert prover.prove(dneg_lem).multiplicity == 2
    prover.max_multiplicity = 1
    assert prover.prove(dneg_lem) is None
    prover.max_multiplicity = 0  # only the constructor raises a setting to 1: no level is tried
    assert prover.prove(imp(P, P)) is None
    seen = []

    class Recording(TranslationResolutionProver):
        def prove(self, target, premises=None):
            seen.append((self.max_steps, self.timeout_sec))
            return None

    monkeypatch.setattr(resolution, "TranslationResolutionProver", Recording)
    combined = ConstructiveResolutionProver("translation")
    combined.max_steps, combined.timeout_sec = 42, 3.5
    combined.prove(P)
    combined.method = "auto"
    combined.max_multiplicity = 1
    combined.prove(dneg_lem)
    assert seen == [(42, 3.5), (42, 3.5)]


def test_settings_of_any_size_are_kept():
    assert PrefixedResolutionProver(max_multiplicity=2**70).max_multiplicity == 2**70
    assert ConstructiveResolutionProver(max_multiplicity=2**70, max_steps=2**70).max_steps == 2**70
    assert TranslationResolutionProver(max_steps=2**70).max_steps == 2**70
    assert PrefixedResolutionProver(max_multiplicity=2**70).prove(imp(P, P)).multiplicity == 1


@pytest.mark.parametrize(
    "target, multiplicity, error",
    [
        (CLASSICAL[1], HUGE, "too many paths"),
        (CLASSICAL[1], 10**6, "too many paths"),
        (CLASSICAL[1], 25, r"33554432 paths"),  # the count of the tree it would build, which it does not
    ],
)
def test_clausify_refuses_a_matrix_too_large_before_building_it(target, multiplicity, error):
    start = time.monotonic()
    with pytest.raises(ValueError, match=error):
        clausify_prefixed(target, multiplicity=multiplicity)
    assert time.monotonic() - start < 20


def test_clausify_at_a_huge_multiplicity_without_copies():
    clauses, tree = clausify_prefixed(conj(P, Q), multiplicity=10**15)
    assert texts(clauses) == ["[ P^0:c0 ]", "[ Q^0:c0 ]"] and tree.multiplicity == 10**15
    assert texts(clausify_prefixed(P, multiplicity=-HUGE)[0]) == ["[ P^0:c0 ]"]


# 2**60 occurrences of P -> Q as a tree, a few nodes in memory
HEAVILY_SHARED = shared(60, base=imp(P, Q))


def test_heavily_shared_formulas():
    assert resolution._extract_predicate_names(HEAVILY_SHARED) == {"P", "Q"}
    assert prove_prefixed_resolution(imp(HEAVILY_SHARED, P)) is None  # a tree too large at every level
    # more positions than a tree may hold, though few enough leaves to list: not tried either
    assert prove_prefixed_resolution(imp(shared(21, base=imp(P, Q)), P)) is None
    with pytest.raises(ValueError, match="too many leaves"):
        clausify_prefixed(HEAVILY_SHARED)
    for attempt in (lambda: translate_ipc_to_fol(HEAVILY_SHARED),
                    lambda: prove_resolution(HEAVILY_SHARED, method="auto")):
        with pytest.raises(ValueError, match="too large for the relational translation"):
            attempt()


# The search is repeated until the signal comes, so that it lands wherever
# the search happens to be: building a tree, listing its clauses (a quarter
# of a million at the fourth multiplicity), searching or letting go of them.
@pytest.mark.parametrize("wait", [0.3, 0.8, 1.5])
def test_the_prefixed_search_stops_on_ctrl_c(wait):
    answer, seconds, after, status = interrupt_in_child(
        "from families import BENCHMARK_FAMILIES\nfrom constructive.resolution import prove_prefixed_resolution\n"
        "from core.ast import Implies, PredicateApp\np = PredicateApp('p', 0, ())\n"
        "target, premises = BENCHMARK_FAMILIES['pigeon_invalid'][0](2)",
        "while True:\n    prove_prefixed_resolution(target, premises, max_multiplicity=50)",
        "print(prove_prefixed_resolution(Implies(p, p)).is_valid)",
        wait=wait,
    )
    assert (answer, after, status) == ("interrupted", "True", 0)
    assert seconds < 0.3, seconds


def test_derivations_do_not_depend_on_the_hash_seed():
    code = ("from constructive.resolution import prove_prefixed_resolution\n"
            "from core.ast import Not, Or, PredicateApp\n"
            "p, q = PredicateApp('p', 0, ()), PredicateApp('q', 0, ())\n"
            "print(prove_prefixed_resolution(Not(Not(Or(p, Or(q, Not(Or(p, q))))))))")
    reports = set()
    for seed in ("1", "2", "3"):
        child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                               env=dict(os.environ, PYTHONHASHSEED=seed))
        assert child.returncode == 0, child.stderr
        reports.add(child.stdout)
    assert len(reports) == 1 and "Derivation Steps:" in reports.pop()


@pytest.mark.parametrize("formula", CLASSICAL, ids=to_string)
def test_classical_laws_are_not_proved_by_the_prefixed_method(formula):
    start = time.monotonic()
    assert prove_prefixed_resolution(formula) is None
    assert prove_resolution(formula, method="prefixed", timeout_sec=2) is None
    assert time.monotonic() - start < 30


def random_formulas(count, seed):
    rng = random.Random(seed)
    names = [atom(n) for n in "pqrs"]

    def build(d):
        if d == 0 or rng.random() < 0.25:
            return rng.choice(names + [FALSUM])
        return rng.choice([conj, disj, imp, imp, lambda a, b: neg(a)])(build(d - 1), build(d - 1))

    return [build(4) for _ in range(count)]


def test_prefixed_method_is_sound_and_finds_most_theorems():
    formulas = random_formulas(400, seed=11)
    proved = theorems = 0
    for f in formulas:
        valid = prove_ljt(f) is not None
        theorems += valid
        if prove_prefixed_resolution(f) is not None:
            assert valid, to_string(f)
            proved += 1
    assert theorems > 30 and proved >= 0.8 * theorems


# ---------------------------------------------------------------------------
# Relational translation and frame axioms
# ---------------------------------------------------------------------------
W0 = Constant(name="w0", sort=Ind)


def u(i):
    return Variable(id=i, sort=Ind)


def at(name, world):
    return PredicateApp(pred=name, arity=1, args=(world,))


def rel(a, b):
    return PredicateApp(pred="R", arity=2, args=(a, b))


@pytest.mark.parametrize(
    "formula, expected",
    [
        (P, at("P", W0)),
        (imp(P, P), Forall(variable=u(1), body=Implies(And(rel(W0, u(1)), at("P", u(1))), at("P", u(1))))),
        (neg(P), Forall(variable=u(1), body=Implies(rel(W0, u(1)), Not(at("P", u(1)))))),
        (FALSUM, FALSUM),
        (conj(P, FALSUM), And(at("P", W0), FALSUM)),
        (imp(imp(P, Q), neg(P)),
         Forall(variable=u(1), body=Implies(
             And(rel(W0, u(1)), Forall(variable=u(2), body=Implies(And(rel(u(1), u(2)), at("P", u(2))), at("Q", u(2))))),
             Forall(variable=u(3), body=Implies(rel(u(1), u(3)), Not(at("P", u(3)))))))),
    ],
)
def test_translation(formula, expected):
    assert translate_ipc_to_fol(formula) == expected
    assert translate_ipc_to_fol(formula) == translate_ipc_to_fol(formula)


def test_translation_of_an_equivalence_goes_through_normalisation():
    out = translate_ipc_to_fol(iff(P, Q))
    assert isinstance(out, And) and isinstance(out.left, Forall)


def test_translation_counter_and_world():
    counter = [5]
    out = translate_ipc_to_fol(imp(P, neg(Q)), var_counter=counter)
    assert out.variable.id == 5 and counter == [7]
    counter = [3]
    translate_ipc_to_fol(conj(P, Q), None, counter)
    assert counter == [3]
    t = Constant("t")
    out = translate_ipc_to_fol(disj(P, imp(Q, R)), world_term=t)
    assert out.left == at("P", t) and out.right.body.left.left == rel(t, u(1))
    counter = [-1]
    with pytest.raises(InvalidFormulaError, match=r"Variable ID must be non-negative, got -1\."):
        translate_ipc_to_fol(imp(P, P), var_counter=counter)
    assert counter == [-1]
    counter = [2**63 - 1]
    with pytest.raises(OverflowError, match="64 bits"):
        translate_ipc_to_fol(imp(P, P), var_counter=counter)
    assert counter == [2**63 - 1]


@pytest.mark.parametrize(
    "formula, name",
    [
        (PredicateApp(pred="P", arity=1, args=(Constant("a"),)), "PredicateApp"),
        (Equality(Constant("a"), Constant("b")), "Equality"),
        (conj(P, Forall(variable=Variable(1), body=P)), "Forall"),
        (imp(Exists(variable=Variable(1), body=P), P), "Exists"),
    ],
)
def test_translation_refuses_what_is_not_propositional(formula, name):
    with pytest.raises(ValueError, match=name):
        translate_ipc_to_fol(formula)


def test_predicate_names():
    names = resolution._extract_predicate_names
    assert names(imp(P, Q)) == {"P", "Q"}
    assert names(Not(conj(P, FALSUM))) == {"P"}
    assert names(Forall(variable=Variable(1), body=P)) == set()
    assert names(Equality(Constant("a"), Constant("b"))) == set()
    assert names(disj(atom("R"), VERUM)) == {"R"}


def monotonicity(name):
    x, y = u(1), u(2)
    return Forall(variable=x, body=Forall(variable=y, body=Implies(And(at(name, x), rel(x, y)), at(name, y))))


REFLEXIVITY = Forall(variable=u(1), body=rel(u(1), u(1)))
TRANSITIVITY = Forall(variable=u(1), body=Forall(variable=u(2), body=Forall(
    variable=u(3), body=Implies(And(rel(u(1), u(2)), rel(u(2), u(3))), rel(u(1), u(3))))))


@pytest.mark.parametrize(
    "names, expected",
    [
        ([], []),
        (["P"], ["P"]),
        (["Q", "P", "Q"], ["P", "Q"]),
        (("R", "_bot", "_top"), []),
        ({"b", "_x", "A"}, ["A", "_x", "b"]),
    ],
)
def test_frame_axioms(names, expected):
    axioms = get_frame_axioms(names)
    assert axioms == [REFLEXIVITY, TRANSITIVITY] + [monotonicity(n) for n in expected]
    assert get_frame_axioms(atomic_predicates=names) is not axioms


def test_frame_axiom_errors():
    with pytest.raises(TypeError):
        get_frame_axioms(["P", 3])
    with pytest.raises(InvalidFormulaError, match="Predicate name cannot be empty."):
        get_frame_axioms(["", "P"])


# ---------------------------------------------------------------------------
# The translation prover with a stand-in engine
# ---------------------------------------------------------------------------
class Recorder:
    """Stand-ins for the signature, configuration, engine and proof record."""

    def __init__(self, outcome):
        self.calls = []
        self.outcome = outcome
        rec = self

        class Signature:
            def __init__(self):
                rec.calls.append(("Signature",))

            def register_predicate(self, *args, **kw):
                rec.calls.append(("register_predicate", args, kw))

            def register_constant(self, *args, **kw):
                rec.calls.append(("register_constant", args, kw))

        class SolverConfig:
            def __init__(self, **kw):
                rec.calls.append(("SolverConfig", kw))

        class ProofDAG:
            def __init__(self, steps):
                self.steps = steps

        class TheoremProver:
            def __init__(self, **kw):
                rec.calls.append(("TheoremProver", tuple(kw)))

            def prove(self, **kw):
                rec.calls.append(("prove", kw))
                if isinstance(rec.outcome, BaseException):
                    raise rec.outcome
                return rec.outcome(ProofDAG) if callable(rec.outcome) else rec.outcome

        self.classes = dict(Signature=Signature, SolverConfig=SolverConfig, TheoremProver=TheoremProver,
                            ProofDAG=ProofDAG)

    def install(self, monkeypatch):
        for name, cls in self.classes.items():
            monkeypatch.setattr(resolution, name, cls, raising=False)
        return self


def test_translation_prover_hands_the_engine_exactly_its_problem(monkeypatch):
    rec = Recorder(lambda dag: dag(["a", "b", "c"])).install(monkeypatch)
    r = prove_translation_resolution(Q, premises=[P, imp(P, Q)], max_steps=0, timeout_sec=5)
    ind = (Ind,)
    assert rec.calls[:5] == [
        ("Signature",),
        ("register_predicate", ("R", 2, (Ind, Ind)), {}),
        ("register_predicate", ("P", 1, ind), {}),
        ("register_predicate", ("Q", 1, ind), {}),
        ("register_constant", ("w0", Ind), {}),
    ]
    assert rec.calls[5] == ("SolverConfig", {"prover_max_steps": 1, "prover_timeout_sec": 5.0})
    assert rec.calls[6] == ("TheoremProver", ("signature", "config"))
    prove = rec.calls[7][1]
    assert list(prove) == ["target", "premises", "max_steps", "timeout_sec"]
    assert prove["target"] == at("Q", W0) and (prove["max_steps"], prove["timeout_sec"]) == (1, 5.0)
    axioms = [REFLEXIVITY, TRANSITIVITY, monotonicity("P"), monotonicity("Q")]
    assert prove["premises"] == axioms + [at("P", W0), translate_ipc_to_fol(imp(P, Q))]
    assert isinstance(r, TranslationResolutionResult) and r.is_valid
    assert r.premises_fol == tuple(prove["premises"]) and r.frame_axioms == tuple(axioms)
    assert r.target_ipc == Q and r.premises_ipc == (P, imp(P, Q))
    assert r.to_string().split("\n") == [
        "=== Relational Translation Resolution Proof (IPC -> FOL) ===",
        "Target (IPC): Q",
        "Premises (IPC): P, (P => Q)",
        "Target (FOL): Q(w0)",
        "Status: VALID (Proven via FOL Superposition/Resolution)",
        "Frame Axioms Count: 4",
        "Reconstructed Proof Steps: 3",
    ]
    d = r.to_dict()
    assert list(d) == ["is_valid", "target_ipc", "premises_ipc", "target_fol", "premises_fol", "frame_axioms",
                       "has_proof_dag"]
    assert d["has_proof_dag"] is True and d["premises_ipc"] == ["P", "(P => Q)"]


@pytest.mark.parametrize("outcome", [RuntimeError("no proof"), ValueError("bound"), None, "not a proof record"])
def test_translation_prover_answers_none_without_a_proof(monkeypatch, outcome):
    Recorder(outcome).install(monkeypatch)
    assert TranslationResolutionProver().prove(P) is None


@pytest.mark.parametrize(
    "attempt",
    [
        lambda: TranslationResolutionProver().prove(P),
        lambda: prove_resolution(P, method="translation"),
        lambda: prove_resolution(disj(p, neg(p)), method="auto"),
    ],
    ids=["prover", "translation", "auto"],
)
def test_interrupts_pass_through(monkeypatch, attempt):
    Recorder(KeyboardInterrupt()).install(monkeypatch)
    with pytest.raises(KeyboardInterrupt):
        attempt()


def test_translation_prover_settings_and_empty_problems(monkeypatch):
    assert (TranslationResolutionProver(-3, 0).max_steps, TranslationResolutionProver(-3, 0).timeout_sec) == (1, 0.1)
    assert TranslationResolutionProver(timeout_sec=5).timeout_sec == 5.0
    rec = Recorder(lambda dag: dag([])).install(monkeypatch)
    r = TranslationResolutionProver().prove(imp(FALSUM, FALSUM), premises=())
    assert [c[1][0] for c in rec.calls if c[0] == "register_predicate"] == ["R"]
    assert r.premises_fol == r.frame_axioms and len(r.frame_axioms) == 2
    assert "Premises (IPC)" not in r.to_string() and "Frame Axioms Count: 2" in r.to_string()
    bare = TranslationResolutionResult(False, P, (), at("P", W0), (), (), None)
    assert bare.to_string().split("\n")[-2:] == ["Status: UNPROVABLE", "Frame Axioms Count: 0"]
    assert bare.to_dict()["has_proof_dag"] is False


def test_translation_prover_refuses_first_order_input(monkeypatch):
    Recorder(lambda dag: dag([])).install(monkeypatch)
    with pytest.raises(ValueError, match="Equality"):
        TranslationResolutionProver().prove(imp(Equality(Constant("a"), Constant("a")), P))


# ---------------------------------------------------------------------------
# The combined prover
# ---------------------------------------------------------------------------
def test_combined_prover_settings_and_methods():
    c = ConstructiveResolutionProver("Prefixed", 0, -5, 0)
    assert (c.method, c.max_multiplicity, c.max_steps, c.timeout_sec) == ("prefixed", 1, 1, 0.1)
    for method in ("Tableau", "auto "):
        prover = ConstructiveResolutionProver(method)
        with pytest.raises(ValueError) as info:
            prover.prove(P)
        assert str(info.value) == "Unknown constructive resolution method: " + method.lower()
    c = ConstructiveResolutionProver("auto")
    c.method = "AUTO"
    with pytest.raises(ValueError, match="AUTO"):
        c.prove(P)
    assert isinstance(prove_resolution(imp(P, P)), PrefixedResolutionProofResult)


def test_combined_prover_builds_the_sub_provers_of_its_globals(monkeypatch):
    built = []

    def stand_in(kind, answer):
        class Prover:
            def __init__(self, **kw):
                built.append((kind, kw))

            def prove(self, **kw):
                built.append((kind + ".prove", kw))
                return answer

        return Prover

    monkeypatch.setattr(resolution, "PrefixedResolutionProver", stand_in("prefixed", None))
    monkeypatch.setattr(resolution, "TranslationResolutionProver", stand_in("translation", "found"))
    assert prove_resolution(P, premises=(), method="Auto", max_multiplicity=2, max_steps=7, timeout_sec=3) == "found"
    assert built == [
        ("prefixed", {"max_multiplicity": 2, "max_steps": 7}),
        ("prefixed.prove", {"target": P, "premises": ()}),
        ("translation", {"max_steps": 7, "timeout_sec": 3.0}),
        ("translation.prove", {"target": P, "premises": ()}),
    ]
    built.clear()
    assert ConstructiveResolutionProver("TRANSLATION").prove(Q) == "found"
    assert [b[0] for b in built] == ["translation", "translation.prove"]


def test_auto_falls_through_to_the_translation(monkeypatch):
    rec = Recorder(lambda dag: dag([1])).install(monkeypatch)
    r = prove_resolution(imp(imp(imp(p, q), p), p), method="auto", timeout_sec=2)
    assert isinstance(r, TranslationResolutionResult)  # the stand-in engine proves everything
    r = prove_resolution(imp(p, p), method="auto")
    assert isinstance(r, PrefixedResolutionProofResult)
    assert not [c for c in rec.calls if c[0] == "prove"][1:]


# ---------------------------------------------------------------------------
# With the classical engine of the package
# ---------------------------------------------------------------------------
@pytest.mark.skipif(not HAS_ENGINE, reason="the classical resolution engine is not built")
@pytest.mark.parametrize("formula", CLASSICAL, ids=to_string)
def test_classical_laws_are_not_proved_by_translation(formula):
    start = time.monotonic()
    assert prove_translation_resolution(formula, max_steps=300, timeout_sec=2) is None
    assert prove_resolution(formula, method="auto", max_steps=300, timeout_sec=2) is None
    assert time.monotonic() - start < 60


def mirrored_equivalences(n):
    # ((p1 <=> p2) <=> ... <=> pn) <=> (pn <=> (... <=> (p2 <=> p1))): valid.
    atoms = [atom(f"p{i}") for i in range(1, n + 1)]
    left, right = atoms[0], atoms[0]
    for a in atoms[1:]:
        left, right = iff(left, a), iff(a, right)
    return iff(left, right)


# The engine clausifies their translations with definitions: it searches
# them instead of refusing their clauses (distribution alone gives 3136
# clauses for n = 3 and more than 400 000 for n = 4).
@pytest.mark.skipif(not HAS_ENGINE, reason="the classical resolution engine is not built")
@pytest.mark.parametrize("n, proved", [(2, True), (3, True), (4, False)])
def test_equivalence_families_are_searched(n, proved):
    from prover.proof import check_derivation

    start = time.monotonic()
    r = prove_translation_resolution(mirrored_equivalences(n), max_steps=10**5, timeout_sec=60 if proved else 2)
    if proved:
        assert isinstance(r, TranslationResolutionResult) and check_derivation(r.proof_dag) == ""
    else:
        assert r is None and time.monotonic() - start < 3


# A 5-atom non-theorem whose translation has 37 668 clauses by distribution.
ISSUE5 = (
    "from core.ast import And, Iff, Implies as I, Not, Or, PredicateApp\n"
    "from constructive.common import FALSUM, VERUM\n"
    "from constructive.resolution import *\n"
    "p, q, r, s, t = (PredicateApp(n, 0, ()) for n in 'pqrst')\n"
    "F = Iff(Iff(p, Iff(I(I(I(s, q), p), I(r, t)), q)),\n"
    "        Or(Or(Not(VERUM), Or(And(Iff(VERUM, FALSUM), t), And(I(s, FALSUM), And(q, p)))), I(r, I(q, t))))\n"
)


@pytest.mark.skipif(not HAS_ENGINE, reason="the classical resolution engine is not built")
@pytest.mark.parametrize("call", [
    "prove_translation_resolution(F, max_steps=10**9, timeout_sec={limit})",
    "TranslationResolutionProver(max_steps=10**9, timeout_sec={limit}).prove(F)",
    "prove_resolution(F, method='translation', max_steps=10**9, timeout_sec={limit})",
])
@pytest.mark.parametrize("limit", [0.5, 2.0])
def test_the_translation_keeps_its_time_limit(call, limit):
    seconds, answer = timed_in_child(ISSUE5, call.format(limit=limit))
    assert answer == "None"
    assert seconds < limit + 1.0


@pytest.mark.skipif(not HAS_ENGINE, reason="the classical resolution engine is not built")
def test_translation_and_auto_are_sound():
    for f in random_formulas(300, seed=5):
        valid = prove_ljt(f) is not None
        for method in ("translation", "auto"):
            if prove_resolution(f, method=method, max_steps=200, timeout_sec=0.5) is not None:
                assert valid, (method, to_string(f))


@pytest.mark.parametrize("polarity", [2**70, -(2**70), 2**63, -(2**63), 2**63 - 1, 7])
def test_a_literal_keeps_a_polarity_of_any_size(polarity):
    prefix = Prefix((PrefixConstant("c0"),))
    lit = PrefixedLiteral(prefix, polarity, P)
    assert lit.polarity == polarity and str(lit) == f"P^{polarity}:c0"
    assert lit.negate().polarity == 1 - polarity and lit.negate().negate() == lit
    assert hash(lit) == hash((prefix, polarity, P))
    assert lit != PrefixedLiteral(prefix, polarity + 1, P)
    assert len(PrefixedClause(frozenset([lit, lit.negate(), PrefixedLiteral(prefix, polarity, P)]))) == 2


def test_a_clause_stores_the_collection_it_is_given():
    lit = PrefixedLiteral(Prefix((PrefixConstant("c0"),)), 1, P)
    given = frozenset([lit])
    clause = PrefixedClause(given)
    assert clause.literals is given and PrefixedClause(literals=given).literals is given
    assert clause == PrefixedClause(frozenset([lit])) and hash(clause) == hash(PrefixedClause(frozenset([lit])))
    made = clause.substitute(PrefixSubstitution())
    assert made == clause and made.literals == given
