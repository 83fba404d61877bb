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


# A child process that makes every class of a module with `__new__` alone,
# and an instance of a Python subclass of every class that allows one whose
# `__init__` keeps `self` and fails before the base's constructor runs; it
# then uses each such object every way it offers (representation, string,
# hash, comparison, each attribute, each method called without arguments,
# each function of the module called with it).  Errors are expected and
# ignored; a crash kills the child, which the caller sees in its exit
# status.  It prints the classes whose `__new__` returned an object, then
# "survived".
_HALF_BUILT_PROBE = r"""
import importlib, sys
OURS = {"core", "constructive", "sol", "prover", "config"}
module = importlib.import_module(sys.argv[1])
functions = [f for f in vars(module).values() if type(f).__name__ == "builtin_function_or_method"]


def use_every_way(cls, obj):
    uses = [repr, str, hash, bool, len, iter, lambda o: o == o, lambda o: o == 1, lambda o: o < o]
    for use in uses + functions:
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


def unfinished_subclass_instance(cls):
    kept = []
    try:
        class Unfinished(cls):
            def __init__(self, *args, **kwargs):
                kept.append(self)
                raise RuntimeError("before the base constructor")
    except TypeError:
        return None  # the class allows no subclass
    try:
        Unfinished()
    except Exception:
        pass
    return kept[0] if kept else None


made = []
for name in sorted(dir(module)):
    cls = getattr(module, name)
    if not isinstance(cls, type) or issubclass(cls, BaseException):
        continue
    if getattr(cls, "__module__", "").split(".")[0] not in OURS:
        continue
    unfinished = unfinished_subclass_instance(cls)
    if unfinished is not None:
        use_every_way(cls, unfinished)
    try:
        obj = cls.__new__(cls)
    except TypeError:
        continue
    made.append(name)
    use_every_way(cls, obj)
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


_INTERRUPTED_CHILD = r"""
import signal
import sys
# A child started from a background job inherits SIGINT ignored: answer it again.
signal.signal(signal.SIGINT, signal.default_int_handler)
sys.path[:0] = sys.argv[1].split("|")
exec(sys.argv[2])  # the set-up
print("running", flush=True)
try:
    exec(sys.argv[3])  # the long computation
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
exec(sys.argv[4])  # proof that the process is still usable: prints its result
"""


def interrupt_in_child(setup, long_call, afterwards, wait=0.5):
    """Runs `setup`, then `long_call` in a child process, sends it SIGINT
    `wait` seconds into the long call and returns (the child's answer,
    seconds from the signal to the answer, the output of `afterwards`,
    exit status)."""
    import os
    import signal
    import subprocess
    import threading
    import time

    here = os.path.dirname(__file__)
    paths = "|".join([here, os.path.join(here, "..", "bench")])
    child = subprocess.Popen([sys.executable, "-c", _INTERRUPTED_CHILD, paths, setup, long_call, afterwards],
                             stdout=subprocess.PIPE, text=True)
    # A child that never answers is killed, so the test fails instead of hanging.
    watchdog = threading.Timer(120, child.kill)
    watchdog.start()
    try:
        assert child.stdout.readline().strip() == "running"
        time.sleep(wait)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        answer = child.stdout.readline().strip()
        seconds = time.monotonic() - sent
        after = child.stdout.readline().strip()
        return answer, seconds, after, child.wait(timeout=60)
    finally:
        watchdog.cancel()
        child.kill()
        child.wait()


def shared(levels, base=None, connective=And):
    """connective(f, f) applied `levels` times to `base`: small in memory,
    2**levels copies of `base` as a tree."""
    f = base if base is not None else p
    for _ in range(levels):
        f = connective(f, f)
    return f


_TIMED_CHILD = r"""
import json, sys, time
sys.path[:0] = sys.argv[1].split("|")
exec(sys.argv[2])  # the set-up, not timed
start = time.monotonic()
try:
    answer = repr(eval(sys.argv[3]))
except Exception as error:
    answer = type(error).__name__ + ": " + str(error)
print(json.dumps([time.monotonic() - start, answer]))
"""


def timed_in_child(setup, call, timeout=300):
    """Runs `setup`, then evaluates `call` in a fresh child process and
    returns (seconds the call took, repr of its value or "Error: message")."""
    import json
    import os
    import subprocess

    here = os.path.dirname(__file__)
    paths = "|".join([here, os.path.join(here, "..", "bench")])
    child = subprocess.run([sys.executable, "-c", _TIMED_CHILD, paths, setup, call], capture_output=True, text=True,
                           timeout=timeout)
    assert child.returncode == 0, child.stderr
    seconds, answer = json.loads(child.stdout.strip().splitlines()[-1])
    return seconds, answer
