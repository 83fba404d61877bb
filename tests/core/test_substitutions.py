import random

import pytest

from core.ast import (And, Constant, Equality, Exists, Forall, FunctionApp, Implies, Not, Or, PredicateApp, Variable,
                      VariableKind, free_variables)
from core.exceptions import SortMismatchError, UnificationError
from core.sorts import Ind, PrimitiveSort
from core.substitutions import (SubstitutionTransformer, _validate_mapping_sorts, apply_substitution,
                                compose_substitutions, substitute_formula, substitute_term, unify_formulas,
                                unify_terms)
import core.substitutions as subst_module
from helpers import atom
import sol.ast_ext as so

S = PrimitiveSort("S")
x, y, z, u = Variable(0), Variable(1), Variable(2), Variable(3)
c, d = Constant("c"), Constant("d")
a, b = Constant("a"), Constant("b")


def f(*args):
    return FunctionApp("f", len(args), tuple(args))


def g(*args):
    return FunctionApp("g", len(args), tuple(args))


def P(*args):
    return atom("P", *args)


def Q(*args):
    return atom("Q", *args)


def entries(mapping):
    return list(mapping.items())


# ---------------------------------------------------------------------------
# The module
# ---------------------------------------------------------------------------
def test_module_offers_the_shared_error_classes():
    import core.exceptions
    assert subst_module.UnificationError is core.exceptions.UnificationError
    assert issubclass(SortMismatchError, UnificationError)


def test_transformer_is_a_rebuilding_transformer():
    from core.visitors import ASTTransformer
    assert issubclass(SubstitutionTransformer, ASTTransformer)
    assert isinstance(SubstitutionTransformer({}), ASTTransformer)


# ---------------------------------------------------------------------------
# Capture-avoiding substitution of formulas
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("formula, mapping, expected", [
    # replacement terms are not substituted again: a swap in one pass
    (P(x, y), {x: y, y: x}, P(y, x)),
    # y would be caught: the quantifier's variable becomes id 2
    (Forall(y, P(x, y)), {x: y}, Forall(z, P(y, z))),
    (Exists(y, P(x, y)), {x: y}, Exists(z, P(y, z))),
    # ids 0, 1 taken by body and replacement, 2 by the key z: u (id 3)
    (Forall(x, P(x, y)), {y: x, z: c}, Forall(u, P(u, x))),
    # the quantifier's own variable is never replaced
    (Forall(x, P(x)), {x: c}, Forall(x, P(x))),
    (Forall(x, And(P(x), Forall(x, Q(x)))), {y: c}, Forall(x, And(P(x), Forall(x, Q(x))))),
    (Forall(x, And(P(x, y), Exists(x, Q(x)))), {x: c, y: d}, Forall(x, And(P(x, d), Exists(x, Q(x))))),
    # x free in the replacement: renamed although x does not occur in the body
    (Forall(x, P(y)), {y: f(x)}, Forall(z, P(f(x)))),
    # y is not bound: no replacement is relevant, nothing is renamed
    (Forall(x, P(y)), {z: x}, Forall(x, P(y))),
    # an inner quantifier over the fresh variable's id keeps it out of reach
    (Forall(y, Forall(z, P(x, y, z))), {x: y}, Forall(u, Forall(z, P(y, u, z)))),
    # connectives are rebuilt around substituted atoms
    (Implies(Not(P(x)), Or(Q(x), Equality(x, y))), {x: c},
     Implies(Not(P(c)), Or(Q(c), Equality(c, y)))),
])
def test_substitute_formula(formula, mapping, expected):
    before = entries(mapping)
    result = substitute_formula(formula, mapping)
    assert result == expected
    assert entries(mapping) == before


def test_fresh_variable_keeps_sort_and_kind():
    xs, ys = Variable(0, sort=S), Variable(1, VariableKind.FUNCTION, sort=S)
    result = substitute_formula(Forall(ys, P(xs, ys)), {xs: ys})
    fresh = result.variable
    assert (fresh.id, fresh.sort, fresh.kind) == (2, S, VariableKind.FUNCTION)
    assert result.body == P(ys, fresh)


def test_fresh_id_skips_ids_of_other_sorts():
    # ids alone count: a variable of another sort still takes its id
    w = Variable(2, sort=S)
    result = substitute_formula(Forall(y, P(x, y, w)), {x: y})
    assert result.variable == Variable(3)


def test_second_order_quantifier_passes_substitution_into_body():
    X = so.PredicateVariable(0, 1)
    formula = so.ForallPred(variable=X, body=P(x))
    result = substitute_formula(formula, {x: c})
    assert type(result) is so.ForallPred
    assert result.variable == X and result.body == P(c)


F, F2 = so.FunctionVariable(0, 1, name="F"), so.FunctionVariable(2, 1, name="F2")
F1, F3 = so.FunctionVariable(1, 1, name="F1"), so.FunctionVariable(3, 1, name="F3")
X = so.PredicateVariable(0, 1, name="X")


