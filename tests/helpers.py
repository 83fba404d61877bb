"""Small builders shared by the test modules."""

from core.ast import And, Iff, Implies, Not, Or, PredicateApp, Variable


def atom(name, *args):
    """A predicate application; with no arguments a propositional atom."""
    return PredicateApp(pred=name, arity=len(args), args=tuple(args))


def var(i, **kw):
    return Variable(i, **kw)


p, q, r, s = atom("p"), atom("q"), atom("r"), atom("s")


def neg(a):
    return Not(a)


def imp(a, b):
    return Implies(a, b)


def conj(a, b):
    return And(a, b)


def disj(a, b):
    return Or(a, b)


def iff(a, b):
    return Iff(a, b)


def deep_negation(depth, base=None):
    """Not(Not(...(base)...)) nested `depth` times, built bottom-up."""
    f = base if base is not None else p
    for _ in range(depth):
        f = Not(f)
    return f
