import itertools
import os
from functools import reduce
import random
import signal
import threading
import time

import pytest

from config import SolverConfig
from core.ast import And, Constant, Equality, Exists, Forall, FunctionApp, Iff, Implies, Not, Or, PredicateApp, Variable
from core.signature import Signature
from families import FAMILIES
from helpers import timed_in_child
from prover.clausifier import Clause, Literal, negate_and_clausify, reset_skolem_counters, to_cnf
from prover.engine import NoProofError, TheoremProver
from prover.proof import ProofDAG, ProofStep, check_derivation

x, y, z = Variable(1), Variable(2), Variable(3)
a, b, c, e = Constant("a"), Constant("b"), Constant("c"), Constant("e")
BOT = PredicateApp(pred="_bot", arity=0, args=())
TOP = PredicateApp(pred="_top", arity=0, args=())


def P(name, *args):
    return PredicateApp(pred=name, arity=len(args), args=tuple(args))


def f(name, *args):
    return FunctionApp(func=name, arity=len(args), args=tuple(args))


def all_(v, body):
    return Forall(v, body)


def m(s, t):
    return f("m", s, t)


def inv(s):
    return f("i", s)


GROUP = [
    all_(x, Equality(left=m(e, x), right=x)),
    all_(x, Equality(left=m(inv(x), x), right=e)),
    all_(x, all_(y, all_(z, Equality(left=m(m(x, y), z), right=m(x, m(y, z)))))),
]


# --- the relational translation of IPC formulas, with the frame axioms ------
def names_of(formula, out):
    if isinstance(formula, PredicateApp):
        if formula.pred not in ("_bot", "_top"):
            out.add(formula.pred)
    elif isinstance(formula, Not):
        names_of(formula.operand, out)
    elif isinstance(formula, (And, Or, Implies)):
        names_of(formula.left, out)
        names_of(formula.right, out)
    return out


def translate(formula, world, counter):
    if isinstance(formula, PredicateApp):
        return formula if formula.pred in ("_bot", "_top") else P(formula.pred, world)
    if isinstance(formula, (And, Or)):
        return type(formula)(left=translate(formula.left, world, counter), right=translate(formula.right, world, counter))
    u = Variable(counter[0])
    counter[0] += 1
    if isinstance(formula, Not):
        return Forall(u, Implies(P("R", world, u), Not(translate(formula.operand, u, counter))))
    left, right = translate(formula.left, u, counter), translate(formula.right, u, counter)
    return Forall(u, Implies(And(P("R", world, u), left), right))


def frame_axioms(names):
    refl = all_(x, P("R", x, x))
    trans = all_(x, all_(y, all_(z, Implies(And(P("R", x, y), P("R", y, z)), P("R", x, z)))))
    mono = [all_(x, all_(y, Implies(And(P(n, x), P("R", x, y)), P(n, y)))) for n in sorted(names)]
    return [refl, trans] + mono


def relational(formula):
    return translate(formula, Constant("w0"), [1]), frame_axioms(names_of(formula, set()))


def engine(max_steps=1000, timeout_sec=10.0):
    return TheoremProver(signature=Signature(), config=SolverConfig(prover_max_steps=max_steps, prover_timeout_sec=timeout_sec))


def assert_refutation(proof):
    assert isinstance(proof, ProofDAG)
    assert check_derivation(proof) == ""
    steps = proof.steps
    assert steps[-1].clause.is_empty
    for i, step in enumerate(steps):
        assert all(0 <= p < i for p in step.parents)
    # Only the steps the refutation uses: every step but the last is a parent.
    used = {p for step in steps for p in step.parents}
    assert used == set(range(len(steps) - 1))


