"""Tree walkers: dispatch, rebuilding, measures, free variables, light
substitution and text export."""

import functools

import pytest

from core.ast import (And, Constant, Equality, Exists, Forall, FunctionApp, Iff, Implies, Not, Or, PredicateApp,
                      Variable, VariableKind)
from core.exceptions import InvalidFormulaError
from core.substitutions import SubstitutionTransformer as FullSubstitutionTransformer
from core.sorts import PrimitiveSort
from core.visitors import (ASTTransformer, ASTVisitor, DepthVisitor, ExportVisitor, FreeVariableCollector,
                           SizeVisitor, SubstitutionTransformer)
from sol.ast_ext import (ExistsFunc, ExistsPred, ForallFunc, ForallPred, FunctionVariable, PredicateVariable)

from helpers import atom

x, y, z = Variable(0), Variable(1), Variable(2)
a, b = Constant("a"), Constant("b")
P, Q = atom("P"), atom("Q")
X = PredicateVariable(0, 1, name="X")
G = FunctionVariable(0, 1, name="g")


def fn(name, *args):
    return FunctionApp(func=name, arity=len(args), args=tuple(args))


def px(*args):
    return atom("P", *args)


# One formula per node class, each holding Q(x) at depth three or more, so
# that an override of visit_predicate_app must be reached under every parent.
def _under_every_parent():
    leaf = atom("Q", x)
    wrap = lambda f: And(P, f)  # noqa: E731  (the leaf sits below the parent under test)
    return {
        "Not": Not(Not(leaf)),
        "And": And(P, And(leaf, P)),
        "Or": wrap(Or(P, leaf)),
        "Implies": wrap(Implies(leaf, P)),
        "Iff": wrap(Iff(P, leaf)),
        "Forall": wrap(Forall(x, leaf)),
        "Exists": wrap(Exists(x, leaf)),
        "ForallPred": wrap(ForallPred(variable=X, body=leaf)),
        "ExistsPred": wrap(ExistsPred(variable=X, body=leaf)),
        "ForallFunc": wrap(ForallFunc(variable=G, body=leaf)),
        "ExistsFunc": wrap(ExistsFunc(variable=G, body=leaf)),
    }


UNDER_EVERY_PARENT = _under_every_parent()


# ---------------------------------------------------------------------------
# Rebuilding transformer
# ---------------------------------------------------------------------------

class ReplaceX(ASTTransformer):
    """Maps the variable x to the constant a."""

    def visit_variable(self, node):
        return a if node == x else node


ALL_CLASSES = [
    x, a, fn("f"), fn("f", x, a), P, px(x, fn("g", y)), Equality(x, a), Not(P), And(P, Q), Or(P, Q),
    Implies(P, Q), Iff(P, Q), Forall(x, px(x)), Exists(y, px(y)),
    ForallPred(variable=X, body=px(x)), ExistsPred(variable=X, body=P),
    ForallFunc(variable=G, body=Q), ExistsFunc(variable=G, body=px(fn("h", x))),
]


@pytest.mark.parametrize("node", ALL_CLASSES + list(UNDER_EVERY_PARENT.values()), ids=repr)
def test_plain_transformer_returns_the_same_object(node):
    assert ASTTransformer().visit(node) is node


def test_unchanged_subtrees_are_shared():
    right = Forall(y, atom("R", y, b))
    f = And(Not(px(x)), right)
    out = ReplaceX().visit(f)
    assert out == And(Not(px(a)), right)
    assert out.right is right
    assert out is not f and out.left is not f.left


def test_equal_but_new_child_rebuilds_every_parent():
    class Copy(ASTTransformer):
        def visit_constant(self, node):
            return Constant(node.name)

    f = Not(And(P, px(a)))
    out = Copy().visit(f)
    assert out == f and out is not f and out.operand.left is P


@pytest.mark.parametrize("name", sorted(UNDER_EVERY_PARENT))
def test_python_override_is_reached_under_every_parent(name):
    class Rename(ASTTransformer):
        def visit_predicate_app(self, node):
            if node.pred == "Q":
                return PredicateApp(pred="Hit", arity=node.arity, args=node.args)
            return super().visit_predicate_app(node)

    out = Rename().visit(UNDER_EVERY_PARENT[name])
    assert "Hit" in ExportVisitor().visit(out) and "Q" not in ExportVisitor().visit(out)


def test_renaming_variables_also_renames_binders_variable_first():
    order = []

    class Rename(ASTTransformer):
        def visit_variable(self, node):
            order.append(node.id)
            return Variable(node.id + 10)

    assert Rename().visit(Forall(x, px(y))) == Forall(Variable(10), px(Variable(11)))
    assert order == [0, 1]


@pytest.mark.parametrize("make", [Forall, Exists])
def test_binder_replaced_by_a_non_variable_fails_the_assertion(make):
    with pytest.raises(AssertionError) as err:
        ReplaceX().visit(make(x, px(x)))
    assert str(err.value) == ""


@pytest.mark.parametrize("build, bad", [
    (lambda f: Not(f), "term"),
    (lambda f: And(P, f), "term"),
    (lambda f: Implies(f, P), "term"),
    (lambda f: ForallPred(variable=X, body=f), "term"),
    (lambda t: Equality(t, a), "formula"),
])
def test_wrong_class_of_new_child_fails_the_assertion(build, bad):
    class Swap(ASTTransformer):
        def visit_predicate_app(self, node):
            return a if node.pred == "S" else node

        def visit_constant(self, node):
            return P if node.name == "s" else node

    child = atom("S") if bad == "term" else Constant("s")
    with pytest.raises(AssertionError):
        Swap().visit(build(child))


