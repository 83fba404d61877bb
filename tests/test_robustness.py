"""No input from Python crashes the process or hangs it.

Every probe runs in a child interpreter, so that a crash or a hang is a test
failure that names the probe instead of a dead test run.  The child caps its
address space (running out of memory shows as MemoryError) and arms a
watchdog for each probe that raises KeyboardInterrupt, as Ctrl-C would, when
the probe runs past its time; a probe that never answers it hangs the child,
which the parent reports.  Many probes share one child to keep the run short.
"""

import json
import os
import subprocess
import sys

import pytest

from helpers import probe_half_built

MODULES = [
    "core.ast", "core.sorts", "core.exceptions", "core.parser", "core.signature", "core.visitors",
    "core.substitutions", "constructive.common", "constructive.kripke", "constructive.tableau",
    "constructive.ljt", "constructive.prefix", "constructive.matrix", "constructive.resolution",
    "prover.clausifier", "prover.rules", "prover.engine", "prover.proof", "config", "sol.ast_ext",
    "sol.substitutions_ext", "sol.kb_ext",
]

# ---------------------------------------------------------------------------
# The child and its driver
# ---------------------------------------------------------------------------

_CHILD = r"""
import json, resource, signal, sys, time
job = json.loads(sys.argv[1])
hard = resource.getrlimit(resource.RLIMIT_AS)[1]  # kept: a lower hard limit cannot be raised
soft = job["memory"] if hard == resource.RLIM_INFINITY else min(job["memory"], hard)
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
armed = False
def ring(signum, frame):
    if armed:
        raise KeyboardInterrupt
signal.signal(signal.SIGALRM, ring)
namespace = {}
exec(job["setup"], namespace)
# Compiled first: exec of a string marks a KeyboardInterrupt that escapes it
# as unhandled, and the interpreter would then end with SIGINT.
for label, code in [(label, compile(code, label, "exec")) for label, code in job["probes"]]:
    print("start " + label, flush=True)
    started = time.monotonic()
    try:
        try:
            armed = True
            signal.setitimer(signal.ITIMER_REAL, job["watchdog"])
            exec(code, namespace)
            outcome = "ok"
        finally:
            armed = False
            signal.setitimer(signal.ITIMER_REAL, 0)
    except KeyboardInterrupt:
        outcome = "interrupted"
    except BaseException as e:
        outcome = type(e).__name__
    print("done " + json.dumps([label, outcome, time.monotonic() - started]), flush=True)
"""


def _start(setup, probes, watchdog, memory):
    job = json.dumps({"setup": setup, "probes": probes, "watchdog": watchdog, "memory": memory})
    return subprocess.Popen([sys.executable, "-c", _CHILD, job], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=os.environ.copy())


def _collect(child, timeout):
    try:
        out, err = child.communicate(timeout=timeout)
        hung = False
    except subprocess.TimeoutExpired:
        child.kill()
        out, err = child.communicate()
        hung = True
    results, running = {}, None
    for line in out.splitlines():
        if line.startswith("start "):
            running = line[len("start "):]
        elif line.startswith("done "):
            label, outcome, seconds = json.loads(line[len("done "):])
            results[label] = (outcome, seconds)
            running = None
    if hung:
        pytest.fail(f"the child hung in probe {running!r} (it never answered the watchdog)")
    if child.returncode != 0:
        pytest.fail(f"the child died with status {child.returncode} in probe {running!r}:\n{err[-3000:]}")
    return results


def run_probes(setup, probes, watchdog=5.0, children=1, memory=2 << 30, timeout=180):
    """Runs `setup` and then each probe (label, statement) in `children`
    child interpreters at once and returns {label: (outcome, seconds)}; the
    outcome is "ok", "interrupted" (the watchdog fired) or the name of the
    exception class the probe raised."""
    probes = list(probes)
    running = [_start(setup, probes[k::children], watchdog, memory) for k in range(children)]
    results = {}
    for child in running:
        results.update(_collect(child, timeout))
    return results


def faults(results, allowed):
    """The probes whose outcome is not in `allowed`."""
    return {label: outcome for label, (outcome, _) in results.items() if outcome not in allowed}


# ---------------------------------------------------------------------------
# Objects made by __new__ alone, and None in place of self
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("module", MODULES)
def test_half_built_objects_do_not_crash(module):
    status, output = probe_half_built(module)
    assert status == 0 and "survived" in output, output
    # every class refuses __new__ alone at once, the walkers of core.visitors included
    assert "made: \n" in output, output


