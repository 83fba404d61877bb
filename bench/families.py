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


# ---------------------------------------------------------------------------
# The benchmark families of the field, as (target, premises) of size n
# ---------------------------------------------------------------------------
def a(i):
    return atom(f"a{i}")


def b(i):
    return atom(f"b{i}")


def o(i, j):
    return atom(f"o{i}_{j}")


F_ATOM = atom("f")


def dneg(x):
    return Not(Not(x))


def debruijn_premises(n):
    """m = 2n+1 premises (p(i) <=> p(i+1)) => c, i mod m, with the goal c = p1 & ... & pm."""
    m = 2 * n + 1
    c = conj([p(i) for i in range(1, m + 1)])
    return c, [Implies(Iff(p(i), p(i % m + 1)), c) for i in range(1, m + 1)]


def debruijn_premises_invalid(n):
    """m = 2n premises as above, with the goal p0 | c | ~p0."""
    m = 2 * n
    c = conj([p(i) for i in range(1, m + 1)])
    return disj([p(0), c, Not(p(0))]), [Implies(Iff(p(i), p(i % m + 1)), c) for i in range(1, m + 1)]


def _pigeon_premises(n, last_hole):
    pigeons, holes = range(1, n + 2), range(1, n + 1)
    placed = [disj([last_hole(i, j) if j == n else o(i, j) for j in holes]) for i in pigeons]
    shared = disj([And(o(i, j), o(k, j)) for j in holes for i in pigeons for k in pigeons if i < k])
    return shared, placed


def pigeon_premises(n):
    """n+1 pigeons in n holes: each pigeon's disjunction a premise, the goal the disjunction of collisions."""
    return _pigeon_premises(n, o)


def pigeon_premises_invalid(n):
    """As pigeon_premises, with ~~o(i, n) for the last hole in each pigeon's disjunction."""
    return _pigeon_premises(n, lambda i, j: dneg(o(i, j)))


def nested_f(n):
    """(((p1 & ... & pn) | ((p1 => f) | ... | (pn => f))) => f) => f"""
    inner = Or(conj([p(i) for i in range(1, n + 1)]), disj([Implies(p(i), F_ATOM) for i in range(1, n + 1)]))
    return Implies(Implies(inner, F_ATOM), F_ATOM), []


def nested_f_invalid(n):
    """(((p1 & ... & pn) | (~~p1 => f) | (p2 => f) | ... | (pn => f)) => f) => f"""
    members = [conj([p(i) for i in range(1, n + 1)]), Implies(dneg(p(1)), F_ATOM)]
    members += [Implies(p(i), F_ATOM) for i in range(2, n + 1)]
    return Implies(Implies(disj(members), F_ATOM), F_ATOM), []


def _descent(top, n):
    return Implies(conj([top] + [Implies(p(i), Implies(p(i), p(i - 1))) for i in range(1, n + 1)]), p(0)), []


def descent(n):
    """(pn & (p1 => p1 => p0) & ... & (pn => pn => p(n-1))) => p0"""
    return _descent(p(n), n)


def descent_invalid(n):
    """As descent, with ~~pn in place of pn."""
    return _descent(dneg(p(n)), n)


def _korn_kreitz_parts(n, lift):
    """A = a0 => f, B = (b(n) => b(0)) => a(n), and the list C of (b(i-1) => a(i)) => a(i-1),
    with lift applied to b(n) in B and to b(i-1) in C."""
    first = Implies(a(0), F_ATOM)
    second = Implies(Implies(lift(b(n)), b(0)), a(n))
    links = [Implies(Implies(lift(b(i - 1)), a(i)), a(i - 1)) for i in range(1, n + 1)]
    return first, second, links


def korn_kreitz(n):
    """((A & B & C) => f) & ((C reversed & B & A) => f)"""
    first, second, links = _korn_kreitz_parts(n, lambda x: x)
    forward = Implies(conj([first, second] + links), F_ATOM)
    backward = Implies(conj(list(reversed(links)) + [second, first]), F_ATOM)
    return And(forward, backward), []


def korn_kreitz_invalid(n):
    """(A & B & C) => f with ~~b(n) in B and ~~b(i-1) in each link of C."""
    first, second, links = _korn_kreitz_parts(n, dneg)
    return Implies(conj([first, second] + links), F_ATOM), []


def _equivalence_chain(n, first):
    left = first
    for i in range(2, n + 1):
        left = Iff(left, p(i))
    right = p(1)
    for i in range(2, n + 1):
        right = Iff(p(i), right)
    return Iff(left, right), []


def equivalence_chain(n):
    """(..((p1 <=> p2) <=> p3) .. <=> pn) <=> (pn <=> (.. (p2 <=> p1)))"""
    return _equivalence_chain(n, p(1))


def equivalence_chain_invalid(n):
    """As equivalence_chain, with ~~p1 for the first p1."""
    return _equivalence_chain(n, dneg(p(1)))


# name -> (n -> (target, premises), intuitionistically valid)
BENCHMARK_FAMILIES = {
    "debruijn": (debruijn_premises, True),
    "debruijn_invalid": (debruijn_premises_invalid, False),
    "pigeon": (pigeon_premises, True),
    "pigeon_invalid": (pigeon_premises_invalid, False),
    "nested_f": (nested_f, True),
    "nested_f_invalid": (nested_f_invalid, False),
    "descent": (descent, True),
    "descent_invalid": (descent_invalid, False),
    "korn_kreitz": (korn_kreitz, True),
    "korn_kreitz_invalid": (korn_kreitz_invalid, False),
    "equivalence_chain": (equivalence_chain, True),
    "equivalence_chain_invalid": (equivalence_chain_invalid, False),
}