pp, qq, rr = P("p"), P("q"), P("r")
THEOREMS = {
    "modus_ponens": (P("Q", a), [all_(x, Implies(P("P", x), P("Q", x))), P("P", a)]),
    "syllogism": (all_(x, Implies(P("S", x), P("P", x))), [all_(x, Implies(P("M", x), P("P", x))), all_(x, Implies(P("S", x), P("M", x)))]),
    "drinker": (Exists(x, Implies(P("D", x), all_(y, P("D", y)))), []),
    "factoring_needed": (BOT, [all_(x, all_(y, Or(P("P", x), P("P", y)))), all_(x, all_(y, Or(Not(P("P", x)), Not(P("P", y)))))]),
    "equal_substitution": (P("P", b), [Equality(left=a, right=b), P("P", a)]),
    "equal_congruence": (Equality(left=f("g", a), right=f("g", b)), [Equality(left=a, right=b)]),
    "equality_factoring": (BOT, [all_(x, Or(Equality(left=x, right=a), Equality(left=x, right=b))), Not(Equality(left=a, right=b)), Not(Equality(left=c, right=a)), Not(Equality(left=c, right=b))]),
    "group_right_identity": (all_(x, Equality(left=m(x, e), right=x)), GROUP),
    "group_right_inverse": (all_(x, Equality(left=m(x, inv(x)), right=e)), GROUP),
    "falsum_premise": (P("anything"), [BOT]),
    "verum_target": (TOP, []),
    "translated_identity": relational(Implies(pp, pp)),
    "translated_chain": relational(FAMILIES["chain"][0](4)),
    "translated_pigeon": relational(FAMILIES["pigeon"][0](1)),
    "translated_dneg_lem": relational(FAMILIES["dneg_lem"][0](1)),
    "translated_contraposition": relational(Implies(Implies(pp, qq), Implies(Not(qq), Not(pp)))),
    "translated_curry": relational(Implies(Implies(And(pp, qq), rr), Implies(pp, Implies(qq, rr)))),
}

NON_THEOREMS = {
    "undistributed_middle": (all_(x, Implies(P("S", x), P("P", x))), [all_(x, Implies(P("P", x), P("M", x))), all_(x, Implies(P("S", x), P("M", x)))]),
    "quantifier_swap": (Exists(y, all_(x, P("L", x, y))), [all_(x, Exists(y, P("L", x, y)))]),
    "two_witnesses": (Exists(x, And(P("P", x), P("Q", x))), [Exists(x, P("P", x)), Exists(x, P("Q", x))]),
    "group_commutative": (all_(x, all_(y, Equality(left=m(x, y), right=m(y, x)))), GROUP),
    "verum_premise": (P("anything"), [TOP]),
    "translated_excluded_middle": relational(Or(pp, Not(pp))),
    "translated_peirce": relational(Implies(Implies(Implies(pp, qq), pp), pp)),
    "translated_linear": relational(FAMILIES["linear"][0](2)),
    "translated_double_negation": relational(Implies(Not(Not(pp)), pp)),
}


@pytest.mark.parametrize("name", THEOREMS)
def test_theorems_are_proved_with_a_checked_derivation(name):
    target, premises = THEOREMS[name]
    assert_refutation(engine().prove(target=target, premises=premises))


@pytest.mark.parametrize("name", NON_THEOREMS)
def test_non_theorems_raise(name):
    target, premises = NON_THEOREMS[name]
    with pytest.raises(NoProofError, match="^no proof: "):
        engine(max_steps=300, timeout_sec=5).prove(target=target, premises=premises)


def test_saturation_is_reported_as_such():
    with pytest.raises(NoProofError, match="^no proof: the clause set is saturated$") as info:
        engine().prove(target=P("Q", a), premises=[P("P", a), all_(x, Implies(P("Q", x), P("P", x)))])
    assert isinstance(info.value, Exception)


# --- problems that distribution alone would blow up --------------------------
def mirrored_equivalences(items):
    # ((A1 <=> A2) <=> ... <=> An) <=> (An <=> (... <=> (A2 <=> A1))): valid.
    return Iff(reduce(Iff, items), reduce(lambda acc, item: Iff(item, acc), items))