def app(symbol, *args):
    return FunctionApp(func=symbol, arity=len(args), args=tuple(args))


# A second-order binder whose variable occurs in a replacement that enters
# its body is renamed, so that it does not capture the replacement's symbol.
@pytest.mark.parametrize("formula, mapping, expected", [
    (so.ForallFunc(variable=F, body=And(P(x), P(app(F, c)))), {x: app(F, c)},
     so.ForallFunc(variable=F1, body=And(P(app(F, c)), P(app(F1, c))))),
    (so.ExistsFunc(variable=F, body=P(x, app(F2, y))), {x: app(F, c), y: d},
     so.ExistsFunc(variable=F3, body=P(app(F, c), app(F2, d)))),
    # an inner binder of the same variable keeps its own occurrences
    (so.ForallFunc(variable=F, body=And(P(x, app(F, y)), so.ForallFunc(variable=F, body=P(app(F, c))))),
     {x: app(F, c)},
     so.ForallFunc(variable=F1, body=And(P(app(F, c), app(F1, y)), so.ForallFunc(variable=F, body=P(app(F, c)))))),
    # no capture: the replacement does not enter the body, or mentions no F
    (so.ForallFunc(variable=F, body=P(app(F, y))), {x: app(F, c)}, so.ForallFunc(variable=F, body=P(app(F, y)))),
    (so.ForallFunc(variable=F, body=Forall(x, P(x))), {x: app(F, c)}, so.ForallFunc(variable=F, body=Forall(x, P(x)))),
    (so.ForallFunc(variable=F, body=P(x)), {x: app(F2, c)}, so.ForallFunc(variable=F, body=P(app(F2, c)))),
    (so.ForallPred(variable=X, body=PredicateApp(pred=X, arity=1, args=(x,))),
     {x: app("h", PredicateApp(pred=X, arity=1, args=(c,)))},
     so.ForallPred(variable=so.PredicateVariable(1, 1, name="X1"),
                   body=PredicateApp(pred=so.PredicateVariable(1, 1, name="X1"), arity=1,
                                     args=(app("h", PredicateApp(pred=X, arity=1, args=(c,))),)))),
], ids=["issue case", "index above every F in sight", "inner binder", "not entering", "shadowed",
        "other variable", "predicate variable"])
def test_second_order_binder_never_captures_a_replacement(formula, mapping, expected):
    before = entries(mapping)
    result = substitute_formula(formula, mapping)
    assert result == expected and type(result) is type(expected)
    assert entries(mapping) == before


@pytest.mark.parametrize("value", [P(x), And(P(x), Q(x)), so.ForallPred(variable=X, body=P(x)), "x", None])
def test_sort_of_term_refuses_what_is_no_term(value):
    from core.sorts import sort_of_term

    with pytest.raises(TypeError, match="^sort_of_term expects a term, got "):
        sort_of_term(value)
    assert sort_of_term(app("f", x)) == Ind and sort_of_term(Variable(0, sort=S)) == S


def test_structure_sharing():
    assert substitute_term(x, {y: c}) is x
    assert substitute_term(c, {x: d}) is c
    fx = f(x)
    assert substitute_term(fx, {}) is fx
    rebuilt = substitute_term(fx, {y: c})
    assert rebuilt == fx and rebuilt is not fx
    term = g(a)
    assert substitute_term(f(x), {x: term}).args[0] is term
    formula = Forall(x, P(x))
    assert substitute_formula(formula, {}) is formula
    rebuilt = substitute_formula(formula, {x: c})
    assert rebuilt == formula and rebuilt is not formula


@pytest.mark.parametrize("term, mapping, expected", [
    (f(x), {x: c}, f(c)),
    (g(x, f(y)), {x: y, y: x}, g(y, f(x))),
    (g(f(x), z), {x: f(x)}, g(f(f(x)), z)),
    (x, {x: g(a, b)}, g(a, b)),
])
def test_substitute_term(term, mapping, expected):
    assert substitute_term(term, mapping) == expected
    assert apply_substitution(mapping, term) == expected
    assert apply_substitution(subst=mapping, term=term) == expected


@pytest.mark.parametrize("call", [
    lambda: substitute_term(P(x), {x: c}),
    lambda: substitute_formula(f(x), {x: c}),
    # without sort checks, a variable bound to a formula reaches an equation
    lambda: SubstitutionTransformer({x: P(c)}).visit(Equality(x, y)),
    lambda: SubstitutionTransformer({x: P(c)}).visit(Forall(y, Equality(x, y))),
])
def test_result_checks_raise_assertion_error(call):
    with pytest.raises(AssertionError) as info:
        call()
    assert str(info.value) == ""