@pytest.mark.parametrize("build, message", [
    (lambda t: FunctionApp(func="f", arity=2, args=(t, a)), "FunctionApp 'f' expected arity 2, got 1 arguments."),
    (lambda t: PredicateApp(pred="R", arity=2, args=(a, t)), "PredicateApp 'R' expected arity 2, got 1 arguments."),
])
def test_formula_in_argument_place_fails_the_arity_check(build, message):
    class ToFormula(ASTTransformer):
        def visit_variable(self, node):
            return P

    with pytest.raises(InvalidFormulaError) as err:
        ToFormula().visit(build(x))
    assert str(err.value) == message


def test_formula_argument_comes_back_as_itself_until_it_changes():
    f = PredicateApp(pred="R", arity=1, args=(px(y),))
    assert ReplaceX().visit(f) is f
    with pytest.raises(InvalidFormulaError, match="expected arity 1, got 0 arguments"):
        ReplaceX().visit(PredicateApp(pred="R", arity=1, args=(px(x),)))


def test_unchanged_node_is_not_type_tested():
    odd = Equality(P, Q)  # sides are formulas: the tests would refuse them
    assert ReplaceX().visit(odd) is odd


def test_second_order_binder_is_carried_over():
    f = ForallPred(variable=X, body=px(x))
    out = ReplaceX().visit(f)
    assert out == ForallPred(variable=X, body=px(a)) and out.variable is f.variable


def test_children_are_visited_left_to_right_even_after_a_change():
    seen = []

    class Log(ASTTransformer):
        def visit_predicate_app(self, node):
            seen.append(node.pred)
            return atom(node.pred + "'")

    Log().visit(Implies(atom("L"), atom("R")))
    assert seen == ["L", "R"]


def test_override_returning_no_node_reaches_the_caller_at_the_root():
    class Text(ASTTransformer):
        def visit_variable(self, node):
            return "v"

    assert Text().visit(x) == "v"
    with pytest.raises(AssertionError):
        Text().visit(Equality(x, a))
    with pytest.raises(InvalidFormulaError):
        Text().visit(px(x))


# ---------------------------------------------------------------------------
# Visitor interface and dispatch
# ---------------------------------------------------------------------------

OPERATIONS = [
    "visit_variable", "visit_constant", "visit_function_app", "visit_predicate_app", "visit_equality", "visit_not",
    "visit_and", "visit_or", "visit_implies", "visit_iff", "visit_forall", "visit_exists",
    "visit_forall_pred", "visit_exists_pred", "visit_forall_func", "visit_exists_func",
]
NODE_CLASSES = [Variable, Constant, FunctionApp, PredicateApp, Equality, Not, And, Or, Implies, Iff, Forall, Exists,
                ForallPred, ExistsPred, ForallFunc, ExistsFunc]
BUILTIN_WALKERS = [ASTTransformer, DepthVisitor, SizeVisitor, FreeVariableCollector, SubstitutionTransformer,
                   ExportVisitor]


def make_walker(cls):
    return cls({}) if cls is SubstitutionTransformer else cls()


class Count(ASTVisitor):
    """Counts nodes; implements only the twelve abstract operations."""

    def visit_variable(self, node):
        return 1

    def visit_constant(self, node):
        return 1

    def visit_function_app(self, node):
        return 1 + sum(self.visit(arg) for arg in node.args)

    visit_predicate_app = visit_function_app

    def visit_equality(self, node):
        return 1 + self.visit(node.left) + self.visit(node.right)

    def visit_not(self, node):
        return 1 + self.visit(node.operand)

    visit_and = visit_or = visit_implies = visit_iff = visit_equality

    def visit_forall(self, node):
        return 1 + self.visit(node.body)

    visit_exists = visit_forall


def test_dispatch_tables():
    assert ASTVisitor._dispatch_table == {}
    tables = [cls._dispatch_table for cls in BUILTIN_WALKERS + [Count]]
    for table in tables:
        assert list(table.items()) == list(zip(NODE_CLASSES, OPERATIONS))
    assert len({id(t) for t in tables + [ASTVisitor._dispatch_table]}) == len(tables) + 1
    assert SubstitutionTransformer._dispatch_table is not ASTTransformer._dispatch_table


def test_declared_table_is_replaced_by_the_hook():
    class Declares(Count):
        _dispatch_table = {int: "visit_variable"}

    assert list(Declares._dispatch_table.values()) == OPERATIONS and int not in Declares._dispatch_table


def test_class_keywords_no_hook_accepts_are_refused():
    with pytest.raises(TypeError):
        class Odd(Count, colour="red"):  # noqa: F841
            pass


@pytest.mark.parametrize("walker", [Count] + BUILTIN_WALKERS, ids=lambda c: c.__name__)
@pytest.mark.parametrize("value, name", [("text", "str"), (3, "int"), (None, "NoneType"), (X, "SymbolVariable")])
def test_unsupported_object_is_refused_by_its_class_name(walker, value, name):
    with pytest.raises(TypeError) as err:
        make_walker(walker).visit(value)
    assert str(err.value) == "Unsupported AST node type: " + name