# Every callable in the class dictionaries of a module's own classes (and
# each property's accessors), called with None for self and for the rest.
_NONE_SELF = """
import importlib
module = importlib.import_module(NAME)
for cls in vars(module).values():
    if not isinstance(cls, type) or cls.__module__ != NAME or issubclass(cls, BaseException):
        continue
    for value in list(vars(cls).values()):
        for fn in (value, getattr(value, "fget", None), getattr(value, "fset", None)):
            if not callable(fn) or isinstance(fn, type):
                continue
            for args in [(None,), (None, None), (None, None, None)]:
                try:
                    fn(*args)
                except Exception:
                    pass
"""


@pytest.mark.parametrize("module", MODULES)
def test_none_as_self_is_refused(module):
    results = run_probes(f"NAME = {module!r}", [("none-self", _NONE_SELF)], watchdog=60)
    assert faults(results, {"ok"}) == {}


# A module imported alone (nothing else loaded first): its errors arrive as
# their own classes and its long searches answer Ctrl-C.
ALONE = [
    pytest.param("import core.sorts as S\nS.sort_of_term(1)", "TypeError", id="core.sorts error"),
    pytest.param("import constructive.prefix as X\nX.PrefixSubstitution().bind(X.PrefixVariable('V'),"
                 " (X.PrefixVariable('V'),))", "ValueError", id="constructive.prefix error"),
    pytest.param("import constructive.prefix as X\nV = [X.PrefixVariable(f'V{i}') for i in range(12)]\n"
                 "X.unify_prefixes(X.Prefix(tuple(V[:6])), X.Prefix(tuple(V[6:])), X.PrefixSubstitution())",
                 "interrupted", id="constructive.prefix long search"),
]


@pytest.mark.parametrize("statement, outcome", ALONE)
def test_a_module_alone_translates_its_errors_and_answers_interrupts(statement, outcome):
    results = run_probes("", [("alone", statement)], watchdog=1.0, timeout=60)
    assert results["alone"][0] == outcome


# ---------------------------------------------------------------------------
# Wrong argument types
# ---------------------------------------------------------------------------

# A few real objects per module whose methods are probed alongside its
# functions and classes.
_INSTANCES = {
    "core.ast": "[Not(p), Forall(x, P(x)), x, a, FunctionApp('f', 1, (x,)), Equality(x, a)]",
    "core.signature": "[Signature()]",
    "core.visitors": "[DepthVisitor(), SizeVisitor(), FreeVariableCollector(), ExportVisitor(), ASTTransformer(),"
                     " SubstitutionTransformer({x: a})]",
    "core.substitutions": "[SubstitutionTransformer({x: a})]",
    "constructive.kripke": "[World(0, 'w0'), KripkeModel([World(0, 'w0')], {}, {World(0, 'w0'): {p}})]",
    "constructive.tableau": "[TableauProver(), prove_tableau(Implies(p, p)), prove_tableau(Implies(p, p)).tree,"
                            " prove_tableau(Implies(p, p)).tree.root, _BranchState()]",
    "constructive.ljt": "[LJTProver(), Sequent((p,), p), prove_ljt(Implies(p, p)), prove_ljt(Implies(p, p)).root]",
    "constructive.prefix": "[PrefixConstant('c'), PrefixVariable('V'), Prefix((PrefixConstant('c'),)),"
                           " PrefixSubstitution().bind(PrefixVariable('V'), ())]",
    "constructive.matrix": "[FormulaTree(Implies(p, p)), FormulaTree(Implies(p, p)).root,"
                           " Connection(*FormulaTree(Implies(p, p)).leaves[::-1])]",
    "constructive.resolution": "[PrefixedResolutionProver(), TranslationResolutionProver(),"
                               " ConstructiveResolutionProver(), prove_prefixed_resolution(Implies(p, p))]",
    "prover.clausifier": "[Literal(P(x)), Clause(frozenset({Literal(P(x)), Literal(P(a), False)}))]",
    "prover.rules": "[get_resolution_rules()[0], get_reconstruction_rules()[0], SOLInstantiateRule()]",
    "prover.engine": "[TheoremProver()]",
    "prover.proof": "[__import__('prover.engine').engine.TheoremProver().prove(P(a), [P(a)])]",
    "config": "[SolverConfig()]",
    "sol.ast_ext": "[PredicateVariable(0, 1), ForallPred(PredicateVariable(0, 1), PredicateApp(PredicateVariable(0, 1),"
                   " 1, (x,)))]",
}

