"""How well the provers keep their limits: the wall-clock overrun of each
time limit, and how soon each search answers Ctrl-C.  A benchmark, not a test.

usage: python3 bench/bench_limits.py [--limits 0.5,2] [--delays 0.5,2,5]
                                     [--sections overrun,interrupt] [--cases NAME,...]

Every run happens in a child process of its own (a fresh interpreter), so
that one run's memory and caches do not flatter the next.

Overrun: each case calls a prover with timeout_sec set to each limit on an
input that it cannot finish in time; the child times the call alone (the
set-up, such as building a translated problem, is not counted).  A line
shows the prover, the input, the limit, the elapsed time and the overrun
(elapsed minus limit); the bound kept is 10 % of the limit or 100 ms,
whichever is larger.

Interrupt: each case runs a long search (limits far away) and the parent
sends SIGINT after each delay; a line shows the time from the signal until
the child reports KeyboardInterrupt.  A search that ends before the signal
is reported as such.

To add a prover or an input, add a Case to OVERRUN_CASES or INTERRUPT_CASES
(engine() and translation() build the cases of the engine and of the
translation prover): the set-up code, and the call as a format string (with
{limit} for the time limit in the overrun cases).
"""

import argparse
import json
import os
import signal
import subprocess
import sys
import threading
import time
from contextlib import contextmanager
from dataclasses import dataclass

HERE = os.path.dirname(os.path.abspath(__file__))

# Inputs, built in the child.  ISSUE5 is a 5-atom IPC non-theorem whose
# relational translation has 37 668 clauses when clausified by distribution.
INPUTS = r"""
from core.ast import And, Constant, Equality, Forall, FunctionApp, Iff, Implies, Not, Or, PredicateApp, Variable
from constructive.common import FALSUM, VERUM, normalize_formula
from constructive.resolution import _extract_predicate_names, get_frame_axioms, translate_ipc_to_fol
from families import BENCHMARK_FAMILIES, FAMILIES

def atom(name, *args):
    return PredicateApp(pred=name, arity=len(args), args=tuple(args))

I = Implies
p, q, r, s, t = (atom(n) for n in "pqrst")
ISSUE5 = Iff(Iff(p, Iff(I(I(I(s, q), p), I(r, t)), q)),
             Or(Or(Not(VERUM), Or(And(Iff(VERUM, FALSUM), t), And(I(s, FALSUM), And(q, p)))), I(r, I(q, t))))

def equivalences(n):
    # ((p1 <=> p2) <=> ... <=> pn) <=> (pn <=> (... <=> (p2 <=> p1))): valid.
    return BENCHMARK_FAMILIES["equivalence_chain"][0](n)[0]

def relational(formula):
    n = normalize_formula(formula)
    return translate_ipc_to_fol(n), get_frame_axioms(sorted(_extract_predicate_names(n)))

x, y, z = Variable(1), Variable(2), Variable(3)
e = Constant("e")
def m(a, b):
    return FunctionApp(func="m", arity=2, args=(a, b))
def inv(a):
    return FunctionApp(func="i", arity=1, args=(a,))
GROUP = [Forall(x, Equality(left=m(e, x), right=x)), Forall(x, Equality(left=m(inv(x), x), right=e)),
         Forall(x, Forall(y, Forall(z, Equality(left=m(m(x, y), z), right=m(x, m(y, z))))))]
COMMUTES = Forall(x, Forall(y, Equality(left=m(x, y), right=m(y, x))))

def balanced(items):
    while len(items) > 1:
        items = [And(*items[i:i + 2]) if i + 1 < len(items) else items[i] for i in range(0, len(items), 2)]
    return items[0]

# Much to clausify: one formula of n implications P_i(x) -> (Q_i(x) | R_i(x)).
def wide(n):
    return Forall(x, balanced([Implies(atom(f"P{i}", x), Or(atom(f"Q{i}", x), atom(f"R{i}", x))) for i in range(n)]))

# Much to take in: n facts, each new one checked against the others.
def facts(n):
    return [atom("P", Constant(f"c{i}")) for i in range(n)]
"""


