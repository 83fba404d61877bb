"""Clausification throughput through Python, against a reference clausifier
written in Python and against the C++ engine called directly.  A benchmark,
not a test.

usage: python3 bench/bench_clausifier.py [--min-seconds S] [--cpp PATH]

The formula families are those of bench/bench_clausifier.cpp, built here
with the same pseudo-random draws, so all three sides see the same inputs:
  ours       prover.clausifier.to_cnf / negate_and_clausify from Python
  reference  the seven textbook steps in plain Python (below), over the same
             syntax-tree classes, building the same Literal and Clause values
  C++        the bench_clausifier executable (--tsv), run first in this same
             run; by default the one beside the build's python directory
Before timing, the reference and ours must give equal clause lists (Skolem
counters reset) on the first formulas of every batch, and the C++ run must
report the same number of clauses per batch as ours.  Each batch is built and
timed in a forked child, so that no batch inherits the allocator state that
the earlier ones left behind.

Columns: formulas and clauses per pass over the batch; formulas/s and
clauses/s of ours through Python; the reference's formulas/s; ours/ref, the
speed-up of ours over the reference; C++/Py, the speed of the direct C++
calls over the calls through Python (the cost of the Python face).
"""

import argparse
import os
import pickle
import subprocess
import sys
import time

from core.ast import (And, Constant, Equality, Exists, Forall, FunctionApp, Iff, Implies, Not, Or,
                      PredicateApp, Variable)
from prover import clausifier
from prover.clausifier import Clause, Literal

MASK = (1 << 64) - 1


class Draws:
    """splitmix64, as in bench_clausifier.cpp."""

    def __init__(self, seed):
        self.state = seed

    def below(self, n):
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        return (z ^ (z >> 31)) % n


# ---------------------------------------------------------------------------
# Families (keep in step with bench_clausifier.cpp)
# ---------------------------------------------------------------------------
def pred(name, *args):
    return PredicateApp(name, len(args), tuple(args))


def fun(name, *args):
    return FunctionApp(name, len(args), tuple(args))


def balanced(cls, items):
    if len(items) == 1:
        return items[0]
    mid = len(items) // 2
    return cls(balanced(cls, items[:mid]), balanced(cls, items[mid:]))


def left_nested(cls, items):
    out = items[0]
    for item in items[1:]:
        out = cls(out, item)
    return out


def right_nested(cls, items):
    out = items[-1]
    for item in reversed(items[:-1]):
        out = cls(item, out)
    return out


def alternation(n):
    parts = []
    for i in range(n):
        x, y, next_x = Variable(2 * i), Variable(2 * i + 1), Variable(2 * ((i + 1) % n))
        parts.append(Or(pred("R", x, y), Not(pred("R", y, next_x))))
    body = balanced(And, parts)
    for i in reversed(range(n)):
        body = Forall(Variable(2 * i), Exists(Variable(2 * i + 1), body))
    return body


def wide_and(n):
    x, y = Variable(0), Variable(1)
    parts = []
    for i in range(n):
        c = Constant(f"c{i}")
        first = pred("P", x, c)
        second = Not(pred("Q", fun("f", x), fun("g", y, c)))
        parts.append(Or(Or(first, second), pred(f"R{i}", y)))
    return Forall(x, Forall(y, balanced(And, parts)))


def wide_or(n):
    x = Variable(0)
    literals = []
    for i in range(n):
        atom = pred(f"P{i}", x, fun("f", Constant(f"c{i % 5}")))
        literals.append(Not(atom) if i % 2 else atom)
    return Forall(x, balanced(Or, literals))


def iff_chain(n):
    x = Variable(0)
    return Forall(x, left_nested(Iff, [pred(f"P{i}", x) for i in range(n)]))


def imp_chain(n):
    x, y = Variable(0), Variable(1)
    links = [Or(pred(f"P{i}", x, y), pred(f"Q{i}", y)) for i in range(n)]
    return Forall(x, Exists(y, right_nested(Implies, links)))