@pytest.mark.parametrize("call", [
    lambda: substitute_term(x, {"x": c}),
    lambda: substitute_term(x, {x: "c"}),
    lambda: substitute_term(x, [(x, c)]),
    lambda: substitute_formula(Equality(x, y), {x: P(c)}),   # a formula has no sort
    lambda: unify_terms(x, 3),
])
def test_malformed_input_raises_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_non_node_with_empty_mapping_is_returned_unchecked():
    marker = object()
    assert substitute_term(marker, {}) is marker
    with pytest.raises(TypeError, match="^Unsupported AST node type: object$"):
        substitute_term(marker, {x: c})


# ---------------------------------------------------------------------------
# The transformer class
# ---------------------------------------------------------------------------
def test_transformer_keeps_callers_mapping():
    mapping = {x: c, y: d}
    t = SubstitutionTransformer(mapping)
    assert t.mapping is mapping
    assert t.scope_bound_vars == set()
    assert t.visit(Forall(x, P(x, y))) == Forall(x, P(x, d))
    assert entries(mapping) == [(x, c), (y, d)]
    assert t.scope_bound_vars == set()
    # the transformer reads its mapping at each walk
    mapping[y] = c
    assert t.visit(P(y)) == P(c)


def test_transformer_does_not_check_sorts():
    xs = Variable(0, sort=S)
    assert SubstitutionTransformer({xs: c}).visit(P(xs)) == P(c)


def test_internal_operations():
    t = SubstitutionTransformer({x: y})
    fresh = t._generate_fresh_variable(base_var=y, forbidden={x, y, Variable(2, sort=S)})
    assert fresh == Variable(3)
    assert t._generate_fresh_variable(Variable(5, VariableKind.PREDICATE), set()) == Variable(5, VariableKind.PREDICATE)
    assert t._rename_bound_variable(And(P(y), Forall(y, Q(y))), y, z) == And(P(z), Forall(y, Q(y)))
    assert t._handle_quantifier(y, P(x, y), Exists) == Exists(z, P(y, z))
    assert t.scope_bound_vars == set()


def test_failed_walk_restores_state():
    mapping = {x: P(c), y: d}
    t = SubstitutionTransformer(mapping)
    with pytest.raises(AssertionError):
        t.visit(Forall(y, Forall(z, Equality(x, y))))
    assert entries(mapping) == [(x, P(c)), (y, d)]
    assert t.scope_bound_vars == set()
    assert t.visit(Forall(y, P(y))) == Forall(y, P(y))


class _Shout(SubstitutionTransformer):
    """Upper-cases every constant it meets and records the variables visited."""

    def __init__(self, mapping):
        super().__init__(mapping)
        self.seen = []

    def visit_constant(self, node):
        return Constant(node.name.upper())

    def visit_variable(self, node):
        self.seen.append(node)
        return super().visit_variable(node)


def test_python_subclass_overrides_are_honoured():
    t = _Shout({x: c})
    formula = Forall(y, And(P(x, d), Q(f(y, x))))
    # replacement terms come back unwalked: c stays lower case, d is shouted
    assert t.visit(formula) == Forall(y, And(P(c, Constant("D")), Q(f(y, c))))
    assert t.seen == [x, y, x]
    assert isinstance(t, SubstitutionTransformer)


def test_python_subclass_can_override_inherited_connective():
    class Flip(SubstitutionTransformer):
        def visit_and(self, node):
            return Or(self.visit(node.left), self.visit(node.right))

    assert Flip({x: c}).visit(Forall(y, And(P(x), P(y)))) == Forall(y, Or(P(c), P(y)))


def test_scope_holds_the_enclosing_quantifier_variables():
    class Recorder(SubstitutionTransformer):
        def visit_predicate_app(self, node):
            self.scope = set(self.scope_bound_vars)
            return super().visit_predicate_app(node)

    t = Recorder({z: y})
    # y is renamed to u (ids 0..2 are taken), x keeps its name
    assert t.visit(Forall(y, Exists(x, P(x, y, z)))) == Forall(u, Exists(x, P(x, u, y)))
    assert t.scope == {u, x}
    assert t.scope_bound_vars == set()


def test_override_of_a_quantifier_may_reuse_the_shared_step():
    class Flip(SubstitutionTransformer):
        def visit_forall(self, node):
            return self._handle_quantifier(node.variable, node.body, Exists)

    assert Flip({x: y}).visit(Forall(y, P(x, y))) == Exists(z, P(y, z))


class _StepLog(SubstitutionTransformer):
    """Logs every call of the three quantifier steps and hands each on to the base."""

    def __init__(self, mapping):
        super().__init__(mapping)
        self.calls = []

    def _handle_quantifier(self, bound_var, body, constructor):
        self.calls.append(("handle", bound_var, constructor))
        return super()._handle_quantifier(bound_var, body, constructor)

    def _generate_fresh_variable(self, base_var, forbidden):
        self.calls.append(("fresh", base_var, frozenset(forbidden)))
        return super()._generate_fresh_variable(base_var=base_var, forbidden=forbidden)

    def _rename_bound_variable(self, formula, old_var, new_var):
        self.calls.append(("rename", old_var, new_var))
        return super()._rename_bound_variable(formula, old_var, new_var)