_WRONG_TYPES = """
import importlib
module = importlib.import_module(NAME)
globals().update({k: v for k, v in vars(module).items() if not k.startswith("__")})
from core.ast import *
from core.sorts import Ind
x, a, p = Variable(0), Constant("a"), PredicateApp("p", 0, ())
P = lambda t: PredicateApp("P", 1, (t,))
class Foreign:
    pass
POOL = [None, 0, -1, 2**70, float("nan"), float("inf"), "x", b"x", True, x, FunctionApp("f", 1, (x,)), P(x),
        Foreign(), [None], {x: None}, {None: x}, (x, a), Ind]
INSTANCES = eval(INSTANCE_CODE)
targets = [v for k, v in vars(module).items()
           if not k.startswith("__") and callable(v) and getattr(v, "__module__", NAME) == NAME
           and not (isinstance(v, type) and issubclass(v, BaseException))]
for obj in INSTANCES:
    for name in dir(type(obj)):
        if name in ("__init__", "__new__", "__init_subclass__", "__subclasshook__", "__reduce_ex__", "__class__"):
            continue
        try:
            method = getattr(obj, name)
        except Exception:
            continue
        if callable(method) and not isinstance(method, type):
            targets.append(method)
unclear = []
for fn in targets:
    for v in POOL:
        for args in [(v,), (v, v), (p, v), (v, p), (x, v), (p, p, v), (v, v, v)]:
            try:
                fn(*args)
            except SystemError as e:
                unclear.append(f"{getattr(fn, '__qualname__', fn)}{args!r}: {e}")
            except (Exception, RecursionError):
                pass
assert not unclear, unclear[:5]
"""


@pytest.mark.parametrize("module", MODULES)
def test_wrong_argument_types_give_clear_errors(module):
    setup = f"NAME = {module!r}; INSTANCE_CODE = {_INSTANCES.get(module, '[]')!r}"
    results = run_probes(setup, [("wrong types", _WRONG_TYPES)], watchdog=120)
    assert faults(results, {"ok"}) == {}


# Python code called back by the engine (walker overrides, rule callables)
# that returns values of the wrong kind, and objects used from several
# threads at once.
_CALLBACKS_SETUP = """
from core.ast import *
import core.visitors as V, prover.rules as RU, prover.engine as E, constructive.prefix as X
import constructive.matrix as M, constructive.kripke as K, threading
x, a, p = Variable(0), Constant("a"), PredicateApp("p", 0, ())
P = lambda t: PredicateApp("P", 1, (t,))

def walker(base, operation, value):
    return type("Odd", (base,), {operation: lambda self, node: value})()

def in_threads(fn, n=8):
    errors = []
    def run():
        try:
            fn()
        except Exception as e:
            errors.append(e)
    threads = [threading.Thread(target=run) for _ in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
"""

CALLBACKS = {
    "depth of a str": "walker(V.DepthVisitor, 'visit_variable', 'x').visit(Forall(x, P(x)))",
    "size of None": "walker(V.SizeVisitor, 'visit_and', None).visit(And(p, p))",
    "an int for a term": "walker(V.ASTTransformer, 'visit_variable', 5).visit(Forall(x, P(x)))",
    "a term for an atom": "walker(V.ASTTransformer, 'visit_predicate_app', x).visit(And(p, Not(p)))",
    "free variables as an int": "walker(V.FreeVariableCollector, 'visit_variable', 7).visit(P(x))",
    "text as an int": "walker(V.ExportVisitor, 'visit_predicate_app', 3).visit(And(p, p))",
    "a rule returning an int": "RU.apply_rule(RU.InferenceRule('r', 'd', 't', lambda *a: 5), [])",
    "a rule returning junk": "RU.apply_rule(RU.InferenceRule('r', 'd', 't', lambda *a: [None, 1]), [])",
    "a rule without a callable": "RU.apply_rule(RU.InferenceRule('r', 'd', 't', None), [])",
    "engine in threads": "in_threads(lambda: E.TheoremProver().prove(P(a), [Forall(x, P(x))]))",
    "prefix unification in threads": "V4 = X.Prefix(tuple(X.PrefixVariable(f'V{i}') for i in range(4)))\n"
                                     "W4 = X.Prefix(tuple(X.PrefixVariable(f'W{i}') for i in range(4)))\n"
                                     "in_threads(lambda: X.unify_prefixes(V4, W4, X.PrefixSubstitution()))",
    "one formula tree in threads": "t = M.FormulaTree(Implies(Implies(p, p), p), multiplicity=3)\n"
                                   "in_threads(t.get_paths)",
    "one Kripke model in threads": "m = K.KripkeModel()\n"
                                   "in_threads(lambda: [m.add_world(K.World(i, f'w{i}')) for i in range(200)])",
}