class RandomFormulas:
    BINARY = (And, Or, Implies, Iff)

    def __init__(self, seed):
        self.draws = Draws(seed)

    def formula(self, depth):
        choice = 0 if depth == 0 else self.draws.below(8)
        if choice == 0:
            return self.atom()
        if choice == 1:
            return Not(self.formula(depth - 1))
        if choice <= 5:
            left = self.formula(depth - 1)
            right = self.formula(depth - 1)
            return self.BINARY[choice - 2](left, right)
        v = Variable(self.draws.below(3))
        body = self.formula(depth - 1)
        return (Forall if choice == 6 else Exists)(v, body)

    def atom(self):
        j = self.draws.below(4)
        return pred(f"P{j}", *[self.term(2) for _ in range(j % 3)])

    def term(self, depth):
        choice = 0 if depth == 0 else self.draws.below(4)
        if choice < 2:
            return Variable(self.draws.below(3))
        if choice == 2:
            return Constant(f"c{self.draws.below(2)}")
        g = self.draws.below(2)
        return fun(f"f{g}", *[self.term(depth - 1) for _ in range(g + 1)])


def under_cap(clausify, formula):
    try:
        clausify(formula)
        return True
    except ValueError:
        return False


def random_batch(depth, count):
    gen = RandomFormulas(1000 + depth)
    out = []
    while len(out) < count:
        f = gen.formula(depth)
        if under_cap(clausifier.to_cnf, f) and under_cap(clausifier.negate_and_clausify, f):
            out.append(f)
    return out


def batches():
    """(family, size, function building the batch's formulas)"""
    for family, make, sizes in [("alternation", alternation, (8, 12, 32)),
                                ("wide_and", wide_and, (100, 1000, 10000)),
                                ("wide_or", wide_or, (100, 1000, 10000)),
                                ("iff_chain", iff_chain, (4, 5, 6)),
                                ("imp_chain", imp_chain, (8, 12, 16))]:
        for n in sizes:
            yield family, n, lambda make=make, n=n: [make(n)]
    for depth in (3, 4, 5):
        yield "random", depth, lambda depth=depth: random_batch(depth, 200)


# ---------------------------------------------------------------------------
# The reference: the seven steps, plainly
# ---------------------------------------------------------------------------
ATOMS = (PredicateApp, Equality)


