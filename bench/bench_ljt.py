"""The LJT prover against a memoised G4ip decider written here in pure Python,
on the same formulas, in one run.  A benchmark, not a test.

usage: python3 bench/bench_ljt.py [--repeat N] [--cases NAME,...] [--baseline DIR]

The reference decides provability by the same calculus: it works on sets of
antecedents (the library's formula objects), applies the invertible rules
first, tries both disjuncts and every implication of the shape
(E -> F) -> B, and remembers the answer for every (antecedent set, goal)
it meets.  It builds no proof; the LJT prover builds one.  Each line shows
the case, the verdict, both times (the best of --repeat runs) and their
ratio.  The families run at sizes where the reference needs at least 50 ms
(lem only reaches that at nesting depths the prover refuses, so it runs at
the largest size both take); random cases are drawn from a seeded stream
and kept when the reference needs at least 50 ms.  With --baseline, the
same cases are also timed on another build of the library (its python/
folder, e.g. a build of an earlier commit) in a child process, both
prove_ljt and the search of the normalised sequent alone, with their
times over ours.  A second table times the check
(is_valid) and the dictionary (to_dict) of large proofs.
"""

import argparse
import json
import os
import subprocess
import random
import sys
import time

from constructive.common import _is_atomic, _is_falsum, _is_verum, normalize_formula
from constructive.ljt import LJTProofTree, LJTProver, Sequent, prove_ljt
from core.ast import And, Iff, Implies, Not, Or, PredicateApp
from families import FAMILIES, atom

sys.setrecursionlimit(1_000_000)


# ---------------------------------------------------------------------------
# The reference: memoised G4ip on the library's formulas
# ---------------------------------------------------------------------------
class G4ip:
    """Decides intuitionistic provability of normalised formulas (atoms,
    falsum, verum, And, Or, Implies); every answer is remembered."""

    def __init__(self):
        self.memo = {}

    def provable(self, gamma, goal):
        key = (gamma, goal)
        answer = self.memo.get(key)
        if answer is None:
            answer = self.memo[key] = self._decide(gamma, goal)
        return answer

    def _decide(self, gamma, goal):
        if _is_verum(goal) or goal in gamma or any(_is_falsum(a) for a in gamma):
            return True
        if isinstance(goal, Implies):
            return self.provable(gamma | {goal.left}, goal.right)
        if isinstance(goal, And):
            return self.provable(gamma, goal.left) and self.provable(gamma, goal.right)
        for a in gamma:
            if isinstance(a, And):
                return self.provable((gamma - {a}) | {a.left, a.right}, goal)
            if isinstance(a, Or):
                rest = gamma - {a}
                return self.provable(rest | {a.left}, goal) and self.provable(rest | {a.right}, goal)
        for a in gamma:
            if not isinstance(a, Implies):
                continue
            e_f, b = a.left, a.right
            if _is_atomic(e_f) and e_f in gamma:
                return self.provable((gamma - {a}) | {b}, goal)
            if isinstance(e_f, And):
                return self.provable((gamma - {a}) | {Implies(e_f.left, Implies(e_f.right, b))}, goal)
            if isinstance(e_f, Or):
                return self.provable((gamma - {a}) | {Implies(e_f.left, b), Implies(e_f.right, b)}, goal)
        if isinstance(goal, Or) and (self.provable(gamma, goal.left) or self.provable(gamma, goal.right)):
            return True
        for a in gamma:
            if isinstance(a, Implies) and isinstance(a.left, Implies):
                e, f, b = a.left.left, a.left.right, a.right
                rest = gamma - {a}
                if self.provable(rest | {Implies(f, b), e}, f) and self.provable(rest | {b}, goal):
                    return True
        return False


def reference_verdict(formula, premises=()):
    goal = normalize_formula(formula)
    gamma = frozenset(normalize_formula(p) for p in premises)
    return G4ip().provable(gamma, goal)


def ljt_verdict(formula, premises=()):
    return prove_ljt(formula, list(premises)) is not None


def search_only(formula, premises=()):
    """The search of the initial sequent alone, without the normalisation
    (which belongs to constructive.common) and the Python face of prove."""
    seq = Sequent(tuple(normalize_formula(p) for p in premises), normalize_formula(formula))
    return lambda: LJTProver()._search(seq) is not None


# ---------------------------------------------------------------------------
# Cases
# ---------------------------------------------------------------------------
RANDOM_ATOMS = [atom(name) for name in ("a", "b", "c", "d")]
REFERENCE_FLOOR_S = 0.05


def random_formula(rng, size):
    """A formula of about `size` connectives over the four atoms."""
    if size <= 0:
        return rng.choice(RANDOM_ATOMS)
    kind = rng.choice((And, Or, Implies, Implies, Implies, Not, Iff))
    if kind is Not:
        return Not(random_formula(rng, size - 1))
    left = rng.randint(0, size - 1)
    return kind(random_formula(rng, left), random_formula(rng, size - 1 - left))


def random_candidates(premises, seed=2026, count=60, size=24):
    """A seeded stream of random cases with `premises` irrelevant premises
    (formulas of their own, over the same atoms)."""
    rng = random.Random(seed + 1000 * premises)
    for k in range(count):
        target = random_formula(rng, size)
        irrelevant = [random_formula(rng, 6) for _ in range(premises)]
        yield f"random{size}+{premises}#{k}", target, irrelevant


FAMILY_SIZES = [("debruijn", 6), ("debruijn", 7), ("debruijn_even", 4), ("debruijn_even", 5),
                ("pigeon", 4), ("pigeon", 5), ("chain", 400), ("chain", 800), ("linear", 80), ("linear", 90),
                ("lem", 3000), ("lem", 6000), ("dneg_lem", 11), ("dneg_lem", 12)]