def test_overrides_of_the_quantifier_steps_are_called_by_the_walk():
    t = _StepLog({x: y})
    assert t.visit(Not(Exists(y, P(x, y)))) == Not(Exists(z, P(y, z)))
    assert t.calls == [("handle", y, Exists), ("fresh", y, frozenset({x, y})), ("rename", y, z)]
    # nested: the inner quantifier's step runs inside the outer one's walk
    t.calls.clear()
    assert t.visit(Forall(u, Forall(x, P(x)))) == Forall(u, Forall(x, P(x)))
    assert t.calls == [("handle", u, Forall), ("handle", x, Forall)]


@pytest.mark.parametrize("step, result, expected", [
    # the fresh variable is whatever the override chooses
    ("_generate_fresh_variable", lambda self, base_var, forbidden: Variable(99),
     Forall(Variable(99), P(y, Variable(99)))),
    # the renamed body is walked and bound by the new variable
    ("_rename_bound_variable", lambda self, formula, old_var, new_var: Q(new_var, x), Forall(z, Q(z, y))),
    # the quantifier is whatever the shared step returns
    ("_handle_quantifier", lambda self, bound_var, body, constructor: P(bound_var), P(y)),
])
def test_a_step_override_decides_the_result(step, result, expected):
    t = type("Override", (SubstitutionTransformer,), {step: result})({x: y})
    assert t.visit(Forall(y, P(x, y))) == expected
    # the same step assigned on a plain transformer object
    plain = SubstitutionTransformer({x: y})
    setattr(plain, step, result.__get__(plain))
    assert plain.visit(Forall(y, P(x, y))) == expected


@pytest.mark.parametrize("step, result, error, message", [
    ("_generate_fresh_variable", lambda self, base_var, forbidden: "v9", TypeError,
     "^_generate_fresh_variable must return a Variable, got <class 'str'>$"),
    ("_rename_bound_variable", lambda self, formula, old_var, new_var: 5, TypeError,
     "^Unsupported AST node type: int$"),
    ("_rename_bound_variable", lambda self, formula, old_var, new_var: c, AssertionError, "^$"),
])
def test_a_step_override_returning_the_wrong_kind_of_value_is_refused(step, result, error, message):
    mapping = {x: y}
    t = type("Override", (SubstitutionTransformer,), {step: result})(mapping)
    with pytest.raises(error, match=message):
        t.visit(Forall(y, P(x, y)))
    assert entries(mapping) == [(x, y)] and t.scope_bound_vars == set()


def test_handle_quantifier_override_may_return_any_value():
    class Marker(SubstitutionTransformer):
        def _handle_quantifier(self, bound_var, body, constructor):
            return "quantifier"

    assert Marker({}).visit(Exists(x, P(x))) == "quantifier"


def test_fresh_variable_id_beyond_64_bits_is_refused():
    top = Variable(2**63 - 1)
    with pytest.raises(ValueError, match="^No fresh variable id above 9223372036854775807$"):
        substitute_formula(Forall(top, P(top, y)), {y: top})
    t = SubstitutionTransformer({})
    with pytest.raises(ValueError, match="^No fresh variable id above 9223372036854775807$"):
        t._generate_fresh_variable(base_var=Variable(2**63 - 2), forbidden={Variable(2**63 - 2), top})
    # just below the top there is still room
    assert t._generate_fresh_variable(base_var=Variable(2**63 - 2), forbidden={Variable(2**63 - 2)}) == top


def test_override_returning_a_non_node_argument_fails_the_arity_check():
    from core.exceptions import InvalidFormulaError

    class Bad(SubstitutionTransformer):
        def visit_constant(self, node):
            return 5

    with pytest.raises(InvalidFormulaError, match="^FunctionApp 'f' expected arity 2, got 1 arguments.$"):
        Bad({}).visit(f(x, c))


def test_dispatch_table_is_the_visitors_table():
    import core.visitors as visitors
    table = SubstitutionTransformer._dispatch_table
    assert len(table) == 16 and table is not visitors.ASTTransformer._dispatch_table
    assert list(table.items())[:2] == [(visitors.Variable, "visit_variable"), (visitors.Constant, "visit_constant")]
    assert table[visitors.ExistsFunc] == "visit_exists_func"


def test_renaming_uses_the_plain_class():
    # the inner renaming walk is the module's own transformer, not the subclass
    t = _Shout({x: y})
    assert t.visit(Forall(y, P(x, y))) == Forall(z, P(y, z))
    assert t.seen == [x, z]


# ---------------------------------------------------------------------------
# Sort checks of substitutions
# ---------------------------------------------------------------------------
xs = Variable(0, sort=S)


