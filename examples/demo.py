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


def tableau_section():
    from constructive.tableau import prove_tableau

    heading("Kripke tableau")
    p, q = atom("p"), atom("q")
    # Peirce's law sends the tableau up an endless chain of new worlds; a low
    # depth limit cuts it short, and the cut branch is still a real
    # countermodel, which the prover checks by forcing before it reports it.
    cases = [
        ("p -> p", Implies(p, p), {}),
        ("~~(p | ~p)", Not(Not(Or(p, Not(p)))), {}),
        ("p | ~p", Or(p, Not(p)), {}),
        ("Peirce's law, depth limit 6", Implies(Implies(Implies(p, q), p), p), {"max_depth": 6}),
        ("(p -> q) | (q -> p)", Or(Implies(p, q), Implies(q, p)), {}),
    ]
    for title, formula, limits in cases:
        print()
        print("#", title)
        print(prove_tableau(formula, **limits).to_string())


def sequent_prover_section():
    from constructive.ljt import prove_ljt

    heading("Sequent prover (LJT)")
    p, q = atom("p"), atom("q")
    theorem = Implies(Implies(p, q), Implies(Not(q), Not(p)))
    print("Theorem:", to_string(theorem))
    proof = prove_ljt(theorem)
    print(f"Proof ({proof.size} nodes, depth {proof.depth}, checked: {proof.is_valid()}):")
    print(proof.to_ascii())
    print("LaTeX (bussproofs):")
    print(proof.to_latex())
    for formula in (Or(p, Not(p)), Implies(Not(Not(p)), p)):
        print("Not provable:", to_string(formula), "->", prove_ljt(formula))


def main():
    syntax_tree_section()
    tableau_section()
    sequent_prover_section()


if __name__ == "__main__":
    main()