@dataclass
class Case:
    prover: str
    input: str
    setup: str  # run first, not timed
    call: str   # the timed call; "{limit}" is the time limit


def engine(input, setup, target, premises, limit="{limit}"):
    """TheoremProver on a problem that `setup` builds."""
    return Case("TheoremProver.prove", input, setup + "\nfrom prover.engine import TheoremProver",
                f"TheoremProver().prove({target}, {premises}, max_steps=10**9, timeout_sec={limit})")


def translation(input, formula, limit="{limit}", method=None):
    """The translation prover, alone or (with `method`) through prove_resolution."""
    if method is None:
        return Case("prove_translation_resolution", input,
                    "from constructive.resolution import prove_translation_resolution",
                    f"prove_translation_resolution({formula}, max_steps=10**9, timeout_sec={limit})")
    return Case(f"prove_resolution {method}", input, "from constructive.resolution import prove_resolution",
                f"prove_resolution({formula}, method={method!r}, max_steps=10**9, timeout_sec={limit})")


# The problems that exercise each phase: clausification (the translated
# formulas, the equivalence chains, one wide formula), taking in clauses
# (many facts), saturation (the group) and their sizes.
OVERRUN_CASES = [
    engine("issue5 translated", "T, A = relational(ISSUE5)", "T", "A"),
    engine("group commutes", "", "COMMUTES", "GROUP"),
    engine("equivalences(5) translated", "T, A = relational(equivalences(5))", "T", "A"),
    engine("100000 implications", "W = [wide(100000)]", "atom('goal')", "W"),
    engine("40000 facts", "W = facts(40000)", "atom('goal')", "W"),
    translation("issue5", "ISSUE5"),
    translation("equivalences(5)", "equivalences(5)"),
    translation("equivalences(14)", "equivalences(14)"),
    translation("debruijn(2)", "FAMILIES['debruijn'][0](2)"),
    translation("issue5", "ISSUE5", method="translation"),
    translation("issue5", "ISSUE5", method="auto"),
]

# The long searches that Ctrl-C must stop, in each phase.  prove_prefixed_resolution,
# prove_ljt and prove_tableau take no time limit; their inputs keep them busy
# (the prefixed search, whose work is bounded, is repeated).
INTERRUPT_CASES = [
    engine("group commutes", "", "COMMUTES", "GROUP", limit=3600),
    engine("issue5 translated", "T, A = relational(ISSUE5)", "T", "A", limit=3600),
    engine("100000 implications", "W = [wide(100000)]", "atom('goal')", "W", limit=3600),
    translation("equivalences(5)", "equivalences(5)", limit=3600),
    translation("equivalences(14)", "equivalences(14)", limit=3600),
    translation("issue5", "ISSUE5", limit=3600, method="translation"),
    Case("prove_prefixed_resolution", "pigeon_invalid(2) again and again",
         "from constructive.resolution import prove_prefixed_resolution\nfrom families import BENCHMARK_FAMILIES\n"
         "F, P = BENCHMARK_FAMILIES['pigeon_invalid'][0](2)\n"
         "def again_and_again():\n    while True:\n        prove_prefixed_resolution(F, P, max_multiplicity=50)",
         "again_and_again()"),
    Case("prove_ljt", "pigeon(6)", "from constructive.ljt import prove_ljt", "prove_ljt(FAMILIES['pigeon'][0](6))"),
    Case("prove_tableau", "pigeon(5)", "from constructive.tableau import prove_tableau",
              "prove_tableau(FAMILIES['pigeon'][0](5), max_depth=10**7, max_worlds=10**7)"),
]