ATOMS_P = [P(f"p{i}") for i in range(1, 9)]
FIRST_ORDER_SIDES = [all_(x, P("A", x)), Exists(y, P("B", y)), all_(x, Implies(P("C", x), P("A", x))),
                     Exists(z, And(P("B", z), P("C", z))), all_(y, Or(P("A", y), P("C", y)))]
def shared_conjunction(f, times):
    for _ in range(times):
        f = And(f, f)  # small in memory, 2**times copies of f as a tree
    return f


# A nested equivalence of first-order atoms without a proof: it has a small countermodel.
NESTED = all_(x, Exists(y, Iff(P("P", x), Iff(P("Q", y), Iff(P("R", x, y), Iff(P("P", y), Iff(P("Q", x), all_(
    z, Iff(P("R", z, x), Iff(P("P", z), P("Q", z)))))))))))

def library_translation(formula):
    # The translation prover's problem (equivalences normalised first).
    from constructive.common import normalize_formula
    from constructive.resolution import get_frame_axioms, translate_ipc_to_fol

    normal = normalize_formula(formula)
    return translate_ipc_to_fol(normal), get_frame_axioms(sorted(names_of(normal, set())))


# name: (target, premises, provable); in each, distributing | over & alone
# would give more clauses than the clausifier's limit.
BLOWUPS = {
    "equivalences_6": (mirrored_equivalences(ATOMS_P[:6]), [], True),
    "equivalences_8": (mirrored_equivalences(ATOMS_P), [], True),
    "first_order_equivalences_5": (mirrored_equivalences(FIRST_ORDER_SIDES), [], True),
    "as_a_premise": (BOT, [Not(mirrored_equivalences(ATOMS_P[:6]))], True),
    "nested_first_order_equivalence": (NESTED, [], False),
    "shared_2_to_the_80": (P("P", a), [shared_conjunction(all_(x, P("P", x)), 80)], True),
    "translated_equivalences_4": (*library_translation(mirrored_equivalences(ATOMS_P[:4])), False),
}


@pytest.mark.parametrize("name", BLOWUPS)
def test_problems_that_distribution_blows_up_are_searched(name):
    target, premises, provable = BLOWUPS[name]
    with pytest.raises(ValueError, match="more than the limit"):
        negate_and_clausify(target)
        for premise in premises:
            to_cnf(premise)
    prover = engine(max_steps=100000, timeout_sec=2)
    if provable:
        assert_refutation(prover.prove(target=target, premises=premises))
    else:
        # Searched, not refused: the answer is that no proof was found.
        with pytest.raises(NoProofError, match="^no proof: the (clause set is saturated|time limit)"):
            prover.prove(target=target, premises=premises)


def test_definitions_are_steps_of_their_own_with_new_names():
    # The problem uses the name the first definition would take.
    taken = P("_def0")
    target = Implies(taken, mirrored_equivalences(ATOMS_P[:6]))
    proof = engine().prove(target=target, premises=[taken])
    assert_refutation(proof)
    definitions = [step for step in proof.steps if step.rule == "Definition"]
    assert definitions and all(step.parents == () for step in definitions)
    names = {lit.atom.pred for step in definitions for lit in step.clause.literals}
    defined = {n for n in names if n.startswith("_def")}
    assert defined and "_def0" not in defined
    # A name introduced for the target appears in the negated target's clauses.
    goal_names = {lit.atom.pred for step in proof.steps if step.rule == "NegatedGoal" for lit in step.clause.literals}
    assert goal_names & defined


def test_a_problem_too_large_to_clausify_has_no_proof():
    # One formula of 100001 conjuncts: more clauses than the clausifier's limit.
    items = [P("P", Constant(f"c{i}")) for i in range(100001)]
    while len(items) > 1:
        items = [And(*items[i:i + 2]) if i + 1 < len(items) else items[i] for i in range(0, len(items), 2)]
    with pytest.raises(NoProofError, match="^no proof: the problem is too large to clausify: .*100001 clauses"):
        engine().prove(target=P("goal"), premises=[items[0]])