class Reference:
    def __init__(self):
        self.reset()

    def reset(self):
        self.constants = 0
        self.functions = 0

    # 1. A => B as ~A | B, A <=> B as (~A | B) & (~B | A)
    def eliminate(self, f):
        if isinstance(f, ATOMS):
            return f
        if isinstance(f, Not):
            return Not(self.eliminate(f.operand))
        if isinstance(f, (Implies, Iff)):
            a, b = self.eliminate(f.left), self.eliminate(f.right)
            if isinstance(f, Implies):
                return Or(Not(a), b)
            return And(Or(Not(a), b), Or(Not(b), a))
        if isinstance(f, (And, Or)):
            return type(f)(self.eliminate(f.left), self.eliminate(f.right))
        if isinstance(f, (Forall, Exists)):
            return type(f)(f.variable, self.eliminate(f.body))
        raise ValueError(f"Unsupported formula node: {type(f)}")

    # 2. negations pushed onto the atoms
    def nnf(self, f):
        if isinstance(f, ATOMS):
            return f
        if isinstance(f, Not):
            return self.negated(f.operand, f)
        if isinstance(f, (And, Or)):
            return type(f)(self.nnf(f.left), self.nnf(f.right))
        if isinstance(f, (Forall, Exists)):
            return type(f)(f.variable, self.nnf(f.body))
        if isinstance(f, (Implies, Iff)):
            return self.nnf(self.eliminate(f))
        raise ValueError(f"Unsupported formula node: {type(f)}")

    def negated(self, g, negation):
        if isinstance(g, Not):
            return self.nnf(g.operand)
        if isinstance(g, And):
            return Or(self.nnf(Not(g.left)), self.nnf(Not(g.right)))
        if isinstance(g, Or):
            return And(self.nnf(Not(g.left)), self.nnf(Not(g.right)))
        if isinstance(g, Forall):
            return Exists(g.variable, self.nnf(Not(g.body)))
        if isinstance(g, Exists):
            return Forall(g.variable, self.nnf(Not(g.body)))
        if isinstance(g, (Implies, Iff)):
            return self.nnf(Not(self.eliminate(g)))
        if isinstance(g, ATOMS):
            return negation
        raise ValueError(f"Unsupported negated formula operand: {type(g)}")

    # 3. every quantifier gets a variable of its own
    def standardize(self, f):
        ids = [0]
        self.variable_ids(f, ids)
        self.next_id = max(ids) + 1
        return self.rename(f, {})

    def variable_ids(self, f, ids):
        if isinstance(f, Variable):
            ids.append(f.id)
        elif isinstance(f, FunctionApp) or isinstance(f, PredicateApp):
            for arg in f.args:
                self.variable_ids(arg, ids)
        elif isinstance(f, Equality):
            self.variable_ids(f.left, ids)
            self.variable_ids(f.right, ids)
        elif isinstance(f, Not):
            self.variable_ids(f.operand, ids)
        elif isinstance(f, (And, Or, Implies, Iff)):
            self.variable_ids(f.left, ids)
            self.variable_ids(f.right, ids)
        elif isinstance(f, (Forall, Exists)):
            ids.append(f.variable.id)
            self.variable_ids(f.body, ids)

    def rename(self, f, env):
        if isinstance(f, ATOMS):
            return substitute(f, env) if env else f
        if isinstance(f, Not):
            return Not(self.rename(f.operand, env))
        if isinstance(f, (And, Or, Implies, Iff)):
            return type(f)(self.rename(f.left, env), self.rename(f.right, env))
        if isinstance(f, (Forall, Exists)):
            v = f.variable
            fresh = Variable(id=self.next_id, kind=v.kind, sort=v.sort)
            self.next_id += 1
            inner = dict(env)
            inner[v] = fresh
            return type(f)(fresh, self.rename(f.body, inner))
        raise ValueError(f"Unsupported formula: {type(f)}")

    # 4. existentials replaced by Skolem terms of the enclosing universals
    def skolemize(self, f, outer):
        if isinstance(f, ATOMS):
            return f
        if isinstance(f, Not):
            return Not(self.skolemize(f.operand, outer))
        if isinstance(f, (And, Or)):
            return type(f)(self.skolemize(f.left, outer), self.skolemize(f.right, outer))
        if isinstance(f, Forall):
            return Forall(f.variable, self.skolemize(f.body, outer + [f.variable]))
        if isinstance(f, Exists):
            v = f.variable
            if outer:
                term = FunctionApp(f"sk_f{self.functions}", len(outer), tuple(outer), v.sort)
                self.functions += 1
            else:
                term = Constant(f"sk_c{self.constants}", sort=v.sort)
                self.constants += 1
            return self.skolemize(substitute(f.body, {v: term}), outer)
        raise ValueError(f"Unsupported formula in skolemization: {type(f)}")

    # 5. universal quantifiers removed
    def drop_universals(self, f):
        if isinstance(f, Forall):
            return self.drop_universals(f.body)
        if isinstance(f, ATOMS):
            return f
        if isinstance(f, Not):
            return Not(self.drop_universals(f.operand))
        if isinstance(f, (And, Or)):
            return type(f)(self.drop_universals(f.left), self.drop_universals(f.right))
        raise ValueError(f"Unsupported formula: {type(f)}")

    # 6. | distributed over &
    def distribute(self, f):
        if isinstance(f, And):
            return And(self.distribute(f.left), self.distribute(f.right))
        if isinstance(f, Or):
            return self.join(self.distribute(f.left), self.distribute(f.right))
        return f

    def join(self, a, b):
        if isinstance(a, And):
            return And(self.join(a.left, b), self.join(a.right, b))
        if isinstance(b, And):
            return And(self.join(a, b.left), self.join(a, b.right))
        return Or(a, b)

    # 7. the conjuncts as clauses, tautologies dropped
    def clauses(self, f):
        conjuncts = []
        self.collect(f, And, conjuncts)
        out = []
        for conjunct in conjuncts:
            leaves = []
            self.collect(conjunct, Or, leaves)
            literals = set()
            for leaf in leaves:
                if isinstance(leaf, Not):
                    literals.add(Literal(leaf.operand, False))
                else:
                    literals.add(Literal(leaf, True))
            clause = Clause(frozenset(literals))
            if not clause.is_tautology:
                out.append(clause)
        return out

    def collect(self, f, cls, out):
        if isinstance(f, cls):
            self.collect(f.left, cls, out)
            self.collect(f.right, cls, out)
        else:
            out.append(f)

    def to_cnf(self, formula):
        f = self.standardize(self.nnf(self.eliminate(formula)))
        f = self.skolemize(f, closure(f))
        return self.clauses(self.distribute(self.drop_universals(f)))

    def negate_and_clausify(self, formula):
        for v in reversed(closure(formula)):
            formula = Forall(v, formula)
        return self.to_cnf(Not(formula))


