"""Speed of the tree walkers: built-in classes (walk in C++) against Python
subclasses that override one operation (a Python call per such node).

    PYTHONPATH=build/python python3 bench/bench_visitors.py
"""

import time

from core.ast import And, Forall, FunctionApp, Not, Or, PredicateApp, Variable
from core.visitors import ASTTransformer, DepthVisitor, ExportVisitor, FreeVariableCollector, SizeVisitor


def balanced(depth, leaf_id=0):
    """A formula of about 2**depth atoms with terms, quantifiers and negations."""
    if depth == 0:
        x = Variable(leaf_id % 7)
        return PredicateApp(pred="P", arity=2, args=(x, FunctionApp(func="f", arity=1, args=(x,))))
    left, right = balanced(depth - 1, 2 * leaf_id), balanced(depth - 1, 2 * leaf_id + 1)
    node = And(left, Not(right)) if depth % 2 else Or(Forall(Variable(depth % 7), left), right)
    return node


class PyDepth(DepthVisitor):
    def visit_predicate_app(self, node):
        return super().visit_predicate_app(node)


class PyTransformer(ASTTransformer):
    def visit_variable(self, node):
        return node


def timed(label, walker, formula, repeat=5):
    best = min(_once(walker, formula) for _ in range(repeat))
    print(f"{label:40s} {best * 1e3:9.2f} ms")
    return best


def doubled(levels):
    """And(f, f) nested `levels` times: a few distinct nodes, 2**levels leaves."""
    f = PredicateApp(pred="P", arity=1, args=(Variable(0),))
    for _ in range(levels):
        f = And(f, f)
    return f


def _once(walker, formula):
    start = time.perf_counter()
    walker.visit(formula)
    return time.perf_counter() - start


def main():
    formula = balanced(14)
    print("nodes:", SizeVisitor().visit(formula))
    timed("DepthVisitor (C++)", DepthVisitor(), formula)
    timed("DepthVisitor subclass, 1 override", PyDepth(), formula)
    timed("ASTTransformer (C++)", ASTTransformer(), formula)
    timed("ASTTransformer subclass, visit_variable", PyTransformer(), formula)
    timed("FreeVariableCollector (C++)", FreeVariableCollector(), formula)
    for notation in ("infix", "prefix", "latex"):
        timed(f"ExportVisitor {notation} (one printer pass)", ExportVisitor(notation), formula)
    assigned = ExportVisitor()
    assigned.visit_constant = lambda node: node.name  # no constant in the formula: node by node, no Python call
    timed("ExportVisitor, operation on the object", assigned, formula)
    shared = doubled(60)
    print("shared formula: 2**60 leaves, size", SizeVisitor().visit(shared))
    timed("SizeVisitor, shared subterms", SizeVisitor(), shared)
    timed("FreeVariableCollector, shared subterms", FreeVariableCollector(), shared)


if __name__ == "__main__":
    main()