@pytest.mark.parametrize("call", [
    lambda: _validate_mapping_sorts({xs: c}),
    lambda: substitute_term(y, {xs: c}),          # checked although x does not occur
    lambda: substitute_formula(P(y), {xs: c}),
    lambda: apply_substitution({xs: c}, y),
    lambda: compose_substitutions({xs: c}, {}),
    lambda: compose_substitutions({}, {xs: c}),
    lambda: substitute_term(y, {y: d, xs: c, Variable(7, sort=S): a}),  # the first bad binding is reported
])
def test_sort_mismatch_in_substitution(call):
    with pytest.raises(SortMismatchError) as info:
        call()
    error = info.value
    assert str(error) == "Sort mismatch in substitution: variable v0 has sort S, but replacement term has sort Ind."
    assert (error.expected_sort, error.actual_sort) == (S, Ind)


def test_compose_checks_outer_substitution_first():
    with pytest.raises(SortMismatchError, match="variable v7"):
        compose_substitutions({Variable(7, sort=S): c}, {xs: c})


def test_well_sorted_mappings_validate():
    assert _validate_mapping_sorts({x: c}) is None
    assert _validate_mapping_sorts({}) is None
    assert _validate_mapping_sorts({xs: Constant("k", sort=S), y: f(x)}) is None


# ---------------------------------------------------------------------------
# Composition
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("s1, s2, expected", [
    ({y: c}, {x: f(y)}, [(x, f(c)), (y, c)]),
    ({y: x}, {x: y}, [(y, x)]),          # x's composed binding is the identity and is dropped
    ({x: d}, {x: c}, [(x, c)]),
    ({x: x}, {}, []),
    ({}, {}, []),
    ({z: a, y: b}, {x: g(y, z), u: u}, [(x, g(b, a)), (z, a), (y, b)]),
])
def test_compose_substitutions(s1, s2, expected):
    result = compose_substitutions(s1, s2)
    assert entries(result) == expected
    assert result is not s1 and result is not s2


# ---------------------------------------------------------------------------
# Term unification
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("t1, t2, start, expected", [
    (f(x), f(x), None, []),
    (x, y, None, [(x, y)]),
    (y, x, None, [(y, x)]),
    (x, c, {x: c}, [(x, c)]),
    (x, c, {x: y, y: c}, [(x, y), (y, c)]),                   # dereferencing follows chains
    (x, c, {y: f(x)}, [(y, f(c)), (x, c)]),                    # earlier values are rewritten
    (f(x, a), f(b, y), None, [(x, b), (y, a)]),
    (FunctionApp("k", 0, ()), FunctionApp("k", 0, ()), None, []),
    (c, x, None, [(x, c)]),
    (x, c, None, [(x, c)]),
    (g(x, f(y)), g(f(z), x), None, [(x, f(z)), (y, z)]),
    (g(x, y), g(y, f(z)), None, [(x, f(z)), (y, f(z))]),
])
def test_unify_terms(t1, t2, start, expected):
    before = None if start is None else entries(start)
    result = unify_terms(t1, t2, start)
    assert entries(result) == expected
    assert result is not start
    if start is not None:
        assert entries(start) == before
    if is_idempotent(result):
        assert substitute_term(t1, result) == substitute_term(t2, result)


def test_unify_terms_by_keyword():
    assert entries(unify_terms(t1=x, t2=c, subst={})) == [(x, c)]


F_ARITY_2 = FunctionApp("f", 2, (a, b))
ks = Constant("c", sort=S)


@pytest.mark.parametrize("t1, t2, start, error, message", [
    (x, f(x), None, UnificationError, "Occur-check failed: variable v0 occurs in " + repr(f(x))),
    (x, f(y), {y: g(x)}, UnificationError, "Occur-check failed: variable v0 occurs in " + repr(f(g(x)))),
    (f(y), y, None, UnificationError, "Occur-check failed: variable v1 occurs in " + repr(f(y))),
    (x, d, {x: c}, UnificationError, "Constant mismatch: 'c' vs 'd'"),
    (f(x, x), f(a, b), None, UnificationError, "Constant mismatch: 'a' vs 'b'"),
    (f(x), F_ARITY_2, None, UnificationError, "Function symbol/arity mismatch: 'f/1' vs 'f/2'"),
    (f(x), g(x, y), None, UnificationError, "Function symbol/arity mismatch: 'f/1' vs 'g/2'"),
    (c, f(x), None, UnificationError, "Cannot unify incompatible term structures: Constant and FunctionApp"),
    (f(x), c, None, UnificationError, "Cannot unify incompatible term structures: FunctionApp and Constant"),
    (x, P(c), None, UnificationError, "Cannot unify incompatible term structures: Variable and PredicateApp"),
    (xs, c, None, SortMismatchError, "Sort mismatch unifying v0 (S) with term (Ind)"),
    (c, xs, None, SortMismatchError, "Sort mismatch unifying v0 (S) with term (Ind)"),
    (c, ks, None, SortMismatchError, "Sort mismatch unifying constant 'c' (Ind) with (S)"),
    (f(x), FunctionApp("f", 1, (y,), S), None, SortMismatchError,
     "Return sort mismatch in function unification: Ind vs S"),
    # an ill-sorted starting binding fails where the variable case is reached
    (y, c, {xs: c}, SortMismatchError,
     "Sort mismatch in substitution: variable v0 has sort S, but replacement term has sort Ind."),
    # structural clashes are reported before sort clashes
    (Constant("e", sort=S), c, None, UnificationError, "Constant mismatch: 'e' vs 'c'"),
    # a cyclic starting substitution is refused instead of followed forever
    (x, c, {x: y, y: x}, UnificationError,
     "Cyclic substitution: variable v0 is bound to itself through a chain of variables"),
    (x, c, {x: x}, UnificationError,
     "Cyclic substitution: variable v0 is bound to itself through a chain of variables"),
])
def test_unify_terms_failures(t1, t2, start, error, message):
    before = None if start is None else entries(start)
    with pytest.raises(error) as info:
        unify_terms(t1, t2, start)
    assert type(info.value) is error
    assert str(info.value) == message
    if start is not None:
        assert entries(start) == before