def test_interface_shape():
    from abc import ABC
    from typing import Generic

    import core.visitors as visitors

    assert issubclass(ASTVisitor, ABC) and issubclass(ASTVisitor, Generic)
    assert ASTVisitor.__parameters__ == (visitors.T,)
    assert ASTVisitor[int] is not None
    assert isinstance(DepthVisitor(), ASTVisitor) and not isinstance(3, ASTVisitor)
    assert ASTVisitor.__abstractmethods__ == frozenset(OPERATIONS[:12])
    with pytest.raises(TypeError):
        ASTVisitor()
    assert ASTVisitor.visit_and(Count(), And(P, Q)) is None  # abstract bodies do nothing
    assert visitors.Variable is Variable and visitors.ForallPred is ForallPred


@pytest.mark.parametrize("node", [ForallPred(variable=X, body=P), ExistsPred(variable=X, body=P),
                                  ForallFunc(variable=G, body=P), ExistsFunc(variable=G, body=P)], ids=repr)
def test_second_order_operations_default_to_not_implemented(node):
    with pytest.raises(NotImplementedError) as err:
        Count().visit(And(P, node))
    assert err.value.args == ()


def test_every_builtin_walker_implements_all_sixteen():
    f = And(ForallPred(variable=X, body=px(x)), ExistsFunc(variable=G, body=Forall(x, px(x))))
    for cls in BUILTIN_WALKERS:
        make_walker(cls).visit(f)
        assert not getattr(cls, "__abstractmethods__")


def test_leaving_one_abstract_operation_out_forbids_instances():
    body = {name: getattr(Count, name) for name in OPERATIONS[:12] if name != "visit_iff"}
    NoIff = type(ASTVisitor)("NoIff", (ASTVisitor,), body)
    with pytest.raises(TypeError, match="visit_iff"):
        NoIff()


def test_override_is_inherited_by_further_subclasses():
    class Quantified(Count):
        def visit_forall(self, node):
            return 100

    class Further(Quantified):
        pass

    assert Further().visit(Not(Forall(x, P))) == 101


@pytest.mark.parametrize("walker", BUILTIN_WALKERS, ids=lambda c: c.__name__)
@pytest.mark.parametrize("name", sorted(UNDER_EVERY_PARENT))
def test_predicate_override_is_reached_at_depth_by_every_walker(walker, name):
    if walker is SubstitutionTransformer and name in ("Forall", "Exists"):
        pytest.skip("the light substitution walks quantifier bodies with a transformer of its own class")
    seen = []

    class Spy(walker):
        def visit_predicate_app(self, node):
            seen.append(node.pred)
            return super().visit_predicate_app(node)

    plain = make_walker(walker).visit(UNDER_EVERY_PARENT[name])
    spied = (Spy({}) if walker is SubstitutionTransformer else Spy()).visit(UNDER_EVERY_PARENT[name])
    assert "Q" in seen
    assert spied == plain


@pytest.mark.parametrize("walker", BUILTIN_WALKERS, ids=lambda c: c.__name__)
def test_overriding_visit_sees_every_child(walker):
    class Logged(walker):
        def visit(self, node):
            calls.append(type(node).__name__)
            return super().visit(node)

    calls = []
    f = Not(And(px(x), ForallPred(variable=X, body=Q)))
    (Logged({}) if walker is SubstitutionTransformer else Logged()).visit(f)
    assert calls[:4] == ["Not", "And", "PredicateApp", "Variable"]
    assert calls[-2:] == ["ForallPred", "PredicateApp"]


@pytest.mark.parametrize("walker", BUILTIN_WALKERS, ids=lambda c: c.__name__)
def test_object_made_without_initialisation_is_refused(walker):
    with pytest.raises(TypeError, match=f"cannot create a {walker.__name__} with __new__ alone"):
        walker.__new__(walker)

    class OwnNew(walker):  # a subclass's own __new__ is found first and runs; the walker's methods refuse
        def __new__(cls):
            return super().__new__(cls)

    bare = OwnNew.__new__(OwnNew)
    with pytest.raises(TypeError, match="__init__"):
        bare.visit(P)
    if walker is ExportVisitor:
        # a plain attribute that no constructor has set yet
        with pytest.raises(AttributeError):
            bare.notation


def test_subclass_may_skip_the_base_initialisation():
    class Stateful(ASTTransformer):
        def __init__(self, target):
            self.target = target

        def visit_variable(self, node):
            return self.target

    assert Stateful(a).visit(px(x)) == px(a)


def test_direct_call_of_an_operation_matches_visit():
    f = And(px(x), Q)
    assert DepthVisitor().visit_and(f) == DepthVisitor().visit(f) == 3
    with pytest.raises(TypeError):
        DepthVisitor().visit_or(f)


