"""Running out of memory raises MemoryError and leaves the process usable.

Each case runs in a child interpreter under an address-space limit a little
above what the child holds when it starts (never above the hard limit the
test run was given).  The child runs the search again and again: first on
its main thread, then each time on a new thread, whose C++ runtime state has
not been made yet, so that every run meets memory exhaustion on a thread
that the library must have prepared for it.  After each run it proves a
small formula in the same process, still under the limit.  A run that ended
the process (the C library's "cannot allocate memory for thread-local data",
a crash, an abort) shows in the child's exit status.
"""

import os
import subprocess
import sys

import pytest

# The runs of each case, and the memory it may take beyond what its child holds.
# The translation fills its memory slowly (it takes in the whole problem first),
# so it runs fewer times.
CASES = {"ljt": (20, 32 << 20), "ljt disjunctive": (20, 32 << 20), "tableau": (20, 32 << 20),
         "translation": (2, 48 << 20)}

_CHILD = r"""
import resource, sys, threading
from functools import reduce
sys.path.insert(0, sys.argv[1])
case, runs, headroom = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
import core.signature  # loaded first, as a program that uses the engine would
from core.ast import And, Implies, Or, PredicateApp
from families import pigeon

def atom(name):
    return PredicateApp(name, 0, ())

def pigeons_to_zz(holes):
    # (each pigeon sits in a hole, and two in one hole give zz) -> zz
    def o(i, j):
        return atom(f"o{i}_{j}")
    pigeons = range(1, holes + 2)
    premises = [reduce(Or, [o(i, j) for j in range(1, holes + 1)]) for i in pigeons]
    premises += [Implies(And(o(i, j), o(k, j)), atom("zz"))
                 for j in range(1, holes + 1) for i in pigeons for k in pigeons if i < k]
    return Implies(reduce(And, premises), atom("zz"))

p, q = atom("p"), atom("q")
if case == "ljt":
    from constructive.ljt import prove_ljt
    big, search, check = pigeons_to_zz(7), prove_ljt, lambda: prove_ljt(Implies(p, p)) is not None
elif case == "ljt disjunctive":
    # the disjunctive pigeonhole goal: decided at once, its proof far too large to build
    from constructive.ljt import prove_ljt
    big, search, check = pigeon(6), prove_ljt, lambda: prove_ljt(Implies(p, p)) is not None
elif case == "tableau":
    from constructive.tableau import TableauProver
    big = Implies(Implies(Implies(p, q), p), p)
    search = TableauProver(max_depth=10**7, max_worlds=10**7).prove
    check = lambda: TableauProver().prove(Implies(p, p)).is_valid
elif case == "translation":
    from constructive.resolution import TranslationResolutionProver
    def balanced(items):
        half = len(items) // 2
        return items[0] if len(items) == 1 else And(balanced(items[:half]), balanced(items[half:]))
    atoms = [atom(f"a{i}") for i in range(100_000)]
    big = Implies(balanced(atoms), atoms[0])  # a big input: its translation and frame axioms fill the memory
    search = TranslationResolutionProver(max_steps=10**9, timeout_sec=10**6).prove
    check = lambda: TranslationResolutionProver().prove(Implies(p, p)) is not None

soft, hard = resource.getrlimit(resource.RLIMIT_AS)

def limit_memory(on):
    with open("/proc/self/statm") as statm:
        held = int(statm.read().split()[0]) * resource.getpagesize()
    wanted = held + headroom if on else soft
    if hard != resource.RLIM_INFINITY:
        wanted = min(wanted, hard)
    resource.setrlimit(resource.RLIMIT_AS, (wanted, hard))

def attempt(outcome):
    try:
        search(big)
        outcome.append("finished")
    except MemoryError:
        outcome.append("MemoryError")

for run in range(runs):
    outcome = []
    if run == 0:
        limit_memory(True)
        attempt(outcome)
    else:
        go = threading.Event()
        worker = threading.Thread(target=lambda: (go.wait(), attempt(outcome)))
        worker.start()  # its stack is mapped before the limit is set
        limit_memory(True)
        go.set()
        worker.join()
    print(run, outcome[0], check(), flush=True)
    limit_memory(False)
"""

_BENCH = os.path.join(os.path.dirname(__file__), "..", "bench")


def run_child(case, runs, headroom):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.Popen([sys.executable, "-c", _CHILD, _BENCH, case, str(runs), str(headroom)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)


@pytest.fixture(scope="module")
def outcomes():
    """The cases run side by side, each in its own child."""
    children = {case: run_child(case, runs, headroom) for case, (runs, headroom) in CASES.items()}
    try:
        return {case: child.communicate(timeout=600) + (child.returncode,) for case, child in children.items()}
    finally:
        for child in children.values():
            child.kill()


@pytest.mark.parametrize("case", CASES)
def test_every_run_out_of_memory_is_a_memory_error_and_the_process_goes_on(outcomes, case):
    out, err, status = outcomes[case]
    assert status == 0, err
    runs = CASES[case][0]
    assert out.splitlines() == [f"{run} MemoryError True" for run in range(runs)], out + err