# --- generated clause sets: sound and complete over a two-element universe ---
ATOMS = [("P", 1), ("Q", 1), ("L", 2)]
TERMS = [a, b, x, y]


def random_clause(rng):
    lits = []
    for _ in range(rng.randint(1, 3)):
        name, arity = rng.choice(ATOMS)
        atom = P(name, *[rng.choice(TERMS) for _ in range(arity)])
        lits.append((atom, rng.random() < 0.5))
    return lits


def clause_formula(lits):
    body = None
    for atom, positive in lits:
        lit = atom if positive else Not(atom)
        body = lit if body is None else Or(body, lit)
    return all_(x, all_(y, body))


def satisfiable(clauses):
    """Brute force over the Herbrand universe {a, b} (no function symbols)."""
    ground = sorted({(n, args) for n, k in ATOMS for args in itertools.product("ab", repeat=k)})
    inst = []
    for lits in clauses:
        for vx, vy in itertools.product("ab", repeat=2):
            env = {"a": "a", "b": "b"}

            def name_of(t):
                if t == x:
                    return vx
                if t == y:
                    return vy
                return t.name

            inst.append([((atom.pred, tuple(name_of(t) for t in atom.args)), pos) for atom, pos in lits])
    for values in itertools.product([False, True], repeat=len(ground)):
        model = dict(zip(ground, values))
        if all(any(model[k] == pos for k, pos in c) for c in inst):
            return True
    return False


@pytest.mark.parametrize("seed", range(60))
def test_generated_clause_sets(seed):
    rng = random.Random(seed)
    clauses = [random_clause(rng) for _ in range(rng.randint(3, 8))]
    premises = [clause_formula(lits) for lits in clauses]
    prover = engine(max_steps=5000, timeout_sec=10)
    if satisfiable(clauses):
        with pytest.raises(NoProofError):
            prover.prove(target=BOT, premises=premises)
    else:
        assert_refutation(prover.prove(target=BOT, premises=premises))


# --- variables, Skolem symbols, signature ----------------------------------
def test_each_formula_binds_its_own_variables():
    # All three formulas use the variable of id 1; it means three things.
    target = all_(x, Implies(P("P", x), P("R", x)))
    premises = [all_(x, Implies(P("P", x), P("Q", x))), all_(x, Implies(P("Q", x), P("R", x)))]
    assert_refutation(engine().prove(target=target, premises=premises))


def test_skolem_symbols_are_new_to_the_whole_problem():
    reset_skolem_counters()  # the next Skolem constant would be named sk_c0
    signature = Signature()
    prover = TheoremProver(signature=signature, config=SolverConfig())
    # The premise speaks of a constant named like a Skolem constant; the
    # negated target's witness must not be it.
    with pytest.raises(NoProofError):
        prover.prove(target=all_(x, P("P", x)), premises=[P("P", Constant("sk_c0"))])
    skolems = list(signature.constants)
    assert skolems and "sk_c0" not in skolems


def test_premises_none_empty_and_tuple_agree():
    target = Implies(pp, pp)
    proofs = [engine().prove(target=target, premises=p) for p in (None, [], ())]
    assert proofs[0] == proofs[1] == proofs[2]
    gen = (q for q in [pp])
    assert_refutation(engine().prove(target=pp, premises=gen))


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"target": None}, TypeError),
        ({"target": a}, TypeError),
        ({"target": pp, "premises": pp}, TypeError),
        ({"target": pp, "premises": [pp, 3]}, TypeError),
        ({"target": pp, "premises": "p"}, TypeError),
        ({"target": pp, "max_steps": "5"}, TypeError),
        ({"target": pp, "timeout_sec": "5"}, TypeError),
    ],
)
def test_bad_arguments(kwargs, error):
    with pytest.raises(error):
        engine().prove(**kwargs)


