"""Small builders shared by the test modules."""

import sys

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


# A child process that makes every class of a module with `__new__` alone
# and then uses the object every way it offers (representation, string,
# hash, comparison, each attribute, each method called without arguments).
# Errors are expected and ignored; a crash kills the child, which the
# caller sees in its exit status.  It prints the classes whose `__new__`
# returned an object, then "survived".
_HALF_BUILT_PROBE = r"""
import importlib, sys
OURS = {"core", "constructive", "sol", "prover", "config"}
module = importlib.import_module(sys.argv[1])
made = []
for name in sorted(dir(module)):
    cls = getattr(module, name)
    if not isinstance(cls, type) or issubclass(cls, BaseException):
        continue
    if getattr(cls, "__module__", "").split(".")[0] not in OURS:
        continue
    try:
        obj = cls.__new__(cls)
    except TypeError:
        continue
    made.append(name)
    uses = [repr, str, hash, bool, len, iter, lambda o: o == o, lambda o: o == 1, lambda o: o < o]
    for use in uses:
        try:
            use(obj)
        except Exception:
            pass
    for attr in dir(cls):
        if attr in ("__init__", "__new__", "__class__"):
            continue
        try:
            value = getattr(obj, attr)
        except Exception:
            continue
        if callable(value):
            try:
                value()
            except Exception:
                pass
        try:
            setattr(obj, attr, None)
        except Exception:
            pass
print("made:", ",".join(made))
print("survived")
"""


def probe_half_built(module_name):
    """Runs the half-built-object probe on a module in a child process and
    returns (exit status, output).  A sound module exits 0 and prints
    "survived"; the "made:" line names the classes that `__new__` alone
    could make."""
    import subprocess

    child = subprocess.run(
        [sys.executable, "-c", _HALF_BUILT_PROBE, module_name],
        capture_output=True,
        text=True,
        timeout=120,
    )
    return child.returncode, child.stdout + child.stderr