# The result type of a walker is declarative: whatever an override returns
# takes part in the walk as Python would combine it.
@pytest.mark.parametrize("walker, operation, result, node, expected", [
    (DepthVisitor, "visit_variable", 1.5, And(px(x), P), 3.5),
    (DepthVisitor, "visit_variable", -5, px(x, y), -4),            # max() of the arguments, not of 0 and them
    (SizeVisitor, "visit_variable", 0.5, Forall(x, px(x)), 3.0),
    (SizeVisitor, "visit_constant", 2**70, Equality(a, a), 2**71 + 1),
    (ExportVisitor, "visit_constant", 7, Not(px(a, x)), "~P(7, v0)"),
    (ExportVisitor, "visit_variable", None, Forall(x, Q), "forall None : Ind, Q"),
    (FreeVariableCollector, "visit_constant", [Constant("a")], Not(px(a, x)), {Constant("a"), x}),
    (FreeVariableCollector, "visit_constant", (y,), Exists(y, px(a, x)), {x}),   # the binder is removed
])
def test_override_results_of_any_type_take_part_in_the_walk(walker, operation, result, node, expected):
    Any = type("Any", (walker,), {operation: lambda self, node: result})
    out = Any().visit(node)
    assert out == expected and type(out) is type(expected)
    # at the root the override's value comes back as it is
    leaf = x if operation == "visit_variable" else a
    assert Any().visit(leaf) is result


def test_override_results_python_cannot_combine_raise_pythons_error():
    class Text(DepthVisitor):
        def visit_constant(self, node):
            return "deep"

    with pytest.raises(TypeError, match="not supported|unsupported operand"):
        Text().visit(Not(px(a)))


# Operations are found by name on the walker object: one assigned on an
# instance is used at every depth, also by the built-in walkers.
@pytest.mark.parametrize("make, operation, value, node, expected", [
    (ExportVisitor, "visit_variable", lambda n: "X", Not(px(x, a)), "~P(X, a)"),
    (lambda: ExportVisitor("prefix"), "visit_not", lambda n: "NOT", And(P, Not(Q)), "(and P NOT)"),
    (DepthVisitor, "visit_variable", lambda n: 10, Not(px(x)), 12),
    (SizeVisitor, "visit_forall", lambda n: 100, And(P, Forall(x, px(x))), 102),
    (FreeVariableCollector, "visit_variable", lambda n: set(), px(x, y), set()),
    (ASTTransformer, "visit_variable", lambda n: a, Not(px(x)), Not(px(a))),
    (lambda: SubstitutionTransformer({x: b}), "visit_constant", lambda n: b, px(x, a), px(b, b)),
    (lambda: FullSubstitutionTransformer({x: b}), "visit_constant", lambda n: b, Exists(y, px(x, a)),
     Exists(y, px(b, b))),
])
def test_operation_assigned_on_the_object_is_used_by_the_walk(make, operation, value, node, expected):
    walker = make()
    plain = walker.visit(node)
    setattr(walker, operation, value)
    assert walker.visit(node) == expected
    delattr(walker, operation)
    assert walker.visit(node) == plain


def test_visit_assigned_on_the_object_sees_every_child():
    walker = DepthVisitor()
    seen = []
    inner = walker.visit
    walker.visit = lambda node: seen.append(type(node).__name__) or inner(node)
    assert walker.visit(Not(px(x))) == 3
    assert seen == ["Not", "PredicateApp", "Variable"]


# A class's dispatch table edited after the class was made is what visit
# follows: new operation names, and entries taken out.
@pytest.mark.parametrize("base, node, expected", [
    (DepthVisitor, Not(px(x, a)), 1 + 1 + 40),
    (ExportVisitor, Not(px(x, a)), "~P(<v0>, a)"),
    (ASTTransformer, Not(px(x, a)), Not(px(b, a))),
    (Count, Not(px(x, a)), 1 + 1 + 40 + 1),
])
def test_edited_dispatch_table_is_followed(base, node, expected):
    replacement = {DepthVisitor: 40, ExportVisitor: "<v0>", ASTTransformer: b, Count: 40}[base]
    Edited = type("Edited", (base,), {"visit_thing": lambda self, node: replacement})
    Edited._dispatch_table[Variable] = "visit_thing"
    assert Edited().visit(node) == expected
    assert Edited().visit(x) == replacement
    del Edited._dispatch_table[Not]
    with pytest.raises(TypeError, match="^Unsupported AST node type: Not$"):
        Edited().visit(And(P, Not(P)))
    # the base class's own table is untouched
    assert base().visit(node) != expected


def test_reassigning_the_class_of_a_walker_is_refused_at_use():
    walker = ASTTransformer()
    walker.__class__ = DepthVisitor
    with pytest.raises(TypeError, match="built as another walker class"):
        walker.visit(x)


# ---------------------------------------------------------------------------
# Text export
# ---------------------------------------------------------------------------

D = PrimitiveSort("D")
x0d = Variable(0, sort=D)
P_x0d = px(x0d)
FORALL_D = Forall(x0d, P_x0d)