def test_constructor_arguments():
    assert TheoremProver().config == SolverConfig()
    assert TheoremProver().signature is None
    sig = Signature()
    assert TheoremProver(sig, SolverConfig(3, 1.0)).signature is sig
    with pytest.raises(TypeError):
        TheoremProver(signature="sig")
    with pytest.raises(TypeError):
        TheoremProver(config={"prover_max_steps": 3})


# --- limits ----------------------------------------------------------------
FLOOD = (all_(x, all_(y, Equality(left=m(x, y), right=m(y, x)))), GROUP)


def test_step_limit_counts_given_clauses():
    target, premises = FLOOD
    with pytest.raises(NoProofError, match="step limit of 5 given clauses"):
        engine().prove(target=target, premises=premises, max_steps=5)
    # The configuration's bound applies when prove is given none.
    with pytest.raises(NoProofError, match="step limit of 7 given clauses"):
        engine(max_steps=7).prove(target=target, premises=premises)
    # Bounds below the minimum are raised to it.
    with pytest.raises(NoProofError, match="step limit of 1 given clauses"):
        engine().prove(target=target, premises=premises, max_steps=-4)


def test_timeout_is_honoured_on_a_flooding_problem():
    target, premises = FLOOD
    start = time.monotonic()
    with pytest.raises(NoProofError, match="time limit"):
        engine().prove(target=target, premises=premises, max_steps=10**9, timeout_sec=0.3)
    assert time.monotonic() - start < 2.0


# Problems that keep one phase of a search busy far beyond the time limit,
# each built by a function of the child's set-up: (target, premises).
PHASES = """
from core.ast import And, Constant, Forall, Iff, Implies, Not, Or, PredicateApp, Variable
from constructive.common import FALSUM, VERUM, normalize_formula
from constructive.resolution import _extract_predicate_names, get_frame_axioms, translate_ipc_to_fol
from prover.engine import TheoremProver
x = Variable(1)
def P(name, *args):
    return PredicateApp(pred=name, arity=len(args), args=tuple(args))
def balanced(items):
    while len(items) > 1:
        items = [And(*items[i:i + 2]) if i + 1 < len(items) else items[i] for i in range(0, len(items), 2)]
    return items[0]
def clausification():  # one formula of 100000 implications
    return P("goal"), [Forall(x, balanced([Implies(P(f"P{i}", x), Or(P(f"Q{i}", x), P(f"R{i}", x)))
                                             for i in range(100000)]))]
def taking_in():  # 40000 facts, each new one checked against the others
    return P("goal"), [P("P", Constant(f"c{i}")) for i in range(40000)]
def saturation():  # the relational translation of a 5-atom non-theorem
    I = Implies
    p, q, r, s, t = (P(n) for n in "pqrst")
    f = normalize_formula(Iff(Iff(p, Iff(I(I(I(s, q), p), I(r, t)), q)),
        Or(Or(Not(VERUM), Or(And(Iff(VERUM, FALSUM), t), And(I(s, FALSUM), And(q, p)))), I(r, I(q, t)))))
    return translate_ipc_to_fol(f), get_frame_axioms(sorted(_extract_predicate_names(f)))
"""


@pytest.mark.parametrize("phase", ["clausification", "taking_in", "saturation"])
@pytest.mark.parametrize("limit", [0.5, 2.0])
def test_the_time_limit_holds_in_every_phase(phase, limit):
    seconds, answer = timed_in_child(PHASES + f"TARGET, PREMISES = {phase}()",
                                     f"TheoremProver().prove(TARGET, PREMISES, max_steps=10**9, timeout_sec={limit})")
    assert answer == "NoProofError: no proof: the time limit is exceeded"
    assert seconds < limit + 1.0