@pytest.mark.parametrize("t1, t2, start", [
    (y, c, {xs: c}),          # refuses every binding
    (x, f(x), None),          # fails half-way
    (g(x, f(y)), g(f(z), x), None),
])
def test_unification_leaves_nothing_behind_for_the_next_one(t1, t2, start):
    # The calls on one thread share their working memory.
    try:
        unify_terms(t1, t2, start)
    except (UnificationError, SortMismatchError):
        pass
    assert entries(unify_terms(y, c)) == [(y, c)]
    assert entries(unify_terms(f(x, a), f(b, y))) == [(x, b), (y, a)]
    with pytest.raises(UnificationError):
        unify_terms(f(z, z), f(a, b))


def test_sort_mismatch_attributes():
    with pytest.raises(SortMismatchError) as info:
        unify_terms(xs, f(y))
    assert (info.value.expected_sort, info.value.actual_sort) == (S, Ind)
    with pytest.raises(SortMismatchError) as info:
        unify_terms(FunctionApp("h", 0, (), S), FunctionApp("h", 0, (), Ind))
    assert (info.value.expected_sort, info.value.actual_sort) == (S, Ind)


def test_well_sorted_unification():
    k = Constant("k", sort=S)
    assert entries(unify_terms(FunctionApp("h", 1, (xs,), S), FunctionApp("h", 1, (k,), S))) == [(xs, k)]


# ---------------------------------------------------------------------------
# Formula unification
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("f1, f2, expected", [
    (P(x, a), P(x, a), []),
    (P(x, a), P(b, y), [(x, b), (y, a)]),
    (P(), P(), []),
    (Equality(x, a), Equality(b, y), [(x, b), (y, a)]),
    (P(x, f(x)), P(y, z), [(x, y), (z, f(y))]),
])
def test_unify_formulas(f1, f2, expected):
    result = unify_formulas(f1, f2)
    assert entries(result) == expected
    assert substitute_formula(f1, result) == substitute_formula(f2, result)


@pytest.mark.parametrize("f1, f2, error, message", [
    (P(x, x), P(a, b), UnificationError, "Constant mismatch: 'a' vs 'b'"),
    (P(x), Q(x), UnificationError, "Predicate symbol/arity mismatch: 'P/1' vs 'Q/1'"),
    (P(x), P(x, y), UnificationError, "Predicate symbol/arity mismatch: 'P/1' vs 'P/2'"),
    # equations are unified side by side only
    (Equality(a, b), Equality(b, a), UnificationError, "Constant mismatch: 'a' vs 'b'"),
    (P(x), Equality(x, y), UnificationError, "Unification is strictly restricted to first-order atomic formulas."),
    (Equality(x, y), P(x), UnificationError, "Unification is strictly restricted to first-order atomic formulas."),
    (Not(P(x)), Not(P(a)), UnificationError,
     "Unification is strictly restricted to first-order atomic formulas."),
    (Forall(x, P(x)), Forall(x, P(x)), UnificationError,
     "Unification is strictly restricted to first-order atomic formulas."),
    (P(xs), P(c), SortMismatchError, "Sort mismatch unifying v0 (S) with term (Ind)"),
])
def test_unify_formulas_failures(f1, f2, error, message):
    with pytest.raises(error) as info:
        unify_formulas(f1=f1, f2=f2)
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# Properties over seeded random terms
# ---------------------------------------------------------------------------
VARIABLES = [Variable(i) for i in range(4)]
CONSTANTS = [a, b, c]
FUNCTIONS = [("f", 1), ("g", 2), ("h", 3)]