EXPORT_CASES = [
    # node, infix, prefix, latex
    (Variable(7, VariableKind.PREDICATE, sort=D), "v7", "v7", "v_{7}"),
    (a, "a", "a", "a"),
    (Constant("a_1"), "a_1", "a_1", "a_1"),
    (fn("f", x, a), "f(v0, a)", "(f v0 a)", "f(v_{0}, a)"),
    (fn("f", fn("g", x), a), "f(g(v0), a)", "(f (g v0) a)", "f(g(v_{0}), a)"),
    (fn("c"), "c()", "c", "c()"),
    (P, "P", "P", "P"),
    (px(x), "P(v0)", "(P v0)", "P(v_{0})"),
    (Equality(x, y), "v0 = v1", "(= v0 v1)", "v_{0} = v_{1}"),
    (Not(P), "~P", "(not P)", "\\neg P"),
    (Not(Not(P)), "~~P", "(not (not P))", "\\neg \\neg P"),
    (Not(And(P, Q)), "~((P & Q))", "(not (and P Q))", "\\neg ((P \\land Q))"),
    (Not(Equality(x, y)), "~v0 = v1", "(not (= v0 v1))", "\\neg v_{0} = v_{1}"),
    (Implies(And(P, Q), Or(P, Q)), "((P & Q) => (P | Q))", "(=> (and P Q) (or P Q))",
     "((P \\land Q) \\implies (P \\lor Q))"),
    (Iff(P, Q), "(P <=> Q)", "(<=> P Q)", "(P \\iff Q)"),
    (FORALL_D, "forall v0 : D, P(v0)", "(forall (v0 : D) (P v0))", "\\forall v_{0} : D, P(v_{0})"),
    (Exists(x0d, P_x0d), "exists v0 : D, P(v0)", "(exists (v0 : D) (P v0))", "\\exists v_{0} : D, P(v_{0})"),
    (Not(FORALL_D), "~forall v0 : D, P(v0)", "(not (forall (v0 : D) (P v0)))", "\\neg \\forall v_{0} : D, P(v_{0})"),
    (And(FORALL_D, Q), "(forall v0 : D, P(v0) & Q)", "(and (forall (v0 : D) (P v0)) Q)",
     "(\\forall v_{0} : D, P(v_{0}) \\land Q)"),
    (ForallPred(variable=X, body=P), "forall_pred X, P", "(forall_pred (X) P)", "\\forall X, P"),
    (ExistsPred(variable=X, body=P), "exists_pred X, P", "(exists_pred (X) P)", "\\exists X, P"),
    (ForallFunc(variable=G, body=Q), "forall_func g, Q", "(forall_func (g) Q)", "\\forall g, Q"),
    (ExistsFunc(variable=G, body=Q), "exists_func g, Q", "(exists_func (g) Q)", "\\exists g, Q"),
    # symbols that are variables print their name
    (PredicateApp(pred=X, arity=1, args=(fn(G, x),)), "X(g(v0))", "(X (g v0))", "X(g(v_{0}))"),
    (atom("_bot"), "_bot", "_bot", "_bot"),  # the export prints names as they are
]


class NodeByNode(ExportVisitor):
    """Renders through the operations one node at a time (no whole-tree pass)."""

    def visit_constant(self, node):
        return super().visit_constant(node)


@pytest.mark.parametrize("exporter", [ExportVisitor, NodeByNode], ids=lambda c: c.__name__)
@pytest.mark.parametrize("node, infix, prefix, latex", EXPORT_CASES, ids=[c[1] for c in EXPORT_CASES])
def test_export_texts(exporter, node, infix, prefix, latex):
    assert exporter().visit(node) == infix
    assert exporter(notation="infix").visit(node) == infix
    assert exporter("prefix").visit(node) == prefix
    assert exporter("latex").visit(node) == latex


@pytest.mark.parametrize("notation", ["Infix", "tex", "", None, 3])
def test_export_refuses_unknown_notations(notation):
    with pytest.raises(ValueError) as err:
        ExportVisitor(notation)
    assert str(err.value) == "Unsupported notation: " + str(notation)


@pytest.mark.parametrize("exporter", [ExportVisitor, NodeByNode], ids=lambda c: c.__name__)
def test_notation_assigned_later_governs_without_the_check(exporter):
    v = exporter("latex")
    v.notation = "prefix"
    assert v.visit(Not(P)) == "(not P)"
    v.notation = "tex"
    assert v.notation == "tex" and v.visit(Not(And(P, Q))) == "~((P & Q))"


@pytest.mark.parametrize("exporter", [ExportVisitor, NodeByNode], ids=lambda c: c.__name__)
@pytest.mark.parametrize("value", [5, None, ["latex"], b"prefix"], ids=repr)
def test_notation_attribute_takes_any_object_and_then_gives_infix(exporter, value):
    v = exporter("prefix")
    v.notation = value
    assert v.notation is value
    assert v.visit(Not(And(P, Q))) == "~((P & Q))"
    v.notation = "latex"
    assert v.visit(Not(P)) == "\\neg P"


def test_export_override_applies_inside_the_tree():
    class Upper(ExportVisitor):
        def visit_constant(self, node):
            return node.name.upper()

    assert Upper("prefix").visit(Forall(x, atom("R", fn("f", a), b))) == "(forall (v0 : Ind) (R (f A) B))"


def test_symbol_without_a_name_prints_its_text():
    class Symbol:
        index, arity = 3, 0

        def __str__(self):
            return "S3"

    assert ExportVisitor("prefix").visit(Not(PredicateApp(pred=Symbol(), arity=0, args=()))) == "(not S3)"


# ---------------------------------------------------------------------------
# Depth and size
# ---------------------------------------------------------------------------

Qx = atom("Q", x)
SHARED = And(Qx, Qx)
MEASURES = [
    # node, depth, size
    (x, 1, 1), (a, 1, 1), (P, 1, 1), (fn("k"), 1, 1),
    (Qx, 2, 2), (atom("R", fn("f", x), a), 3, 4), (fn("g", x, fn("f", y)), 3, 4),
    (Equality(x, y), 2, 3), (Equality(fn("f", x), a), 3, 4),
    (Not(P), 2, 2), (Not(Not(Not(P))), 4, 4), (And(P, Qx), 3, 4),
    (Forall(x, Qx), 3, 4), (Forall(x, P), 2, 3), (Exists(x, Forall(y, atom("R", x, y))), 4, 7),
    (ForallPred(variable=X, body=P), 2, 2), (ForallPred(variable=X, body=Forall(x, Qx)), 4, 5),
    (ExistsFunc(variable=G, body=Or(P, Qx)), 4, 5), (SHARED, 3, 5),
]