def family_cases():
    for name, n in FAMILY_SIZES:
        yield f"{name}({n})", FAMILIES[name][0](n), []


def every_case():
    """Every case by name, random candidates included (for a child process)."""
    cases = {name: (name, target, premises) for name, target, premises in family_cases()}
    for premises in (0, 1, 2):
        cases.update((c[0], c) for c in random_candidates(premises))
    return cases


def slow_random_cases(per_kind=3):
    """For 0, 1 and 2 irrelevant premises, the first `per_kind` random cases
    on which the reference needs at least the floor."""
    for premises in (0, 1, 2):
        kept = 0
        for case in random_candidates(premises):
            start = time.perf_counter()
            reference_verdict(case[1], case[2])
            if time.perf_counter() - start >= REFERENCE_FLOOR_S:
                kept += 1
                yield case
                if kept == per_kind:
                    break


def best_time(run, repeat):
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result


BASELINE_LIMIT_S = 30


def baseline_time(directory, name, repeat):
    """The LJT time of the named case on the build in `directory`, measured
    in a child process; None when it is stopped at the limit (an older build
    may not answer interrupts)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([directory, os.path.dirname(os.path.abspath(__file__)),
                                                       os.environ.get("PYTHONPATH", "")]))
    try:
        out = subprocess.run([sys.executable, os.path.abspath(__file__), "--ljt-times", name, "--repeat", str(repeat)],
                             env=env, capture_output=True, text=True, check=True, timeout=BASELINE_LIMIT_S)
    except subprocess.TimeoutExpired:
        return None
    return json.loads(out.stdout)[name]


def ljt_times(names, repeat):
    """Per case: the time of prove_ljt and of the search alone."""
    cases = every_case()
    return {name: (best_time(lambda: ljt_verdict(cases[name][1], cases[name][2]), repeat)[0],
                   best_time(search_only(cases[name][1], cases[name][2]), repeat)[0]) for name in names}


def compare(cases, repeat, baseline):
    header = f"{'case':24} {'verdict':8} {'reference s':>12} {'ljt s':>10} {'ratio':>8}"
    print(header + (f" {'baseline s':>11} {'base/ljt':>9} {'search s':>9} {'base search s':>14} {'base/ljt':>9}"
                    if baseline else ""), flush=True)
    for name, target, premises in cases:
        ref_s, ref = best_time(lambda: reference_verdict(target, premises), repeat)
        ljt_s, ours = best_time(lambda: ljt_verdict(target, premises), repeat)
        verdict = ("valid" if ours else "invalid") if ours == ref else "DISAGREE"
        line = f"{name:24} {verdict:8} {ref_s:12.4f} {ljt_s:10.5f} {ref_s / ljt_s:8.1f}"
        if baseline:
            search_s, _ = best_time(search_only(target, premises), repeat)
            before = baseline_time(baseline, name, repeat)
            if before is None:
                over = f"{'>' + str(BASELINE_LIMIT_S):>11} {'>' + f'{BASELINE_LIMIT_S / ljt_s:.0f}':>9}"
                line += f" {over} {search_s:9.5f} {over}"
            else:
                line += (f" {before[0]:11.5f} {before[0] / ljt_s:9.2f} {search_s:9.5f} {before[1]:14.5f}"
                         f" {before[1] / search_s:9.2f}")
        floor = "" if ref_s >= REFERENCE_FLOOR_S else "  (reference under 50 ms)"
        print(line + floor, flush=True)


def proof_walks():
    """The check and the dictionary of large proofs, beside the search that found them."""
    print(f"\n{'proof':24} {'size':>9} {'search s':>10} {'is_valid s':>11} {'to_dict s':>10} {'to_ascii s':>11}")
    for name, n in [("chain", 2000), ("chain", 4000), ("dneg_lem", 12), ("debruijn", 7)]:
        formula = FAMILIES[name][0](n)
        search_s, tree = best_time(lambda: prove_ljt(formula), 1)
        valid_s, valid = best_time(tree.is_valid, 1)
        dict_s, _ = best_time(tree.to_dict, 1)
        ascii_s, _ = best_time(tree.to_ascii, 1)
        assert valid
        print(f"{name + f'({n})':24} {tree.size:9} {search_s:10.4f} {valid_s:11.4f} {dict_s:10.4f} {ascii_s:11.4f}",
              flush=True)


def main():
    if os.environ.get("PYTHONHASHSEED") != "0":
        # the reference walks sets of formulas, whose order follows their
        # hashes: one string-hash seed for every run.  Formula hashes also mix
        # in their class's hash, which changes from process to process, so
        # the reference's work (and the random cases it keeps) still varies
        # between runs; compare ratios over several runs
        os.execve(sys.executable, [sys.executable, *sys.argv], dict(os.environ, PYTHONHASHSEED="0"))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--cases", help="comma-separated case names (default: all)")
    parser.add_argument("--baseline", help="python/ folder of another build to time beside ours")
    parser.add_argument("--ljt-times", help=argparse.SUPPRESS)  # the child process of --baseline
    args = parser.parse_args()
    if args.ljt_times:
        print(json.dumps(ljt_times(args.ljt_times.split(","), args.repeat)))
        return
    if args.cases:
        every = every_case()
        cases = [every[name] for name in args.cases.split(",")]
    else:
        cases = list(family_cases()) + list(slow_random_cases())
    compare(cases, args.repeat, args.baseline)
    if not args.cases:
        proof_walks()


if __name__ == "__main__":
    main()