def random_term(rng, depth, variables=VARIABLES):
    if depth == 0 or rng.random() < 0.3:
        return rng.choice(variables) if variables and rng.random() < 0.6 else rng.choice(CONSTANTS)
    name, arity = rng.choice(FUNCTIONS)
    return FunctionApp(name, arity, tuple(random_term(rng, depth - 1, variables) for _ in range(arity)))


def random_ground_substitution(rng):
    return {v: random_term(rng, 2, variables=[]) for v in rng.sample(VARIABLES, rng.randint(0, 4))}


def is_idempotent(unifier):
    domain = set(unifier)
    return not any(free_variables(value) & domain for value in unifier.values())


def assert_idempotent(unifier):
    assert is_idempotent(unifier), unifier


@pytest.mark.parametrize("seed", range(8))
def test_random_unifiers_make_both_sides_equal(seed):
    rng = random.Random(seed)
    unified = 0
    for _ in range(100):
        t1, t2 = random_term(rng, 3), random_term(rng, 3)
        try:
            unifier = unify_terms(t1, t2)
        except UnificationError:
            continue
        unified += 1
        assert substitute_term(t1, unifier) == substitute_term(t2, unifier)
        assert_idempotent(unifier)
    assert unified > 0


@pytest.mark.parametrize("seed", range(4))
def test_unifier_of_a_term_and_its_ground_instance(seed):
    # t and sigma(t) always unify, and the unifier's instance is sigma(t) itself
    rng = random.Random(100 + seed)
    for _ in range(100):
        t = random_term(rng, 3)
        sigma = random_ground_substitution(rng)
        instance = substitute_term(t, sigma)
        unifier = unify_terms(t, instance)
        assert substitute_term(t, unifier) == instance
        assert substitute_term(instance, unifier) == instance
        assert_idempotent(unifier)


@pytest.mark.parametrize("seed", range(4))
def test_unification_extends_an_idempotent_start(seed):
    rng = random.Random(200 + seed)
    for _ in range(100):
        t1, t2, t3 = (random_term(rng, 2) for _ in range(3))
        try:
            start = unify_terms(t1, t2)
            unifier = unify_terms(t2, t3, start)
        except UnificationError:
            continue
        for left, right in ((t1, t2), (t2, t3)):
            assert substitute_term(left, unifier) == substitute_term(right, unifier)
        assert list(unifier)[:len(start)] == list(start)
        assert_idempotent(unifier)


@pytest.mark.parametrize("seed", range(4))
def test_composition_applies_inner_then_outer(seed):
    rng = random.Random(300 + seed)
    for _ in range(100):
        s1 = {v: random_term(rng, 2) for v in rng.sample(VARIABLES, rng.randint(0, 4))}
        s2 = {v: random_term(rng, 2) for v in rng.sample(VARIABLES, rng.randint(0, 4))}
        t = random_term(rng, 3)
        composed = compose_substitutions(s1, s2)
        assert apply_substitution(composed, t) == apply_substitution(s1, apply_substitution(s2, t))
        assert all(var != value for var, value in composed.items())


# ---------------------------------------------------------------------------
# Deep input: the right answer, or RecursionError where the walk recurses
# deeper than the stack allows; never a crash, never another error
# ---------------------------------------------------------------------------
DEPTH = 100_000


def deep_term(depth, leaf):
    t = leaf
    for _ in range(depth):
        t = FunctionApp("f", 1, (t,))
    return t


def deep_formula(depth, leaf):
    formula = leaf
    for i in range(depth):
        formula = Not(formula) if i % 2 else Forall(Variable(10 + i % 7), formula)
    return formula


# (the call, its answer as a function of nothing or the error it raises, whether a walk of the
# call recurses and may run out of stack).  Unification works on its own stack and always answers.
@pytest.mark.parametrize("call, answer, recurses", [
    (lambda: substitute_term(deep_term(DEPTH, x), {x: c}), lambda: deep_term(DEPTH, c), True),
    (lambda: substitute_formula(deep_formula(DEPTH, P(x)), {x: c}), lambda: deep_formula(DEPTH, P(c)), True),
    (lambda: substitute_formula(deep_formula(DEPTH, P(x)), {x: y}), lambda: deep_formula(DEPTH, P(y)), True),
    (lambda: SubstitutionTransformer({x: c}).visit(deep_formula(DEPTH, P(x))), lambda: deep_formula(DEPTH, P(c)),
     True),
    (lambda: unify_terms(deep_term(DEPTH, x), deep_term(DEPTH, c)), lambda: {x: c}, False),
    (lambda: unify_terms(y, deep_term(DEPTH, x)), lambda: {y: deep_term(DEPTH, x)}, False),
    (lambda: unify_terms(x, deep_term(DEPTH, x)), UnificationError, False),
    (lambda: unify_terms(deep_term(DEPTH, x), x), UnificationError, False),
    (lambda: unify_terms(deep_term(2, x), deep_term(1, deep_term(DEPTH, x))), UnificationError, False),
    (lambda: unify_formulas(P(deep_term(DEPTH, x)), P(deep_term(DEPTH, y))), lambda: {x: y}, False),
    (lambda: compose_substitutions({x: deep_term(DEPTH, c)}, {y: deep_term(DEPTH, x)}),
     lambda: {y: deep_term(2 * DEPTH, c), x: deep_term(DEPTH, c)}, True),
])
def test_deep_input(call, answer, recurses):
    if answer is UnificationError:
        with pytest.raises(UnificationError, match="^Occur-check failed: variable v0 occurs in FunctionApp"):
            call()
        return
    try:
        result = call()
    except RecursionError:
        assert recurses
        return
    assert result == answer()