@pytest.mark.parametrize("node, depth, size", MEASURES, ids=[repr(m[0]) for m in MEASURES])
def test_depth_and_size(node, depth, size):
    assert DepthVisitor().visit(node) == depth
    assert SizeVisitor().visit(node) == size


def test_measure_overrides_apply_at_every_level():
    class HeavyVariables(SizeVisitor):
        def visit_variable(self, node):
            return 10

    assert HeavyVariables().visit(Exists(x, Forall(y, atom("R", x, y)))) == 43


INT64_MAX = 2**63 - 1


@pytest.mark.parametrize("measure, leaf, node, expected", [
    (DepthVisitor, INT64_MAX, px(x), INT64_MAX + 1),       # 1 + the deepest argument
    (DepthVisitor, INT64_MAX, Forall(y, px(x)), INT64_MAX + 2),
    (DepthVisitor, 2**70, px(x), 2**70 + 1),
    (DepthVisitor, -2**63 - 1, px(x), -2**63),
    (SizeVisitor, 2**62, px(x, y), 2**63 + 1),             # the sum of the arguments
    (SizeVisitor, INT64_MAX, Equality(x, a), INT64_MAX + 2),
    (SizeVisitor, -2**63, Equality(x, y), 1 - 2**64),      # below the range too
    (SizeVisitor, 2**64, Equality(x, Constant("c")), 2**64 + 2),
])
def test_measures_are_exact_beyond_64_bits(measure, leaf, node, expected):
    class Heavy(measure):
        def visit_variable(self, node):
            return leaf

    assert Heavy().visit(node) == expected
    assert Heavy().visit(x) == leaf


# ---------------------------------------------------------------------------
# Free variables
# ---------------------------------------------------------------------------

same_id_other_sort = Variable(0, sort=PrimitiveSort("D"))
FREE_VARIABLES = [
    (fn("f", a, x), {x}),
    (P, set()),
    (Forall(x, atom("R", x, y)), {y}),
    (And(px(x), Forall(x, px(x))), {x}),
    (Forall(x, Forall(x, px(x))), set()),
    (ForallPred(variable=X, body=px(x)), {x}),
    (Forall(x, atom("R", x, same_id_other_sort)), {same_id_other_sort}),
    (px(Variable(3, VariableKind.FUNCTION)), {Variable(3, VariableKind.FUNCTION)}),
    (PredicateApp(pred=X, arity=1, args=(fn(G, y),)), {y}),
    (Equality(fn("f", x), y), {x, y}),
    (Iff(Not(px(z)), Exists(z, px(z))), {z}),
]


@pytest.mark.parametrize("node, expected", FREE_VARIABLES, ids=[repr(c[0]) for c in FREE_VARIABLES])
def test_free_variables(node, expected):
    assert FreeVariableCollector().visit(node) == expected


def test_free_variable_sets_belong_to_the_caller():
    collector, f = FreeVariableCollector(), And(px(x), px(y))
    first, second = collector.visit(f), collector.visit(f)
    assert type(first) is set and first is not second
    first.clear()
    assert second == {x, y} and collector.visit(f) == {x, y}


# ---------------------------------------------------------------------------
# Light substitution
# ---------------------------------------------------------------------------

R = lambda s, t: atom("R", s, t)  # noqa: E731


def test_empty_mapping_keeps_terms_and_renews_quantifiers():
    f = And(px(x), Forall(y, R(x, y)))
    out = SubstitutionTransformer({}).visit(f)
    assert out == f and out is not f and out.left is f.left
    g = px(x)
    assert SubstitutionTransformer({}).visit(g) is g


LIGHT_CASES = [
    # mapping, formula, expected
    ({x: fn("f", x)}, Forall(x, px(x)), Forall(x, px(x))),
    ({y: x}, Forall(x, R(x, y)), Forall(z, R(z, x))),
    ({y: x}, Forall(x, px(x)), Forall(z, px(z))),
    ({x: fn("f", x), y: a}, Exists(x, R(x, y)), Exists(x, R(x, a))),
    ({x: y, y: x}, Forall(x, R(x, y)), Forall(z, R(z, x))),
    ({x: y, y: x}, R(x, y), R(y, x)),
    ({x: a}, Not(And(px(x), Forall(x, px(x)))), Not(And(px(a), Forall(x, px(x))))),
    # the fresh id is chosen above the free variables only; an inner binder
    # of that id is renamed in turn
    ({y: x}, Forall(x, Forall(z, R(x, y))), Forall(z, Forall(Variable(3), R(z, x)))),
    ({x: a}, ForallPred(variable=X, body=px(x)), ForallPred(variable=X, body=px(a))),
]


@pytest.mark.parametrize("mapping, formula, expected", LIGHT_CASES, ids=[repr(c[1]) for c in LIGHT_CASES])
def test_light_substitution(mapping, formula, expected):
    before = list(mapping.items())
    assert SubstitutionTransformer(mapping).visit(formula) == expected
    assert list(mapping.items()) == before


