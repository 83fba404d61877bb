"""The four intuitionistic methods side by side: the Kripke tableau, the LJT
sequent search, prefixed resolution and the relational translation into the
classical engine, on the same formulas in one run.  A benchmark, not a test.

usage: python3 bench/bench_intuitionistic.py [--count N] [--seed S] [--sizes N,...]
                                             [--families NAME,...] [--timeout SECONDS]

Two tables.  The first takes the families of bench/families.py at small
sizes and shows, for each formula, every method's verdict and seconds.  The
second takes a seeded set of random formulas (atoms p, q, r, s and falsum,
depth at most 4) and shows, per method, how many it proves, its share of
the theorems (decided by LJT, which always ends with the right answer), the
mean seconds per formula and that mean beside LJT's.  A method that proves a
formula LJT does not prove would be unsound; the run counts such formulas and
names the first one.

Verdicts: "valid" (proved), "invalid" (refuted: the tableau's checked
countermodel, or LJT's ended search), "unknown" (the tableau's limits cut
the search) and "-" (a resolution method found no proof within its limits;
resolution never refutes).  The resolution methods run with their default
settings (multiplicity 3, 1000 steps), the translation with --timeout.
"""

import argparse
import random
import sys
import time

from constructive.common import FALSUM
from constructive.ljt import prove_ljt
from constructive.resolution import prove_prefixed_resolution, prove_translation_resolution
from constructive.tableau import prove_tableau
from core.ast import And, Implies, Not, Or
from core.parser import to_string
from families import FAMILIES, atom

TIMEOUT = [2.0]  # the translation's time limit, from the command line


def tableau_verdict(formula):
    result = prove_tableau(formula)
    if result.is_valid:
        return "valid"
    return "invalid" if result.countermodel is not None else "unknown"


def ljt_verdict(formula):
    return "valid" if prove_ljt(formula) is not None else "invalid"


def prefixed_verdict(formula):
    return "valid" if prove_prefixed_resolution(formula) is not None else "-"


def translation_verdict(formula):
    found = prove_translation_resolution(formula, max_steps=1000, timeout_sec=TIMEOUT[0])
    return "valid" if found is not None else "-"


# method name -> formula -> verdict
METHODS = {
    "tableau": tableau_verdict,
    "ljt": ljt_verdict,
    "prefixed": prefixed_verdict,
    "translation": translation_verdict,
}


def timed(method, formula):
    start = time.perf_counter()
    verdict = METHODS[method](formula)
    return verdict, time.perf_counter() - start


# ---------------------------------------------------------------------------
# Formulas
# ---------------------------------------------------------------------------
RANDOM_ATOMS = [atom(name) for name in "pqrs"]


def random_formulas(count, seed):
    """Formulas of depth at most 4 over four atoms and falsum."""
    rng = random.Random(seed)

    def build(depth):
        if depth == 0 or rng.random() < 0.25:
            return rng.choice(RANDOM_ATOMS + [FALSUM])
        kind = rng.choice((And, Or, Implies, Implies, Not))
        if kind is Not:
            return Not(build(depth - 1))
        return kind(build(depth - 1), build(depth - 1))

    return [build(4) for _ in range(count)]


# ---------------------------------------------------------------------------
# Tables
# ---------------------------------------------------------------------------
def family_table(names, sizes):
    print("Families (verdict, seconds)")
    header = f"| {'formula':<17} | {'valid?':<6} |" + "".join(f" {m:<20} |" for m in METHODS)
    print(header)
    print("|" + "|".join("-" * (len(cell)) for cell in header.split("|")[1:-1]) + "|")
    proved = {m: 0 for m in METHODS}
    valid_count = 0
    for name in names:
        build, valid, smallest = FAMILIES[name]
        for n in sizes:
            if n < smallest:
                continue
            formula = build(n)
            valid_count += valid
            cells = []
            for method in METHODS:
                verdict, seconds = timed(method, formula)
                proved[method] += verdict == "valid"
                cells.append(f" {verdict:<8} {seconds:>10.4f}s |")
            print(f"| {f'{name}({n})':<17} | {'yes' if valid else 'no':<6} |" + "".join(cells))
    print(f"| {'proved':<17} | {valid_count:<6} |" + "".join(f" {proved[m]:<20} |" for m in METHODS))
    print()


def random_table(count, seed):
    formulas = random_formulas(count, seed)
    verdicts = {m: [] for m in METHODS}
    seconds = {m: 0.0 for m in METHODS}
    for formula in formulas:
        for method in METHODS:
            verdict, took = timed(method, formula)
            verdicts[method].append(verdict)
            seconds[method] += took
    theorems = [v == "valid" for v in verdicts["ljt"]]
    total = sum(theorems)
    ljt_mean = seconds["ljt"] / count
    print(f"Random formulas: {count} (seed {seed}, 4 atoms, depth <= 4); theorems by LJT: {total}")
    print("| method      | proved | share of theorems | unsound | ms per formula | time / LJT's |")
    print("|-------------|--------|-------------------|---------|----------------|--------------|")
    for method in METHODS:
        proved = [v == "valid" for v in verdicts[method]]
        unsound = [f for f, p, t in zip(formulas, proved, theorems) if p and not t]
        share = sum(p and t for p, t in zip(proved, theorems)) / total if total else float("nan")
        mean = seconds[method] / count
        print(f"| {method:<11} | {sum(proved):>6} | {share:>16.1%} | {len(unsound):>7} | {1000 * mean:>14.3f} "
              f"| {mean / ljt_mean:>11.1f}x |")
        if unsound:
            print(f"  unsound, first case: {to_string(unsound[0])}", file=sys.stderr)
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=400, help="random formulas (default 400)")
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--sizes", default="1,2,3", help="family sizes (default 1,2,3)")
    parser.add_argument("--families", default=",".join(FAMILIES), help="families to run (default all)")
    parser.add_argument("--timeout", type=float, default=2.0, help="the translation's time limit (default 2 s)")
    args = parser.parse_args()
    TIMEOUT[0] = args.timeout
    family_table(args.families.split(","), [int(n) for n in args.sizes.split(",")])
    random_table(args.count, args.seed)


if __name__ == "__main__":
    main()