def test_odd_callbacks_and_threads_give_results_or_clear_errors():
    results = run_probes(_CALLBACKS_SETUP, CALLBACKS.items(), watchdog=20.0)
    assert faults(results, {"ok", "TypeError", "ValueError", "InvalidFormulaError", "AssertionError"}) == {}


# ---------------------------------------------------------------------------
# Very deep and heavily shared formulas, through every operation
# ---------------------------------------------------------------------------

_FORMULAS = """
from core.ast import *
x, a, p = Variable(0), Constant("a"), PredicateApp("p", 0, ())
P = lambda t: PredicateApp("P", 1, (t,))

def nest(step, base, n):
    for i in range(n):
        base = step(base, i)
    return base

N = 100000
DEEP_TERM = nest(lambda t, i: FunctionApp("f", 1, (t,)), x, N)
DEEP = {
    "not": nest(lambda f, i: Not(f), p, N),
    "and": nest(lambda f, i: And(f, p), p, N),
    "implies": nest(lambda f, i: Implies(p, f), p, N),
    "forall": nest(lambda f, i: Forall(Variable(i % 7), f), P(x), N),
    "term": P(DEEP_TERM),
}
SHARED_TERM = nest(lambda t, i: FunctionApp("g", 2, (t, t)), x, 100)
SHARED = {
    "and": nest(lambda f, i: And(f, f), P(x), 100),
    "implies": nest(lambda f, i: Implies(f, f), p, 100),
    "term": P(SHARED_TERM),
}
"""

# Each operation as a statement on a formula F (T: a term).
_OPERATIONS = """
import core.ast as A, core.visitors as V, core.substitutions as S, constructive.common as C
import constructive.kripke as K, constructive.tableau as TB, constructive.ljt as L, constructive.matrix as M
import constructive.resolution as R, prover.clausifier as CL, prover.rules as RU, prover.engine as E
import sol.substitutions_ext as SE, sol.kb_ext as KB, sol.ast_ext as SA, core.sorts as SO
from core.parser import to_string
from prover.clausifier import Clause, Literal

def kripke():
    w = K.World(0, "w0")
    return K.KripkeModel([w], {}, {w: {p}}), w
"""

FORMULA_OPERATIONS = {
    "repr": "repr(F)", "str": "str(F)", "hash": "hash(F)", "eq": "F == F",
    "infix": "to_string(F)", "latex": "to_string(F, notation='latex')", "prefix": "to_string(F, notation='prefix')",
    "free_variables": "A.free_variables(F)", "bound_variables": "A.bound_variables(F)",
    "formula_depth": "A.formula_depth(F)", "formula_size": "A.formula_size(F)",
    "canonicalize": "A.canonicalize_bound_variables(F)",
    "DepthVisitor": "V.DepthVisitor().visit(F)", "SizeVisitor": "V.SizeVisitor().visit(F)",
    "FreeVariableCollector": "V.FreeVariableCollector().visit(F)", "ExportVisitor": "V.ExportVisitor().visit(F)",
    "ASTTransformer": "V.ASTTransformer().visit(F)",
    "light substitution": "V.SubstitutionTransformer({x: a}).visit(F)",
    "substitute_formula": "S.substitute_formula(F, {x: a})",
    "SubstitutionTransformer": "S.SubstitutionTransformer({x: a}).visit(F)",
    "unify_formulas": "S.unify_formulas(F, F)",
    "normalize_formula": "C.normalize_formula(F)",
    "forcing": "model, w = kripke(); model.evaluate(F, w)",
    "valuation": "model, w = kripke(); model.add_valuation(w, F)",
    "tableau": "TB.prove_tableau(F)", "ljt": "L.prove_ljt(F)", "sequent text": "L.Sequent((F,), F).to_string()",
    "FormulaTree": "M.FormulaTree(F)", "clausify_prefixed": "R.clausify_prefixed(F)",
    "prefixed resolution": "R.prove_prefixed_resolution(F)",
    "translation resolution": "R.prove_translation_resolution(F)",
    "translate_ipc_to_fol": "R.translate_ipc_to_fol(F)",
    "to_nnf": "CL.to_nnf(F)", "to_cnf": "CL.to_cnf(F)", "skolemize": "CL.skolemize(F)",
    "eliminate_implications": "CL.eliminate_implications(F)", "standardize_variables": "CL.standardize_variables(F)",
    "negate_and_clausify": "CL.negate_and_clausify(F)", "formula_to_clauses": "CL.formula_to_clauses(F)",
    "distribute_cnf": "CL.distribute_cnf(F)", "drop_universals": "CL.drop_universals(F)",
    "engine": "E.TheoremProver().prove(F, timeout_sec=1.0)",
    "Literal": "Literal(F).to_string()",
    "extract_atom_subterms": "RU.extract_atom_subterms(F)",
    "substitute_predicate": "SE.substitute_predicate(F, {})", "ho_pattern_unify": "SE.ho_pattern_unify(F, F)",
    "instantiate_induction": "KB.instantiate_induction(F, x)",
    "ForallPred": "SA.ForallPred(SA.PredicateVariable(0, 1), F)",
}