def test_keyboard_interrupt_stops_a_long_search():
    target, premises = FLOOD
    timer = threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT))
    # A runner started from a background job inherits SIGINT ignored.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            engine().prove(target=target, premises=premises, max_steps=10**9, timeout_sec=60)
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, previous)
    assert time.monotonic() - start < 5.0


def test_transitivity_does_not_flood():
    # Transitivity never resolves with itself: over a chain of facts the
    # search derives the finite closure and stops there.
    n = 12
    worlds = [Constant(f"w{i}") for i in range(n + 1)]
    facts = [P("R", worlds[i], worlds[i + 1]) for i in range(n)]
    trans = all_(x, all_(y, all_(z, Implies(And(P("R", x, y), P("R", y, z)), P("R", x, z)))))
    assert_refutation(engine().prove(target=P("R", worlds[0], worlds[n]), premises=[trans] + facts))
    with pytest.raises(NoProofError, match="saturated"):
        engine().prove(target=P("R", worlds[n], worlds[0]), premises=[trans] + facts)


# --- proof records and their check -----------------------------------------
def lit(atom, positive=True):
    return Literal(atom=atom, positive=positive)


def clause(*lits):
    return Clause(frozenset(lits))


def test_proof_records():
    step = ProofStep(clause=clause(lit(pp)), rule="Axiom", parents=[])
    assert step.parents == () and step.rule == "Axiom" and step.clause == clause(lit(pp))
    assert ProofStep(clause(lit(pp)), "Axiom") == step and hash(step) == hash(ProofStep(clause(lit(pp)), "Axiom"))
    dag = ProofDAG(steps=[step])
    assert dag.steps == (step,) and ProofDAG([step]) == dag
    with pytest.raises(TypeError):
        ProofStep(clause=pp, rule="Axiom")
    with pytest.raises(TypeError):
        ProofDAG(steps=[pp])
    with pytest.raises(AttributeError):
        dag.steps = ()


P_a, P_x, Q_a = P("P", a), P("P", x), P("Q", a)
AXIOMS = [
    ProofStep(clause(lit(P_x)), "Axiom"),
    ProofStep(clause(lit(P_a, False), lit(Q_a)), "Axiom"),
    ProofStep(clause(lit(Q_a, False)), "NegatedGoal"),
]


def test_check_accepts_a_sound_derivation():
    proof = ProofDAG(AXIOMS + [
        ProofStep(clause(lit(Q_a)), "BinaryResolution", (0, 1)),
        ProofStep(clause(), "BinaryResolution", (3, 2)),
    ])
    assert check_derivation(proof) == ""


@pytest.mark.parametrize(
    "tail, fault",
    [
        ([ProofStep(clause(lit(Q_a)), "BinaryResolution", (0, 1))], "empty clause"),
        ([ProofStep(clause(), "BinaryResolution", (0, 2))], "does not follow"),
        ([ProofStep(clause(lit(P("Q", b))), "BinaryResolution", (0, 1)), ProofStep(clause(), "BinaryResolution", (3, 2))], "does not follow"),
        ([ProofStep(clause(), "BinaryResolution", (4, 2))], "earlier step"),
        ([ProofStep(clause(), "Factoring", (0, 1))], "parent"),
        ([ProofStep(clause(), "Guess", (0,))], "unknown rule"),
        ([ProofStep(clause(), "Definition", (0,))], "takes 0 parent(s)"),
    ],
)
def test_check_rejects_faulty_derivations(tail, fault):
    assert fault in check_derivation(ProofDAG(AXIOMS + tail))


@pytest.mark.parametrize("depth", [3000, 300000])
def test_deep_terms_give_a_proof_or_recursion_error(depth):
    t = a
    for _ in range(depth):
        t = f("f", t)
    for target, premises in [(Exists(x, P("P", x)), [P("P", t)]), (P("P", t), [all_(x, P("P", x))])]:
        try:
            proof = engine().prove(target=target, premises=premises)
        except RecursionError:
            assert depth > 3000
        else:
            assert_refutation(proof)
