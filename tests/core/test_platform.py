"""The sort, error and printer modules that the syntax tree stands on."""
import subprocess
import sys

import pytest

from core.ast import (And, Constant, Equality, Exists, Forall, FunctionApp, Iff, Implies, Not, Or, PredicateApp,
                      Variable)
from core.exceptions import InvalidFormulaError, SortMismatchError, UnificationError
from core.parser import to_string
from core.sorts import (Bool, FunctionSort, Ind, Nat, ParameterizedSort, PrimitiveSort, Sort, is_compatible,
                        sort_of_term)
from helpers import atom, p, probe_half_built, q

x = Variable(0)


def test_sorts():
    assert Ind.name == "Ind" and str(Nat) == "Nat" and Bool.name == "Bool"
    assert PrimitiveSort("Ind") == Ind and hash(PrimitiveSort("Ind")) == hash(Ind)
    assert isinstance(Ind, Sort)
    assert is_compatible(Ind, Ind) and not is_compatible(Ind, Nat)
    assert ParameterizedSort("List", (Nat,)) != ParameterizedSort("List", (Ind,))
    assert FunctionSort((Ind, Ind), Bool).name == "Ind * Ind -> Bool"
    assert sort_of_term(Constant("c", sort=Nat)) == Nat
    assert sort_of_term(FunctionApp("f", 0, (), Bool)) == Bool


def test_errors():
    assert issubclass(SortMismatchError, UnificationError)
    assert issubclass(InvalidFormulaError, Exception)
    err = SortMismatchError("clash", expected_sort=Ind, actual_sort=Nat)
    assert str(err) == "clash" and err.expected_sort == Ind and err.actual_sort == Nat
    assert str(UnificationError("no")) == "no"


@pytest.mark.parametrize("formula, infix, latex", [
    (p, "p", "p"),
    (Not(And(p, q)), "~((p & q))", "\\neg ((p \\land q))"),
    (Implies(Or(p, q), Iff(p, q)), "((p | q) => (p <=> q))", "((p \\lor q) \\implies (p \\iff q))"),
    (Forall(x, atom("P", x)), "forall v0 : Ind, P(v0)", "\\forall v_{0} : Ind, P(v_{0})"),
    (Exists(x, Equality(x, Constant("a"))), "exists v0 : Ind, v0 = a", "\\exists v_{0} : Ind, v_{0} = a"),
    (Implies(p, PredicateApp("_bot", 0, ())), "(p => _bot)", "(p \\implies \\bot)"),
    (atom("P", FunctionApp("c", 0, ())), "P(c())", "P(c())"),
    # a quantified left side is bracketed, so that its body visibly ends there
    (Implies(Forall(x, atom("P", x)), q), "((forall v0 : Ind, P(v0)) => q)",
     "((\\forall v_{0} : Ind, P(v_{0})) \\implies q)"),
    (And(Exists(x, atom("P", x)), q), "((exists v0 : Ind, P(v0)) & q)", "((\\exists v_{0} : Ind, P(v_{0})) \\land q)"),
    (Implies(q, Forall(x, atom("P", x))), "(q => forall v0 : Ind, P(v0))", "(q \\implies \\forall v_{0} : Ind, P(v_{0}))"),
])
def test_printer(formula, infix, latex):
    assert to_string(formula) == infix
    assert to_string(formula, notation="latex") == latex


def test_printer_refuses_non_nodes():
    with pytest.raises(InvalidFormulaError):
        to_string(42)


@pytest.mark.parametrize("notation", ["xml", "LaTeX", ""])
def test_printer_refuses_unknown_notations_by_name(notation):
    with pytest.raises(ValueError, match=f"^Unsupported notation: {notation}$"):
        to_string(p, notation=notation)
    assert to_string(p, notation="prefix") == "p"


def test_loading_the_kripke_module_loads_the_printer_and_the_vocabulary():
    code = ("import sys, constructive.kripke; "
            "print(all(m in sys.modules for m in ('core.ast', 'core.parser', 'constructive.common')))")
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert child.stdout.strip() == "True", child.stderr


@pytest.mark.parametrize("module", ["core.ast", "core.sorts", "core.exceptions", "core.parser", "constructive.common",
                                    "constructive.kripke", "constructive.tableau", "sol.ast_ext"])
def test_objects_made_by_new_alone_are_refused(module):
    status, output = probe_half_built(module)
    assert status == 0 and "survived" in output, output
    # No bound class hands out an object whose C++ part was never built.
    assert "made: \n" in output, output
