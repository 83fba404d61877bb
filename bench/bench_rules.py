"""Times the clause rules of prover.rules against a plain Python rendering of
the same rules, on the same generated clause pairs.  A benchmark, not a test.

usage: PYTHONPATH=build/python python3 bench/bench_rules.py [--pairs N] [--seed S]

The reference builds its conclusions from the library's own values
(core.substitutions.unify_formulas and unify_terms, Literal, Clause) the way
a Python program would, so the ratio shows what running the loops in the
engine saves.  Both sides must derive the same conclusions (compared up to the
names of variables); the run stops if they do not.  Each line shows the rule, the
number of literals per clause, the pairs, the conclusions found, the seconds
of both sides and the ratio reference / ours.
"""

import argparse
import random
import re
import time

from core.ast import Constant, Equality, FunctionApp, PredicateApp, Variable
from core.substitutions import UnificationError, unify_formulas, unify_terms
from prover.clausifier import Clause, Literal
from prover.rules import (extract_atom_subterms, factor_clause, paramodulate, replace_atom_subterm,
                          resolve_clauses, standardize_clause_variables)

CONSTANTS = [Constant(name=n) for n in "abc"]
VARIABLES = [Variable(id=i) for i in range(3)]


def term(rng, depth):
    if depth == 0 or rng.random() < 0.4:
        return rng.choice(CONSTANTS + VARIABLES)
    if rng.random() < 0.6:
        return FunctionApp(func="f", arity=1, args=(term(rng, depth - 1),))
    return FunctionApp(func="g", arity=2, args=(term(rng, depth - 1), term(rng, depth - 1)))


def literal(rng):
    if rng.random() < 0.3:
        atom = Equality(left=term(rng, 3), right=term(rng, 2))
    else:
        name = rng.choice("PQR")
        atom = PredicateApp(pred=name, arity=2, args=(term(rng, 3), term(rng, 2)))
    return Literal(atom=atom, positive=rng.random() < 0.5)


def clause(rng, size):
    return Clause(frozenset(literal(rng) for _ in range(size)))


# ---------------------------------------------------------------------------
# The reference: the rules written out in Python over the library's values.
# ---------------------------------------------------------------------------

def resolve_reference(c1, c2):
    _, c2s, _ = standardize_clause_variables(c1, c2)
    results, seen = [], set()
    for l1 in c1.literals:
        for l2 in c2s.literals:
            if l1.positive == l2.positive:
                continue
            try:
                mgu = unify_formulas(l1.atom, l2.atom)
                rest = frozenset(l for l in c1.literals if l != l1) | frozenset(l for l in c2s.literals if l != l2)
                resolvent = Clause(rest).substitute(mgu)
                if resolvent not in seen:
                    seen.add(resolvent)
                    results.append((resolvent, mgu, (l1, l2)))
            except UnificationError:
                pass
    return results


def factor_reference(c):
    results, seen = [], set()
    lits = list(c.literals)
    for i in range(len(lits)):
        for j in range(i + 1, len(lits)):
            if lits[i].positive != lits[j].positive:
                continue
            try:
                mgu = unify_formulas(lits[i].atom, lits[j].atom)
                factored = c.substitute(mgu)
                if len(factored.literals) < len(c.literals) and factored not in seen:
                    seen.add(factored)
                    results.append((factored, mgu))
            except UnificationError:
                pass
    return results


def paramodulate_reference(c1, c2):
    results, seen = [], set()

    def ordered(a, b):
        _, b, _ = standardize_clause_variables(a, b)
        for e in a.literals:
            if not e.positive or not isinstance(e.atom, Equality):
                continue
            for lhs, rhs in ((e.atom.left, e.atom.right), (e.atom.right, e.atom.left)):
                for target in b.literals:
                    for s in extract_atom_subterms(target.atom):
                        if isinstance(s, Variable):
                            continue
                        try:
                            sigma = unify_terms(s, lhs)
                            for new_atom in replace_atom_subterm(target.atom, s, rhs):
                                rest = (a.literals - {e}) | (b.literals - {target}) | \
                                    {Literal(atom=new_atom, positive=target.positive)}
                                p = Clause(frozenset(rest)).substitute(sigma)
                                if p not in seen:
                                    seen.add(p)
                                    results.append((p, sigma))
                        except UnificationError:
                            pass

    ordered(c1, c2)
    ordered(c2, c1)
    return results


RULES = [
    ("resolution", lambda p: resolve_clauses(*p), lambda p: resolve_reference(*p)),
    ("factoring", lambda p: factor_clause(p[0]), lambda p: factor_reference(p[0])),
    ("paramodulation", lambda p: paramodulate(*p), lambda p: paramodulate_reference(*p)),
]


def shape(c):
    """The clause's text with variable ids left out: equal for clauses that
    differ only in the names of their variables (the two sides may bind a
    pair of variables in opposite directions, as their literal orders differ)."""
    return tuple(sorted(re.sub(r"id=\d+", "id=_", lit.to_string()) for lit in c.literals))


def timed(rule, pairs):
    start = time.perf_counter()
    results = [rule(p) for p in pairs]
    return time.perf_counter() - start, results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=300)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    print(f"{'rule':<15}{'literals':>9}{'pairs':>7}{'found':>8}{'ours s':>10}{'reference s':>13}{'ratio':>8}")
    for size in (2, 4, 8):
        rng = random.Random(args.seed * 1000 + size)
        pairs = [(clause(rng, size), clause(rng, size)) for _ in range(args.pairs)]
        for name, ours, reference in RULES:
            ours_s, ours_results = timed(ours, pairs)
            ref_s, ref_results = timed(reference, pairs)
            found = 0
            for mine, theirs in zip(ours_results, ref_results):
                if sorted(shape(r[0]) for r in mine) != sorted(shape(r[0]) for r in theirs):
                    raise SystemExit(f"{name}: the two sides disagree")
                found += len(mine)
            print(f"{name:<15}{size:>9}{len(pairs):>7}{found:>8}{ours_s:>10.3f}{ref_s:>13.3f}{ref_s / ours_s:>8.1f}")


if __name__ == "__main__":
    main()
