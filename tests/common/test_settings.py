"""The settings of every prover answer one rule.

A count is an int and a number of seconds an int or a float; a bool is
neither, and anything else is refused with TypeError naming the setting. The
rule holds wherever a setting is read: by a constructor, by an assignment,
by a module function, and where `prove` reads an attribute afresh.
"""
import pytest

from config import SolverConfig
from constructive.matrix import FormulaTree
from constructive.resolution import (ConstructiveResolutionProver, PrefixedResolutionProver,
                                     TranslationResolutionProver, clausify_prefixed, prove_resolution)
from constructive.tableau import TableauProver, prove_tableau
from core.ast import Implies
from prover.engine import TheoremProver
from helpers import p

P_IMP_P = Implies(p, p)


def assigned(make, name):
    """Sets the attribute on a new prover, then proves with it."""
    def use(value):
        prover = make()
        setattr(prover, name, value)
        return prover.prove(P_IMP_P)
    return use


def class_attribute(name):
    """A subclass whose attribute the search reads afresh."""
    def use(value):
        cls = type("Limited", (TableauProver,), {name: value})
        return cls().prove(P_IMP_P)
    return use


COUNTS = {
    "SolverConfig": ("prover_max_steps", lambda v: SolverConfig(prover_max_steps=v)),
    "TheoremProver.prove": ("max_steps", lambda v: TheoremProver().prove(P_IMP_P, max_steps=v)),
    "TableauProver depth": ("max_depth", lambda v: TableauProver(max_depth=v)),
    "TableauProver worlds": ("max_worlds", lambda v: TableauProver(max_worlds=v)),
    "prove_tableau": ("max_depth", lambda v: prove_tableau(P_IMP_P, max_depth=v)),
    "assigned depth": ("max_depth", lambda v: setattr(TableauProver(), "max_depth", v)),
    "tableau class attribute": ("max_worlds", class_attribute("max_worlds")),
    "FormulaTree": ("multiplicity", lambda v: FormulaTree(P_IMP_P, multiplicity=v)),
    "clausify_prefixed": ("multiplicity", lambda v: clausify_prefixed(P_IMP_P, multiplicity=v)),
    "PrefixedResolutionProver multiplicity": ("max_multiplicity",
                                              lambda v: PrefixedResolutionProver(max_multiplicity=v)),
    "PrefixedResolutionProver steps": ("max_steps", lambda v: PrefixedResolutionProver(max_steps=v)),
    "assigned multiplicity": ("max_multiplicity", assigned(PrefixedResolutionProver, "max_multiplicity")),
    "TranslationResolutionProver": ("max_steps", lambda v: TranslationResolutionProver(max_steps=v)),
    "assigned translation steps": ("prover_max_steps", assigned(TranslationResolutionProver, "max_steps")),
    "ConstructiveResolutionProver": ("max_multiplicity", lambda v: ConstructiveResolutionProver(max_multiplicity=v)),
    "prove_resolution": ("max_steps", lambda v: prove_resolution(P_IMP_P, max_steps=v)),
}

SECONDS = {
    "SolverConfig": ("prover_timeout_sec", lambda v: SolverConfig(prover_timeout_sec=v)),
    "TheoremProver.prove": ("timeout_sec", lambda v: TheoremProver().prove(P_IMP_P, timeout_sec=v)),
    "TranslationResolutionProver": ("timeout_sec", lambda v: TranslationResolutionProver(timeout_sec=v)),
    "ConstructiveResolutionProver": ("timeout_sec", lambda v: ConstructiveResolutionProver(timeout_sec=v)),
    "assigned translation time": ("timeout_sec", assigned(TranslationResolutionProver, "timeout_sec")),
    "prove_resolution": ("timeout_sec", lambda v: prove_resolution(P_IMP_P, method="translation", timeout_sec=v)),
}


@pytest.mark.parametrize("entry", COUNTS)
@pytest.mark.parametrize("value", [True, False, 2.0, "3"])
def test_a_count_is_an_int_and_never_a_bool(entry, value):
    name, use = COUNTS[entry]
    with pytest.raises(TypeError, match=f"^{name} must be an integer, got {type(value)}".replace("'", ".")):
        use(value)


@pytest.mark.parametrize("entry", COUNTS)
def test_a_count_given_as_an_int_is_taken(entry):
    COUNTS[entry][1](2)


@pytest.mark.parametrize("entry", SECONDS)
@pytest.mark.parametrize("value", [True, False, "1", 1j])
def test_seconds_are_an_int_or_a_float_and_never_a_bool(entry, value):
    name, use = SECONDS[entry]
    with pytest.raises(TypeError, match=f"^{name} must be a number, got {type(value)}".replace("'", ".")):
        use(value)


@pytest.mark.parametrize("entry", SECONDS)
@pytest.mark.parametrize("value", [2, 2.5])
def test_seconds_given_as_a_number_are_taken(entry, value):
    SECONDS[entry][1](value)


@pytest.mark.parametrize("entry", SECONDS)
def test_seconds_too_large_for_a_float_are_an_overflow_error(entry):
    with pytest.raises(OverflowError):
        SECONDS[entry][1](10**400)