TERM_OPERATIONS = {
    "term repr": "repr(T)", "term hash": "hash(T)", "term text": "to_string(P(T))",
    "sort_of_term": "SO.sort_of_term(T)", "unify_terms": "S.unify_terms(T, T)",
    "occur check": "S.unify_terms(x, T)", "substitute_term": "S.substitute_term(T, {x: a})",
    "apply_substitution": "S.apply_substitution({x: a}, T)", "compose": "S.compose_substitutions({x: T}, {x: T})",
    "extract_subterms": "RU.extract_subterms(T)", "replace_subterm": "RU.replace_subterm(T, x, a)",
    "resolve": "RU.resolve_clauses(Clause(frozenset({Literal(P(T))})), Clause(frozenset({Literal(P(x), False)})))",
    "paramodulate": "RU.paramodulate(Clause(frozenset({Literal(Equality(T, a))})), Clause(frozenset({Literal(P(T))})))",
}


DEEP_KINDS = ["not", "and", "implies", "forall", "term"]
SHARED_KINDS = ["and", "implies", "term"]


def _probes(formulas, kinds, term):
    for name, statement in FORMULA_OPERATIONS.items():
        for key in kinds:
            yield f"{name} / {key}", f"F = {formulas}[{key!r}]\n{statement}"
    for name, statement in TERM_OPERATIONS.items():
        yield f"{name} / term", f"T = {term}\n{statement}"


def test_very_deep_formulas_give_a_result_or_a_clear_error():
    results = run_probes(_FORMULAS + _OPERATIONS, _probes("DEEP", DEEP_KINDS, "DEEP_TERM"), watchdog=20.0, children=3)
    bad = faults(results, {"ok", "RecursionError", "ValueError", "TypeError", "InvalidFormulaError",
                           "UnificationError", "SortMismatchError", "NoProofError", "AssertionError"})
    assert bad == {}


def test_heavily_shared_formulas_answer_fast_or_stop_on_interrupt():
    watchdog = 0.5
    results = run_probes(_FORMULAS + _OPERATIONS, _probes("SHARED", SHARED_KINDS, "SHARED_TERM"), watchdog=watchdog, children=4)
    bad = faults(results, {"ok", "interrupted", "RecursionError", "ValueError", "TypeError", "MemoryError",
                           "InvalidFormulaError", "UnificationError", "SortMismatchError", "NoProofError",
                           "AssertionError"})
    assert bad == {}
    # Ctrl-C is answered promptly, also while the machine is busy.
    late = {label: round(seconds - watchdog, 2) for label, (outcome, seconds) in results.items()
            if outcome == "interrupted" and seconds > watchdog + 1.5}
    assert late == {}


# Operations whose work on a heavily shared formula is that of its distinct
# nodes: they must finish, long before the watchdog.
PROMPT_ON_SHARED = {
    "engine on a ground shared term": "E.TheoremProver().prove(P(GROUND), [P(GROUND)], timeout_sec=1.0)",
    "substitute_predicate": "X = SA.PredicateVariable(0, 1)\n"
                            "h = nest(lambda f, i: And(f, f), PredicateApp(X, 1, (x,)), 100)\n"
                            "SE.substitute_predicate(h, {X: ((x,), P(x))})",
    "FormulaTree refuses": "try:\n    M.FormulaTree(SHARED['implies'])\nexcept ValueError:\n    pass",
    "substitute_term": "assert S.substitute_term(SHARED_TERM, {x: a}) == GROUND",
    "apply_substitution": "assert S.apply_substitution({x: a}, SHARED_TERM) == GROUND",
    "compose": "assert S.compose_substitutions({y: SHARED_TERM}, {y: SHARED_TERM}) == {y: SHARED_TERM}",
    "occur check": "try:\n    S.unify_terms(x, FunctionApp('h', 1, (SHARED_TERM,)))\nexcept S.UnificationError:\n    pass",
    "substitute_formula": "assert S.substitute_formula(SHARED['term'], {x: a}) == P(GROUND)",
    "SubstitutionTransformer": "S.SubstitutionTransformer({x: a}).visit(SHARED['and'])",
    "substitution under a binder": "S.substitute_formula(Forall(y, SHARED['and']), {x: y})",
    "light substitution": "V.SubstitutionTransformer({x: y}).visit(Exists(y, SHARED['and']))",
    "canonicalize": "A.canonicalize_bound_variables(Forall(x, SHARED['term']))",
    "negate_and_clausify": "CL.negate_and_clausify(SHARED['term'])",
    "Literal text refuses": "try:\n    Literal(SHARED['term']).to_string()\nexcept MemoryError:\n    pass",
}


