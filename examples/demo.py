"""Demonstration of the library: builds formulas, measures them, renames them
canonically, and (section by section) proves and refutes classic formulas."""

from core.ast import (And, Equality, Exists, Forall, FunctionApp, Implies, Not, Or, PredicateApp, Variable,
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


def inference_rules_section():
    from core.ast import Constant
    from prover.clausifier import Clause, Literal
    from prover.rules import SOLInstantiateRule, paramodulate, resolve_clauses
    from sol.ast_ext import ForallPred, PredicateVariable

    heading("Inference rules on clauses")
    x, a = Variable(id=0), Constant(name="a")
    f = lambda t: FunctionApp(func="f", arity=1, args=(t,))
    c1 = Clause(frozenset({Literal(atom=atom("P", x)), Literal(atom=atom("Q", f(x)))}))
    c2 = Clause(frozenset({Literal(atom=atom("P", a), positive=False)}))
    print("Resolve", c1, "with", c2)
    for resolvent, unifier, _ in resolve_clauses(c1, c2):
        print("  ->", resolvent, "by", {str(k.id): str(v) for k, v in unifier.items()})
    equation = Clause(frozenset({Literal(atom=Equality(left=f(a), right=a))}))
    print("Paramodulate", equation, "into", c1)
    for paramodulant, _ in paramodulate(equation, c1):
        print("  ->", paramodulant)
    # Induction: the schema over zero and succ instantiated for forall y Q(y).
    P = PredicateVariable(0, 1, "P")
    zero, succ = Constant(name="zero"), lambda t: FunctionApp(func="succ", arity=1, args=(t,))
    Pt = lambda t: PredicateApp(pred=P, arity=1, args=(t,))
    schema = ForallPred(variable=P, body=Implies(And(Pt(zero), Forall(x, Implies(Pt(x), Pt(succ(x))))),
                                                 Forall(x, Pt(x))))
    y = Variable(id=1)
    print("Induction instance for forall y Q(y):")
    for clause in SOLInstantiateRule().match_and_instantiate(schema, Forall(y, atom("Q", y))):
        print("  ", clause)


def resolution_section():
    from constructive.resolution import (ConstructiveResolutionProver, prove_prefixed_resolution,
                                         prove_translation_resolution)

    heading("Intuitionistic resolution")
    p, q = atom("p"), atom("q")
    # Prefixed resolution: one clause per path of the matrix, closed together
    # by one prefix substitution; a second copy of the premise-side
    # implications is needed for the double negation of excluded middle.
    for title, formula, premises in [
        ("p -> p", Implies(p, p), None),
        ("q from p and p -> q", q, [p, Implies(p, q)]),
        ("~~(p | ~p)", Not(Not(Or(p, Not(p)))), None),
    ]:
        print()
        print("# prefixed:", title)
        print(prove_prefixed_resolution(formula, premises))
    # The relational translation: worlds, the accessibility relation R and
    # its frame axioms, handed to the classical engine.
    contraposition = Implies(Implies(p, q), Implies(Not(q), Not(p)))
    print()
    print("# translation: contraposition")
    print(prove_translation_resolution(contraposition, timeout_sec=5.0))
    # The combined prover: prefixed first, the translation when that fails.
    auto = ConstructiveResolutionProver("auto", timeout_sec=2.0)
    for title, formula in [
        ("~~((p | ~p) & (q | ~q)): the prefixed attempt fails, the translation proves it",
         Not(Not(And(Or(p, Not(p)), Or(q, Not(q)))))),
        ("Peirce's law (classical only)", Implies(Implies(Implies(p, q), p), p)),
    ]:
        result = auto.prove(formula)
        print()
        print("# auto:", title)
        print(result if result is not None else "None: not proved by either method")


def main():
    syntax_tree_section()
    tableau_section()
    sequent_prover_section()
    inference_rules_section()
    resolution_section()


if __name__ == "__main__":
    main()