def substitute_term(t, mapping):
    if isinstance(t, Variable):
        return mapping.get(t, t)
    if isinstance(t, FunctionApp):
        return FunctionApp(t.func, t.arity, tuple(substitute_term(a, mapping) for a in t.args), t.return_sort)
    return t


def substitute(f, mapping):
    """Every free occurrence of a mapped variable replaced (no capture can
    happen: the bound variables have been renamed apart)."""
    if isinstance(f, PredicateApp):
        return PredicateApp(f.pred, f.arity, tuple(substitute_term(a, mapping) for a in f.args))
    if isinstance(f, Equality):
        return Equality(substitute_term(f.left, mapping), substitute_term(f.right, mapping))
    if isinstance(f, Not):
        return Not(substitute(f.operand, mapping))
    if isinstance(f, (And, Or, Implies, Iff)):
        return type(f)(substitute(f.left, mapping), substitute(f.right, mapping))
    if f.variable in mapping:
        mapping = {v: t for v, t in mapping.items() if v != f.variable}
    return type(f)(f.variable, substitute(f.body, mapping))


def free_variables(f, bound, out):
    if isinstance(f, Variable):
        if f not in bound and f not in out:
            out.append(f)
    elif isinstance(f, (FunctionApp, PredicateApp)):
        for arg in f.args:
            free_variables(arg, bound, out)
    elif isinstance(f, Equality):
        free_variables(f.left, bound, out)
        free_variables(f.right, bound, out)
    elif isinstance(f, Not):
        free_variables(f.operand, bound, out)
    elif isinstance(f, (And, Or, Implies, Iff)):
        free_variables(f.left, bound, out)
        free_variables(f.right, bound, out)
    elif isinstance(f, (Forall, Exists)):
        free_variables(f.body, bound | {f.variable}, out)


def closure(f):
    """The free variables in increasing id: the universals of the closure."""
    out = []
    free_variables(f, frozenset(), out)
    return sorted(out, key=lambda v: v.id)


# ---------------------------------------------------------------------------
# Timing
# ---------------------------------------------------------------------------
REFERENCE = Reference()
OURS = {"to_cnf": clausifier.to_cnf, "negate": clausifier.negate_and_clausify}
THEIRS = {"to_cnf": REFERENCE.to_cnf, "negate": REFERENCE.negate_and_clausify}


def reset():
    clausifier.reset_skolem_counters()
    REFERENCE.reset()


def one_pass(clausify, formulas):
    reset()
    return sum(len(clausify(f)) for f in formulas)