def test_distinct_node_operations_are_prompt_on_shared_formulas():
    setup = (_FORMULAS + _OPERATIONS + "GROUND = nest(lambda t, i: FunctionApp('g', 2, (t, t)), a, 100)\n"
             "y = Variable(1)\n")
    results = run_probes(setup, PROMPT_ON_SHARED.items(), watchdog=5.0)
    assert faults(results, {"ok"}) == {}


def test_wrong_type_with_a_shared_formula_is_a_prompt_type_error():
    # The argument error message shows every argument; it must not unfold the formula.
    probes = [("Not", "Not(SHARED['and'], 1)"), ("to_string", "to_string(SHARED['and'], notation=1)"),
              ("substitute_formula", "S.substitute_formula(SHARED['and'], 1)")]
    results = run_probes(_FORMULAS + _OPERATIONS, probes, watchdog=5.0)
    assert {label: outcome for label, (outcome, seconds) in results.items()
            if outcome != "TypeError" or seconds > 1.0} == {}


# ---------------------------------------------------------------------------
# Absurd limits
# ---------------------------------------------------------------------------

_LIMITS_SETUP = """
from core.ast import *
import constructive.tableau as TB, constructive.matrix as M, constructive.resolution as R
import prover.engine as E, config as CF
x, a, p, q = Variable(0), Constant("a"), PredicateApp("p", 0, ()), PredicateApp("q", 0, ())
P = lambda t: PredicateApp("P", 1, (t,))
peirce = Implies(Implies(Implies(p, q), p), p)
# Saturation never ends: P(a), P(s(a)), P(s(s(a))), ...
endless_target = PredicateApp("Q", 1, (a,))
endless = [P(a), Forall(x, Implies(P(x), P(FunctionApp("s", 1, (x,)))))]
"""

# Each limit as a statement on a value V.
LIMITS = {
    "TableauProver max_depth": "TB.TableauProver(max_depth=V).prove(peirce)",
    "TableauProver max_worlds": "TB.TableauProver(max_worlds=V).prove(peirce)",
    "assigned max_depth": "t = TB.TableauProver(); t.max_depth = V; t.prove(peirce)",
    "assigned max_worlds": "t = TB.TableauProver(); t.max_worlds = V; t.prove(peirce)",
    "FormulaTree multiplicity": "M.FormulaTree(p, premises=[Implies(p, q)], multiplicity=V)",
    "clausify_prefixed multiplicity": "R.clausify_prefixed(p, [Implies(p, q)], V)",
    "prefixed max_multiplicity": "R.prove_prefixed_resolution(peirce, None, V)",
    "prefixed max_steps": "R.prove_prefixed_resolution(peirce, None, 2, V)",
    "translation max_steps": "R.prove_translation_resolution(peirce, None, V)",
    "translation timeout_sec": "R.prove_translation_resolution(peirce, None, 100, V)",
    "prove_resolution max_multiplicity": "R.prove_resolution(peirce, max_multiplicity=V)",
    "prove_resolution timeout_sec": "R.prove_resolution(peirce, method='translation', timeout_sec=V)",
    "ConstructiveResolutionProver max_multiplicity": "R.ConstructiveResolutionProver(max_multiplicity=V).prove(peirce)",
    "ConstructiveResolutionProver max_steps": "R.ConstructiveResolutionProver(max_steps=V).prove(peirce)",
    "ConstructiveResolutionProver timeout_sec":
        "R.ConstructiveResolutionProver(method='translation', timeout_sec=V).prove(peirce)",
    "PrefixedResolutionProver max_multiplicity": "R.PrefixedResolutionProver(max_multiplicity=V).prove(peirce)",
    "PrefixedResolutionProver max_steps": "R.PrefixedResolutionProver(max_steps=V).prove(peirce)",
    "TranslationResolutionProver max_steps": "R.TranslationResolutionProver(max_steps=V).prove(peirce)",
    "TranslationResolutionProver timeout_sec": "R.TranslationResolutionProver(timeout_sec=V).prove(peirce)",
    "engine max_steps": "E.TheoremProver().prove(endless_target, endless, max_steps=V, timeout_sec=1.0)",
    "engine timeout_sec": "E.TheoremProver().prove(endless_target, endless, max_steps=200, timeout_sec=V)",
    "SolverConfig steps": "E.TheoremProver(config=CF.SolverConfig(prover_max_steps=V, prover_timeout_sec=1.0))"
                          ".prove(endless_target, endless)",
    "SolverConfig seconds": "E.TheoremProver(config=CF.SolverConfig(prover_max_steps=200, prover_timeout_sec=V))"
                            ".prove(endless_target, endless)",
    "prefixed multiplicity on P(x)": "R.prove_prefixed_resolution(P(x), (), V)",
}