def test_fresh_variable_keeps_sort_and_kind_of_the_binder():
    bound = Variable(4, VariableKind.PREDICATE, sort=D)
    out = SubstitutionTransformer({y: bound}).visit(Forall(bound, R(bound, y)))
    fresh = out.variable
    assert (fresh.id, fresh.kind, fresh.sort) == (5, VariableKind.PREDICATE, D)
    assert out.body == R(fresh, bound)


def test_mapping_is_the_callers_dictionary():
    mapping = {x: a}
    t = SubstitutionTransformer(mapping=mapping)
    assert t.mapping is mapping
    mapping[y] = b
    assert t.visit(R(x, y)) == R(a, b)
    assert mapping == {x: a, y: b}


class ItemsOnly:
    """A mapping-like object whose items() yields what it was given."""

    def __init__(self, items):
        self._items = items

    def items(self):
        return self._items


@pytest.mark.parametrize("mapping, message", [
    ({"x": a}, "A substitution maps variables to terms; got a key of <class 'str'>"),
    ({x: 5}, "A substitution maps variables to terms; got a value of <class 'int'>"),
    ([(x, a)], "A substitution must be a mapping from Variable to term, got <class 'list'>"),
    (ItemsOnly([[x, a]]), "The items of a substitution must be (variable, term) pairs, got <class 'list'>"),
    (ItemsOnly([(x, a, b)]), "The items of a substitution must be (variable, term) pairs, got <class 'tuple'>"),
])
@pytest.mark.parametrize("transformer", [SubstitutionTransformer, FullSubstitutionTransformer],
                         ids=["light", "full"])
def test_mapping_that_no_walk_could_use_is_refused(transformer, mapping, message):
    with pytest.raises(TypeError) as err:
        transformer(mapping)
    assert str(err.value) == message
    # a mapping spoilt after construction is refused at the next walk
    t = transformer({})
    t.mapping = mapping
    with pytest.raises(TypeError) as err:
        t.visit(px(x))
    assert str(err.value) == message


def test_second_order_binder_does_not_capture_a_replacement():
    # y := g(a) under a quantifier over the function variable g: the binder
    # is renamed so that the g of the replacement stays free.
    f = ForallFunc(variable=G, body=And(px(fn(G, y)), px(y)))
    out = SubstitutionTransformer({y: fn(G, a)}).visit(f)
    fresh = out.variable
    assert fresh != G and (fresh.arity, fresh.is_predicate) == (1, False)
    assert out.body == And(px(FunctionApp(func=fresh, arity=1, args=(fn(G, a),))), px(fn(G, a)))
    # without capture the binder stays
    assert SubstitutionTransformer({y: a}).visit(f).variable == G


def test_predicate_binder_renaming_stops_at_an_inner_binder_of_the_same_variable():
    inner = ForallPred(variable=X, body=PredicateApp(pred=X, arity=1, args=(x,)))
    f = ForallPred(variable=X, body=And(PredicateApp(pred=X, arity=1, args=(y,)), inner))
    replacement = FunctionApp(func="h", arity=1, args=(PredicateApp(pred=X, arity=1, args=(a,)),))
    out = SubstitutionTransformer({y: replacement}).visit(f)
    assert out.variable != X
    assert out.body == And(PredicateApp(pred=out.variable, arity=1, args=(replacement,)), inner)


def test_subclass_override_reaches_the_capture_pass():
    class Marked(SubstitutionTransformer):
        def visit_constant(self, node):
            return Constant(node.name + "!")

    assert Marked({y: x}).visit(Forall(x, R(a, y))) == Forall(z, R(Constant("a!"), x))
    # without capture the body is walked by a transformer of the base class
    assert Marked({y: b}).visit(Forall(x, R(a, y))) == Forall(x, R(a, b))


# ---------------------------------------------------------------------------
# Very deep trees
# ---------------------------------------------------------------------------

class PythonDepth(DepthVisitor):
    def visit_not(self, node):
        return 1 + self.visit(node.operand)


class PythonVisit(ASTTransformer):
    def visit(self, node):
        return super().visit(node)


DEEP_WALKERS = [ASTTransformer(), DepthVisitor(), SizeVisitor(), FreeVariableCollector(), ExportVisitor(),
                ExportVisitor("prefix"), ExportVisitor("latex"), NodeByNode(), SubstitutionTransformer({x: a}),
                Count(), PythonDepth(), PythonVisit()]


@functools.lru_cache(maxsize=None)
def deep_tree(shape, depth=100_000):
    """A tree `depth` levels deep: negations, quantifiers or nested function terms."""
    wrap = {
        "Not": lambda i, t: Not(t),
        "Forall": lambda i, t: Forall(Variable(i % 5), t),
        "FunctionApp": lambda i, t: fn("f", t),
    }[shape]
    tree = x if shape == "FunctionApp" else px(x)
    for i in range(depth):
        tree = wrap(i, tree)
    return px(tree) if shape == "FunctionApp" else tree


@pytest.mark.parametrize("walker", DEEP_WALKERS, ids=lambda w: type(w).__name__)
@pytest.mark.parametrize("shape", ["Not", "Forall", "FunctionApp"])
def test_depth_100000_finishes_or_raises_recursion_error(walker, shape):
    try:
        walker.visit(deep_tree(shape))
    except RecursionError:
        pass
    # the walker is still usable afterwards
    assert walker.visit(Not(px(x))) is not None