def measure(clausify, formulas, min_seconds):
    """(clauses per pass, seconds per pass)"""
    clauses = one_pass(clausify, formulas)  # warm-up
    passes, start = 0, time.perf_counter()
    while True:
        one_pass(clausify, formulas)
        passes += 1
        elapsed = time.perf_counter() - start
        if elapsed >= min_seconds:
            return clauses, elapsed / passes


class Mismatch(Exception):
    pass


def check_same_clauses(op, formulas):
    for f in formulas[:5]:
        reset()
        ours = OURS[op](f)
        reset()
        theirs = THEIRS[op](f)
        if ours != theirs:
            raise Mismatch(f"the reference gives other clauses than ours ({len(theirs)} against {len(ours)}) on {f}")


def time_batch(build, min_seconds):
    """[(op, formulas, clauses per pass, our seconds per pass, the reference's)]
    for the operations whose clause forms stay under the cap"""
    formulas = build()
    rows = []
    for op in ("to_cnf", "negate"):
        if not all(under_cap(OURS[op], f) for f in formulas):
            continue
        check_same_clauses(op, formulas)
        clauses, ours = measure(OURS[op], formulas, min_seconds)
        _, theirs = measure(THEIRS[op], formulas, min_seconds)
        rows.append((op, len(formulas), clauses, ours, theirs))
    return rows


def in_child(work):
    """work() in a forked child, so that every batch starts from the same
    heap (what earlier batches left in the allocator skews the timing)."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        try:
            result = work()
        except Exception as error:  # handed to the parent
            result = error
        with os.fdopen(write, "wb") as out:
            pickle.dump(result, out)
        os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as source:
        result = pickle.load(source)
    os.waitpid(pid, 0)
    if isinstance(result, Exception):
        raise result
    return result


def run_cpp(path, min_seconds):
    """(family, size, op) -> (clauses per pass, seconds per pass) of the C++ run"""
    if not os.path.exists(path):
        print(f"({path} not found: no C++ column)", file=sys.stderr)
        return {}
    lines = subprocess.run([path, "--tsv", "--min-seconds", str(min_seconds)], check=True, capture_output=True,
                           text=True).stdout.splitlines()
    out = {}
    for line in lines:
        family, size, op, _formulas, clauses, seconds = line.split("\t")
        out[family, int(size), op] = int(clauses), float(seconds)
    return out


def default_cpp_path():
    build = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(clausifier.__file__))))
    return os.path.join(build, "bench_clausifier")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--min-seconds", type=float, default=0.5)
    parser.add_argument("--cpp", default=default_cpp_path())
    args = parser.parse_args()

    cpp = run_cpp(args.cpp, args.min_seconds)
    header = (f"{'family':<12} {'size':>6}  {'op':<7} {'formulas':>8} {'clauses':>8} {'formulas/s':>11} "
              f"{'clauses/s':>11} {'ref f/s':>9} {'ours/ref':>8} {'C++/Py':>7}")
    print(header)
    print("-" * len(header))
    for family, size, build in batches():
        try:
            rows = in_child(lambda: time_batch(build, args.min_seconds))
        except Mismatch as error:
            sys.exit(f"{family} {size}: {error}")
        for op, n, clauses, ours, theirs in rows:
            cpp_ratio = "-"
            if (family, size, op) in cpp:
                cpp_clauses, cpp_seconds = cpp[family, size, op]
                if cpp_clauses != clauses:
                    sys.exit(f"{family} {size} {op}: C++ gives {cpp_clauses} clauses, Python {clauses}")
                cpp_ratio = f"{ours / cpp_seconds:.2f}"
            print(f"{family:<12} {size:>6}  {op:<7} {n:>8} {clauses:>8} {n / ours:>11.0f} {clauses / ours:>11.0f} "
                  f"{n / theirs:>9.1f} {theirs / ours:>8.1f} {cpp_ratio:>7}", flush=True)

if __name__ == "__main__":
    main()