# Values that bound the work (the search must end by itself) and values
# that ask for unbounded work (the search may run until interrupted).
BOUNDED = {"0": "0", "-1": "-1", "nan": "float('nan')", "-inf": "float('-inf')", "2.5": "2.5", "True": "True",
           "str": "'3'", "None": "None"}
UNBOUNDED = {"2**70": "2**70", "2**63-1": "2**63 - 1", "inf": "float('inf')"}

_CLEAR = {"ok", "TypeError", "ValueError", "OverflowError", "NoProofError", "MemoryError"}


def _limit_probes(values):
    for name, statement in LIMITS.items():
        for key, value in values.items():
            yield f"{name} = {key}", f"V = {value}\n{statement}"


def test_bounding_limits_end_the_search_by_themselves():
    results = run_probes(_LIMITS_SETUP, _limit_probes(BOUNDED), watchdog=10.0, children=2)
    assert faults(results, _CLEAR) == {}


def test_unbounded_limits_are_honoured_and_interruptible():
    watchdog = 1.0
    results = run_probes(_LIMITS_SETUP, _limit_probes(UNBOUNDED), watchdog=watchdog, children=2)
    assert faults(results, _CLEAR | {"interrupted"}) == {}
    late = {label: round(seconds - watchdog, 2) for label, (outcome, seconds) in results.items()
            if outcome == "interrupted" and seconds > watchdog + 1.5}
    assert late == {}


# Each limit bounds the work it names: worlds and depth of the tableau,
# given clauses and seconds of the resolution searches.
_HONOURED_SETUP = _LIMITS_SETUP + """
import time
from families import pigeon

def worlds(node):
    out = {node.world}
    for child in node.children:
        out |= worlds(child)
    return out

def seconds_of(call):
    start = time.monotonic()
    try:
        call()
    except E.NoProofError:
        pass
    return time.monotonic() - start
"""

HONOURED = {
    "max_worlds": "for n in (1, 2, 3, 5):\n"
                  "    assert len(worlds(TB.TableauProver(max_worlds=n).prove(peirce).tree.root)) <= n",
    "max_depth": "for n in (1, 2, 5, 10):\n"
                 "    assert TB.TableauProver(max_depth=n).prove(peirce).tree.get_depth() <= n",
    "engine max_steps": "try:\n"
                        "    E.TheoremProver().prove(pigeon(8), max_steps=7, timeout_sec=100.0)\n"
                        "except E.NoProofError as e:\n"
                        "    assert 'step limit of 7' in str(e)\n"
                        "else:\n"
                        "    raise AssertionError('no proof is found in 7 steps')",
    "engine timeout_sec": "assert seconds_of(lambda: E.TheoremProver().prove(pigeon(8), max_steps=10**9,"
                          " timeout_sec=0.3)) < 2.0",
    "configured timeout": "cfg = CF.SolverConfig(prover_max_steps=10**9, prover_timeout_sec=0.3)\n"
                          "assert seconds_of(lambda: E.TheoremProver(config=cfg).prove(pigeon(8))) < 2.0",
    "translation timeout_sec": "assert seconds_of(lambda: R.prove_translation_resolution(pigeon(8), None, 10**9,"
                               " 0.3)) < 2.0",
}


def test_limits_bound_the_work_they_name():
    results = run_probes(_HONOURED_SETUP, HONOURED.items(), watchdog=20.0)
    assert faults(results, {"ok"}) == {}


# ---------------------------------------------------------------------------
# Clear errors: text without a UTF-8 form, values of the wrong type, the same
# refusal of a non-formula from every prover, properties named in messages
# ---------------------------------------------------------------------------
from core.ast import Constant, FunctionApp, Implies, PredicateApp, Variable  # noqa: E402
from core.sorts import FunctionSort, Ind, ParameterizedSort, PrimitiveSort  # noqa: E402

LONE = "\udcff"


def _prefix(name):
    import constructive.prefix as prefix
    return getattr(prefix, name)


