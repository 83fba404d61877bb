"""Formula families of growing size for intuitionistic propositional provers.

Each family maps a size n >= 1 to a formula over the atoms p1 ... (pigeon:
o<i>_<j>).  Conjunctions and disjunctions of many members nest to the left.
The same families are built in C++ by bench/families.hpp; keep the two in step.

Valid in intuitionistic logic:
  chain(n)     (p1 & (p1 -> p2) & ... & (p(n-1) -> pn)) -> pn
  debruijn(n)  m = 2n+1 atoms, C = p1 & ... & pm:
               (AND_i ((pi <-> p(i+1 mod m)) -> C)) -> C
  pigeon(n)    n+1 pigeons, n holes:
               (AND_i OR_j o(i,j)) -> OR_j OR_{i<k} (o(i,j) & o(k,j))
  dneg_lem(n)  ~~(AND_i (pi | ~pi))
Not valid:
  lem(n)            AND_i (pi | ~pi)
  linear(n)         OR_{i != j} (pi -> pj)
  debruijn_even(n)  debruijn with m = 2n atoms
"""

from functools import reduce

from core.ast import And, Iff, Implies, Not, Or, PredicateApp


def atom(name):
    return PredicateApp(name, 0, ())


def p(i):
    return atom(f"p{i}")


def conj(items):
    return reduce(And, items)


def disj(items):
    return reduce(Or, items)


def chain(n):
    links = [p(1)] + [Implies(p(i), p(i + 1)) for i in range(1, n)]
    return Implies(conj(links), p(n))


def _debruijn(m):
    c = conj([p(i) for i in range(1, m + 1)])
    cycle = [Implies(Iff(p(i), p(i % m + 1)), c) for i in range(1, m + 1)]
    return Implies(conj(cycle), c)


def debruijn(n):
    return _debruijn(2 * n + 1)


def debruijn_even(n):
    return _debruijn(2 * n)


def pigeon(n):
    def o(i, j):
        return atom(f"o{i}_{j}")

    pigeons = range(1, n + 2)
    holes = range(1, n + 1)
    placed = conj([disj([o(i, j) for j in holes]) for i in pigeons])
    shared = disj([And(o(i, j), o(k, j)) for j in holes for i in pigeons for k in pigeons if i < k])
    return Implies(placed, shared)


def lem(n):
    return conj([Or(p(i), Not(p(i))) for i in range(1, n + 1)])


def dneg_lem(n):
    return Not(Not(lem(n)))


def linear(n):
    return disj([Implies(p(i), p(j)) for i in range(1, n + 1) for j in range(1, n + 1) if i != j])


# name -> (generator, intuitionistically valid, smallest meaningful size)
FAMILIES = {
    "chain": (chain, True, 1),
    "debruijn": (debruijn, True, 1),
    "pigeon": (pigeon, True, 1),
    "dneg_lem": (dneg_lem, True, 1),
    "lem": (lem, False, 1),
    "linear": (linear, False, 2),
    "debruijn_even": (debruijn_even, False, 1),
}