# ---------------------------------------------------------------------------
# Heavily shared input: walked once per distinct node, the result as shared
# ---------------------------------------------------------------------------
def shared_term(depth, leaf):
    """g(t, t) nested `depth` times: depth + 1 distinct nodes, 2**depth leaves."""
    for _ in range(depth):
        leaf = g(leaf, leaf)
    return leaf


def shared_conjunction(depth, leaf):
    for _ in range(depth):
        leaf = And(leaf, leaf)
    return leaf


v2 = Variable(2)
F0, F1 = so.FunctionVariable(0, 1), so.FunctionVariable(1, 1)


def app(symbol, *args):
    return FunctionApp(symbol, len(args), tuple(args))
# Each call on a small tree (depth 3, the plain walk) and on the same shape
# with 2**100 leaves gives the same construction: (call, expected) by depth.
SHARED_CASES = {
    "substitute_term": (lambda n: substitute_term(shared_term(n, x), {x: c}), lambda n: shared_term(n, c)),
    "apply_substitution": (lambda n: apply_substitution({x: f(y)}, shared_term(n, x)),
                           lambda n: shared_term(n, f(y))),
    "compose": (lambda n: entries(compose_substitutions({y: shared_term(n, x)}, {x: shared_term(n, y)})),
                lambda n: [(x, shared_term(n, shared_term(n, x))), (y, shared_term(n, x))]),
    "substitute_formula": (lambda n: substitute_formula(shared_conjunction(n, P(shared_term(n, x))), {x: c}),
                           lambda n: shared_conjunction(n, P(shared_term(n, c)))),
    # The binder catches the replacement and is renamed; shadowed below a binder of the key.
    "renaming": (lambda n: substitute_formula(Forall(y, shared_conjunction(n, And(P(shared_term(n, x)), Q(y)))),
                                              {x: y}),
                 lambda n: Forall(v2, shared_conjunction(n, And(P(shared_term(n, y)), Q(v2))))),
    "shadowing": (lambda n: substitute_formula(And(P(shared_term(n, x)), Exists(x, P(shared_term(n, x)))), {x: c}),
                  lambda n: And(P(shared_term(n, c)), Exists(x, P(shared_term(n, x))))),
    "transformer": (lambda n: SubstitutionTransformer({x: c}).visit(Exists(y, shared_conjunction(n, Q(x, y)))),
                    lambda n: Exists(y, shared_conjunction(n, Q(c, y)))),
    "light transformer": (lambda n: __import__("core.visitors").visitors.SubstitutionTransformer({x: y}).visit(
                              Exists(y, shared_conjunction(n, Q(shared_term(n, x), y)))),
                          lambda n: Exists(v2, shared_conjunction(n, Q(shared_term(n, y), v2)))),
    # The function variable of the binder occurs in the replacement: the binder is renamed.
    "second-order renaming": (lambda n: substitute_formula(so.ForallFunc(F0, And(P(shared_term(n, app(F0, y))), Q(x))),
                                                           {x: shared_term(n, app(F0, x))}),
                              lambda n: so.ForallFunc(F1, And(P(shared_term(n, app(F1, y))),
                                                              Q(shared_term(n, app(F0, x)))))),
    "unify_terms": (lambda n: entries(unify_terms(shared_term(n, x), shared_term(n, f(c)))), lambda n: [(x, f(c))]),
    "canonicalize": (lambda n: __import__("core.ast").ast.canonicalize_bound_variables(
                         Forall(y, P(shared_term(n, y)))),
                     lambda n: Forall(x, P(shared_term(n, x)))),
}


@pytest.mark.parametrize("depth", [3, 100])
@pytest.mark.parametrize("name", SHARED_CASES)
def test_shared_input_gives_the_construction_of_the_small_case(name, depth):
    call, expected = SHARED_CASES[name]
    assert call(depth) == expected(depth)


@pytest.mark.parametrize("term, occurs_in", [
    (shared_term(3, x), "occurs in FunctionApp("),
    (shared_term(100, x), "occurs in a term of 2535301200456458802993406410751 nodes"),
])
def test_occur_check_names_the_term_or_its_size_when_too_large_to_print(term, occurs_in):
    with pytest.raises(UnificationError, match=r"Occur-check failed: variable v0 " + occurs_in.replace("(", r"\(")):
        unify_terms(x, term)
