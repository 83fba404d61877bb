"""The LJT prover against a memoised G4ip decider written here in pure Python,
on the same formulas, in one run.  A benchmark, not a test.

usage: python3 bench/bench_ljt.py [--repeat N] [--cases NAME,...]

The reference decides provability by the same calculus: it works on sets of
antecedents (the library's formula objects), applies the invertible rules
first, tries both disjuncts and every implication of the shape
(E -> F) -> B, and remembers the answer for every (antecedent set, goal)
it meets.  It builds no proof; the LJT prover builds one.  Each line shows
the case, the verdict, both times (the best of --repeat runs) and their
ratio.  A second table times the check (is_valid) and the dictionary
(to_dict) of large proofs.
"""

import argparse
import random
import sys
import time

from constructive.common import _is_atomic, _is_falsum, _is_verum, normalize_formula
from constructive.ljt import LJTProofTree, prove_ljt
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


# ---------------------------------------------------------------------------
# Cases
# ---------------------------------------------------------------------------
RANDOM_ATOMS = [atom(name) for name in ("a", "b", "c", "d")]


def random_formula(rng, size):
    """A formula of about `size` connectives over the four atoms."""
    if size <= 0:
        return rng.choice(RANDOM_ATOMS)
    kind = rng.choice((And, Or, Implies, Implies, Implies, Not, Iff))
    if kind is Not:
        return Not(random_formula(rng, size - 1))
    left = rng.randint(0, size - 1)
    return kind(random_formula(rng, left), random_formula(rng, size - 1 - left))


def random_cases(seed=2026, count=3, size=24, premises=0):
    rng = random.Random(seed + 1000 * premises)
    for k in range(count):
        target = random_formula(rng, size)
        irrelevant = [random_formula(rng, 6) for _ in range(premises)]
        yield f"random{size}+{premises}#{k}", target, irrelevant


def family_cases():
    for name, n in [("debruijn", 6), ("debruijn", 7), ("debruijn_even", 4), ("debruijn_even", 5),
                    ("pigeon", 4), ("pigeon", 5), ("chain", 400), ("chain", 800), ("linear", 45), ("linear", 60),
                    ("lem", 9), ("lem", 12), ("dneg_lem", 9), ("dneg_lem", 12)]:
        yield f"{name}({n})", FAMILIES[name][0](n), []


def all_cases():
    yield from family_cases()
    for premises in (0, 1, 2):
        yield from random_cases(premises=premises)


def best_time(run, repeat):
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result


def compare(cases, repeat):
    print(f"{'case':24} {'verdict':8} {'reference s':>12} {'ljt s':>10} {'ratio':>8}")
    for name, target, premises in cases:
        ref_s, ref = best_time(lambda: reference_verdict(target, premises), repeat)
        ljt_s, ours = best_time(lambda: ljt_verdict(target, premises), repeat)
        verdict = ("valid" if ours else "invalid") if ours == ref else "DISAGREE"
        print(f"{name:24} {verdict:8} {ref_s:12.4f} {ljt_s:10.5f} {ref_s / ljt_s:8.1f}", flush=True)


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
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--cases", help="comma-separated case names (default: all)")
    args = parser.parse_args()
    cases = list(all_cases())
    if args.cases:
        wanted = set(args.cases.split(","))
        cases = [c for c in cases if c[0] in wanted]
    compare(cases, args.repeat)
    proof_walks()


if __name__ == "__main__":
    main()