@pytest.mark.parametrize("call, error, named", [
    (lambda: Constant(LONE), UnicodeEncodeError, "Constant name"),
    (lambda: PredicateApp(LONE, 0, ()), UnicodeEncodeError, "PredicateApp pred"),
    (lambda: FunctionApp(LONE, 0, ()), UnicodeEncodeError, "FunctionApp func"),
    (lambda: _prefix("PrefixConstant")(LONE), UnicodeEncodeError, "prefix symbol"),
    (lambda: _prefix("PrefixVariable")(LONE), UnicodeEncodeError, "prefix symbol"),
    (lambda: __import__("core.visitors").visitors.ExportVisitor(LONE), UnicodeEncodeError, "ExportVisitor notation"),
    (lambda: __import__("constructive.resolution").resolution.get_frame_axioms([LONE]), UnicodeEncodeError,
     "atom name"),
    (lambda: __import__("constructive.resolution").resolution.get_frame_axioms(LONE), UnicodeEncodeError,
     "atom name"),
    (lambda: PrimitiveSort(LONE), UnicodeEncodeError, "PrimitiveSort name"),
    (lambda: ParameterizedSort(LONE), UnicodeEncodeError, "ParameterizedSort name"),
    (lambda: ParameterizedSort("List", "ab"), TypeError, "ParameterizedSort parameter must be a Sort, got <class 'str'"),
    (lambda: ParameterizedSort("List", [1]), TypeError, "ParameterizedSort parameter must be a Sort, got <class 'int'"),
    (lambda: FunctionSort([Ind, 1], Ind), TypeError, "FunctionSort domain sort must be a Sort"),
    (lambda: FunctionSort([Ind], "Ind"), TypeError, "FunctionSort range must be a Sort"),
])
def test_bad_text_and_wrong_types_name_the_argument(call, error, named):
    with pytest.raises(error, match=named) as caught:
        call()
    if error is UnicodeEncodeError:
        assert caught.value.object == LONE or LONE in caught.value.object


P0, Q0 = PredicateApp("p", 0, ()), PredicateApp("q", 0, ())


def _provers():
    from constructive.ljt import prove_ljt
    from constructive.resolution import (ConstructiveResolutionProver, prove_prefixed_resolution,
                                         prove_translation_resolution)
    from constructive.tableau import prove_tableau
    from prover.engine import TheoremProver
    return {
        "tableau": prove_tableau, "ljt": prove_ljt, "prefixed": prove_prefixed_resolution,
        "translation": prove_translation_resolution,
        "auto": lambda target, premises=None: ConstructiveResolutionProver(method="auto").prove(target, premises),
        "engine": lambda target, premises=None: TheoremProver().prove(target, premises),
    }


@pytest.mark.parametrize("prover", ["tableau", "ljt", "prefixed", "translation", "auto", "engine"])
@pytest.mark.parametrize("target, premises, message", [
    ("p", None, "target must be a formula, got <class 'str'>"),
    (Constant("a"), None, "target must be a formula, got <class 'core.ast.Constant'>"),
    (Variable(0), None, "target must be a formula, got <class 'core.ast.Variable'>"),
    (None, None, "target must be a formula, got <class 'NoneType'>"),
    (P0, [Q0, "q"], "a premise must be a formula, got <class 'str'>"),
    (P0, [Constant("a")], "a premise must be a formula, got <class 'core.ast.Constant'>"),
])
def test_every_prover_refuses_a_non_formula_alike(prover, target, premises, message):
    with pytest.raises(TypeError, match=message):
        _provers()[prover](target, premises)


def test_the_clausifier_refuses_a_non_formula_with_its_value_error():
    from prover.clausifier import negate_and_clausify, to_cnf
    for clausify in (to_cnf, negate_and_clausify):
        with pytest.raises(ValueError, match="^Unsupported formula node: <class 'str'>"):
            clausify("p")


def _model():
    from constructive.kripke import KripkeModel
    return KripkeModel()


def _prover(name):
    import constructive.resolution as resolution
    import constructive.tableau as tableau
    return getattr(resolution, name, None) or getattr(tableau, name)


@pytest.mark.parametrize("make, attribute, change", [
    (_model, "worlds", "delete"),
    (lambda: _prover("TableauProver")(), "max_depth", "delete"),
    (lambda: _prover("PrefixedResolutionProver")(), "max_multiplicity", "delete"),
    (lambda: _prover("ConstructiveResolutionProver")(), "method", "delete"),
])
def test_a_refused_property_change_names_the_property(make, attribute, change):
    obj = make()
    with pytest.raises(AttributeError, match=f"property '{attribute}' of '{type(obj).__name__}' object has no"):
        if change == "delete":
            delattr(obj, attribute)
        else:
            setattr(obj, attribute, 7)