# The child: builds the inputs and the case's set-up, then runs the call.
# In "overrun" mode it prints the call's wall time as JSON; in "interrupt"
# mode it prints "running", runs the call and prints "interrupted" (or
# "finished") the moment the call returns.
CHILD = r"""
import json, signal, sys, time
signal.signal(signal.SIGINT, signal.default_int_handler)  # a background job inherits SIGINT ignored
sys.path[:0] = [sys.argv[1]]
mode, inputs, setup, call = sys.argv[2:6]
exec(inputs)
exec(setup)
if mode == "overrun":
    start = time.monotonic()
    try:
        answer = repr(eval(call))[:40]
    except Exception as error:
        answer = type(error).__name__
    print(json.dumps({"elapsed": time.monotonic() - start, "answer": answer}), flush=True)
else:
    print("running", flush=True)
    try:
        eval(call)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
"""


@contextmanager
def child(mode, case, limit=None):
    """The child process of one run, killed if it is still there 600 s
    after its limit, and in any case when the run is over."""
    call = case.call.format(limit=limit)
    process = subprocess.Popen([sys.executable, "-c", CHILD, HERE, mode, INPUTS, case.setup, call],
                               stdout=subprocess.PIPE, text=True)
    timer = threading.Timer((limit or 0) + 600, process.kill)
    timer.start()
    try:
        yield process
    finally:
        timer.cancel()
        process.kill()
        process.wait()


def overrun(case, limit):
    with child("overrun", case, limit) as process:
        lines = process.stdout.read().strip().splitlines()
    return json.loads(lines[-1]) if lines else None


def interrupt_delay(case, delay):
    with child("interrupt", case, delay) as process:
        if process.stdout.readline().strip() != "running":
            return "failed to start"
        time.sleep(delay)
        if process.poll() is not None:
            return "finished before the signal"
        sent = time.monotonic()
        process.send_signal(signal.SIGINT)
        answer = process.stdout.readline().strip()
        seconds = time.monotonic() - sent
        process.wait()
        if answer != "interrupted":
            return answer or f"exit status {process.returncode}"
        return f"{seconds * 1000:.0f} ms"


def selected(cases, names):
    return [c for c in cases if not names or c.prover in names or c.input in names]


def overrun_section(cases, limits):
    print(f"{'prover':32} {'input':28} {'limit':>6} {'elapsed':>8} {'overrun':>8}  answer")
    for case in cases:
        for limit in limits:
            result = overrun(case, limit)
            if result is None:
                print(f"{case.prover:32} {case.input:28} {limit:6.1f}   (the child died)")
                continue
            elapsed = result["elapsed"]
            over = elapsed - limit
            mark = "" if over <= max(0.1 * limit, 0.1) else "  OVER"
            print(f"{case.prover:32} {case.input:28} {limit:6.1f} {elapsed:8.3f} {over:+8.3f}  {result['answer']}{mark}",
                  flush=True)


def interrupt_section(cases, delays):
    print(f"{'prover':32} {'input':28} {'after':>6}  answered")
    for case in cases:
        for delay in delays:
            print(f"{case.prover:32} {case.input:28} {delay:6.1f}  {interrupt_delay(case, delay)}", flush=True)


def numbers(text):
    return [float(v) for v in text.split(",") if v]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--limits", type=numbers, default=[0.5, 2.0])
    parser.add_argument("--delays", type=numbers, default=[0.5, 2.0, 5.0])
    parser.add_argument("--sections", default="overrun,interrupt")
    parser.add_argument("--cases", default="", help="prover or input names to run (default: all)")
    args = parser.parse_args()
    names = set(n for n in args.cases.split(",") if n)
    sections = args.sections.split(",")
    if "overrun" in sections:
        print("== Time-limit overrun ==")
        overrun_section(selected(OVERRUN_CASES, names), args.limits)
    if "interrupt" in sections:
        print("\n== Ctrl-C delay ==")
        interrupt_section(selected(INTERRUPT_CASES, names), args.delays)


if __name__ == "__main__":
    main()