def test_walk_within_the_native_budget_finishes():
    tree = px(x)
    for _ in range(5_000):
        tree = Not(tree)
    assert DepthVisitor().visit(tree) == 5_002
    assert ASTTransformer().visit(tree) is tree
    assert ExportVisitor().visit(tree) == "~" * 5_000 + "P(v0)"


# ---------------------------------------------------------------------------
# Heavily shared formulas
# ---------------------------------------------------------------------------

def doubled(levels, leaf):
    """And(f, f) nested `levels` times: `levels` + a few distinct nodes, 2**levels leaves."""
    f = leaf
    for _ in range(levels):
        f = And(f, f)
    return f


def test_shared_subterms_are_measured_once_and_exactly():
    f = doubled(100, px(x))
    assert SizeVisitor().visit(f) == 3 * 2**100 - 1
    assert DepthVisitor().visit(f) == 102
    assert FreeVariableCollector().visit(f) == {x}
    g = Forall(x, Not(doubled(80, Equality(x, fn("f", y)))))
    assert (SizeVisitor().visit(g), DepthVisitor().visit(g)) == (5 * 2**80 + 2, 85)
    assert FreeVariableCollector().visit(g) == {y}


def test_shared_and_distinct_subterms_mixed():
    f, size, depth = px(x), 2, 2
    for i in range(40):
        f = And(f, Or(f, px(Variable(i + 1))))
        size, depth = 2 * size + 4, depth + 2
    assert (SizeVisitor().visit(f), DepthVisitor().visit(f)) == (size, depth)
    assert FreeVariableCollector().visit(f) == {Variable(i) for i in range(41)}


def test_sets_of_shared_subterms_still_belong_to_the_caller():
    f = doubled(30, px(x, y))
    first = FreeVariableCollector().visit(f)
    first.discard(x)
    assert FreeVariableCollector().visit(f) == {x, y}


INTERRUPTED_WALKS = r"""
import resource, signal
# Ctrl-C raises KeyboardInterrupt even where the test runner's SIGINT is
# ignored (a background job); a walk that failed to stop runs out of memory
# instead of filling the machine.
signal.signal(signal.SIGINT, signal.default_int_handler)
hard = resource.getrlimit(resource.RLIMIT_AS)[1]  # kept: a lower hard limit cannot be raised
soft = 4 << 30 if hard == resource.RLIM_INFINITY else min(4 << 30, hard)
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
from core.ast import And, Constant, PredicateApp, Variable
from core.visitors import ASTTransformer, DepthVisitor, ExportVisitor, SubstitutionTransformer

class NodeByNode(ExportVisitor):
    def visit_constant(self, node):
        return super().visit_constant(node)

class PythonDepth(DepthVisitor):
    def visit_constant(self, node):
        return 1

class PythonSubstitution(SubstitutionTransformer):
    def visit_constant(self, node):
        return node

x, a = Variable(0), Constant("a")
f = PredicateApp("P", 1, (x,))
for _ in range(60):
    f = And(f, f)
walks = {
    "export": ExportVisitor().visit,
    "export node by node": NodeByNode("latex").visit,
    "transformer": ASTTransformer().visit,
    "depth with an override": PythonDepth().visit,
    "substitution with an override": PythonSubstitution({x: a}).visit,
}
for name, walk in walks.items():
    print("walking", name, flush=True)
    try:
        walk(f)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    except MemoryError:
        print("out of memory", flush=True)
print("usable", DepthVisitor().visit(f), flush=True)
"""


def test_ctrl_c_stops_the_walks_that_are_as_large_as_the_tree():
    import os
    import signal
    import subprocess
    import sys
    import time

    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_WALKS], stdout=subprocess.PIPE, text=True,
                             env=dict(os.environ))
    try:
        for _ in range(5):
            line = child.stdout.readline().strip()
            assert line.startswith("walking"), line
            time.sleep(0.2)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            answer = child.stdout.readline().strip()
            assert answer == "interrupted" and time.monotonic() - sent < 1.0, (line, answer)
        assert child.stdout.readline().strip() == "usable 62"
        assert child.wait(timeout=30) == 0
    finally:
        child.kill()
        child.wait()


def test_a_subclass_instance_is_no_key_of_the_dispatch_table():
    class Atom(PredicateApp):
        pass

    with pytest.raises(TypeError, match="^Unsupported AST node type: Atom$"):
        ExportVisitor().visit(Atom("p", 0, ()))


def test_the_rebuild_checks_follow_the_interpreters_assertions():
    import subprocess
    import sys

    code = (
        "from core.ast import Not, PredicateApp, Constant\n"
        "from core.visitors import ASTTransformer\n"
        "class Swap(ASTTransformer):\n"
        "    def visit_predicate_app(self, node):\n"
        "        return Constant('a')\n"
        "try:\n"
        "    Swap().visit(Not(PredicateApp('p', 0, ())))\n"
        "except Exception as e:\n"
        "    print(type(e).__name__)\n"
    )
    answers = []
    for flags in ([], ["-O"]):
        child = subprocess.run([sys.executable, *flags, "-c", code], capture_output=True, text=True, timeout=60)
        assert child.returncode == 0, child.stderr
        answers.append(child.stdout.strip())
    # without assertions the node is left to its own construction, which refuses a term operand
    assert answers[0] == "AssertionError" and answers[1] != "AssertionError"
