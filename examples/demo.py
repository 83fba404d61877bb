"""Demonstration of the library: builds formulas, measures them, renames them
canonically, and (section by section) proves and refutes classic formulas."""

from core.ast import (And, Exists, Forall, FunctionApp, Implies, Not, Or, PredicateApp, Variable,
                      bound_variables, canonicalize_bound_variables, formula_depth, formula_size, free_variables)
from core.parser import to_string


def atom(name, *args):
    return PredicateApp(pred=name, arity=len(args), args=tuple(args))


def heading(title):
    print()
    print(title)
    print("=" * len(title))


def syntax_tree_section():
    heading("Syntax tree")
    x, y = Variable(7), Variable(3)
    formulas = [
        Implies(And(atom("p"), Implies(atom("p"), atom("q"))), atom("q")),
        Forall(x, Exists(y, atom("R", x, FunctionApp("f", 1, (y,))))),
        Or(atom("P", y), Forall(y, Not(atom("P", y)))),
    ]
    for f in formulas:
        print(to_string(f))
        print("  depth", formula_depth(f), " size", formula_size(f),
              " free", sorted(v.id for v in free_variables(f)),
              " bound", sorted(v.id for v in bound_variables(f)))
        print("  canonical:", to_string(canonicalize_bound_variables(f)))
        print("  LaTeX:    ", to_string(f, notation="latex"))


def main():
    syntax_tree_section()


if __name__ == "__main__":
    main()
