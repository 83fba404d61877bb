"""Prefix symbols, prefixes, prefix substitutions, prefix unification and
admissibility."""

import itertools
import random

import pytest

from constructive.matrix import FormulaTree
from constructive.prefix import (
    Prefix,
    PrefixConstant,
    PrefixSubstitution,
    PrefixSymbol,
    PrefixVariable,
    is_admissible,
    unify_prefixes,
)
from helpers import atom, conj, disj, imp, neg, probe_half_built

C = {n: PrefixConstant(f"c{n}") for n in range(6)}
V = {n: PrefixVariable(f"V{n}") for n in range(1, 8)}


def pre(text):
    """A prefix from its text: "c0.V1" (names starting with c are constants)."""
    if not text:
        return Prefix()
    return Prefix(tuple(PrefixConstant(n) if n.startswith("c") else PrefixVariable(n) for n in text.split(".")))


def subst(**bindings):
    s = PrefixSubstitution()
    for name, value in bindings.items():
        s = s.bind(PrefixVariable(name), pre(value).symbols)
    return s


# ---------------------------------------------------------------------------
# Symbols and prefixes
# ---------------------------------------------------------------------------
def test_symbols_are_values_of_their_own_class():
    assert PrefixConstant("c1") == PrefixConstant("c1")
    assert hash(PrefixVariable("V1")) == hash(PrefixVariable("V1"))
    assert PrefixConstant("c1") != PrefixVariable("c1")
    assert isinstance(PrefixConstant("c1"), PrefixSymbol) and isinstance(PrefixVariable("V1"), PrefixSymbol)
    assert PrefixVariable("V2").name == "V2" and str(PrefixConstant("c3")) == "c3"
    assert len({PrefixConstant("c1"), PrefixConstant("c1"), PrefixVariable("V1")}) == 2
    with pytest.raises(AttributeError):
        PrefixConstant("c1").name = "c2"
    with pytest.raises(TypeError):
        PrefixConstant(3)


def test_prefix_operations():
    p = Prefix((C[0], V[1]))
    assert p.symbols == (C[0], V[1])
    assert str(p) == "c0.V1" and str(Prefix()) == "" and Prefix().symbols == ()
    longer = p.append(C[2])
    assert str(longer) == "c0.V1.c2" and str(p) == "c0.V1"
    assert p.variables() == {V[1]} and p.constants() == {C[0]}
    assert Prefix((PrefixConstant("c0"), PrefixVariable("V1"))) == p
    assert hash(Prefix((PrefixConstant("c0"), PrefixVariable("V1")))) == hash(p)
    assert p != pre("c0.c1") and p != "c0.V1"
    with pytest.raises(TypeError):
        Prefix(("c0",))
    with pytest.raises(TypeError):
        p.append("c1")


# ---------------------------------------------------------------------------
# Substitutions
# ---------------------------------------------------------------------------
def test_binding_keeps_the_substitution_idempotent_and_ordered():
    empty = PrefixSubstitution()
    s1 = empty.bind(V[1], (V[2], C[1]))
    s2 = s1.bind(V[2], (C[3],))
    assert empty.mapping == {} and s1.mapping == {V[1]: (V[2], C[1])}
    # the later binding is carried into the earlier value
    assert s2.mapping == {V[1]: (C[3], C[1]), V[2]: (C[3],)}
    assert list(s2.to_dict().items()) == [("V1", "c3.c1"), ("V2", "c3")]
    # a value is instantiated before it is stored
    assert s2.bind(V[4], (V[2], V[1])).mapping[V[4]] == (C[3], C[3], C[1])
    assert str(s2.apply(pre("c0.V1.V2.V5"))) == "c0.c3.c1.c3.V5"


def test_empty_binding_stays_in_the_mapping():
    s = subst(V1="")
    assert s.mapping == {V[1]: ()} and s.to_dict() == {"V1": ""}
    assert str(s.apply(pre("c0.V1.c1"))) == "c0.c1"


@pytest.mark.parametrize(
    "start, variable, value, message",
    [
        (PrefixSubstitution(), V[1], (C[1], V[1]), "occurs"),
        (subst(V2="V1"), V[1], (V[2],), "occurs"),
        (subst(V1="c1"), V[1], (C[2],), "already bound"),
    ],
)
def test_bind_refuses_what_would_break_idempotence(start, variable, value, message):
    before = start.mapping
    with pytest.raises(ValueError, match=message):
        start.bind(variable, value)
    assert start.mapping == before


def test_bind_argument_errors():
    with pytest.raises(TypeError):
        PrefixSubstitution().bind(C[1], ())
    with pytest.raises(TypeError):
        PrefixSubstitution().bind(V[1], ("c1",))
    assert subst(V1="c1").bind(V[1], (C[1],)) == subst(V1="c1")


def test_copy_and_equality():
    s = subst(V1="c1", V2="")
    assert s.copy() == s and s.copy() is not s
    assert subst(V2="", V1="c1") == s and hash(subst(V2="", V1="c1")) == hash(s)
    assert s != subst(V1="c1")


# ---------------------------------------------------------------------------
# Unification: fixed cases
# ---------------------------------------------------------------------------
def dicts(results):
    return [r.to_dict() for r in results]


@pytest.mark.parametrize(
    "left, right, start, expected",
    [
        ("c0.V1", "c0.c0", {}, [{"V1": "c0"}]),
        ("c0.c1.V1", "c0.c1", {}, [{"V1": ""}]),
        ("c0.c1.V1", "c0", {}, []),
        ("c0.c1", "c0.c2", {}, []),
        ("c0.V1.V2", "c0", {}, [{"V1": "", "V2": ""}]),
        ("c0.V1", "c0.V1", {}, [{}]),
        ("c0.V1.c1", "c0.c2.c1", {}, [{"V1": "c2"}]),
        # a variable against a constant: empty, or the constant and more
        ("c0.V1.V3", "c0.c2.V4", {}, [{"V1": "", "V3": "c2.V4"}, {"V1": "c2.V1'", "V4": "V1'.V3"}]),
        # the given bindings are kept and instantiated
        ("c0.V2", "c0.c1", {"V1": "V2"}, [{"V1": "c1", "V2": "c1"}]),
        ("c0.V1", "c0.c2", {"V1": "c1"}, []),
        # a variable that occurs on both sides: the rest must vanish
        ("V1", "V2.V1.V3", {}, [{"V2": "", "V3": ""}]),
        ("V1", "c1.V1", {}, []),
    ],
)
def test_unify_fixed_cases(left, right, start, expected):
    given = subst(**start)
    results = unify_prefixes(pre(left), pre(right), given)
    assert dicts(results) == expected
    assert given == subst(**start)


def test_two_variables_give_four_unifiers_and_fresh_names_are_new():
    results = unify_prefixes(pre("c0.V1.V3"), pre("c0.V2.V4"), PrefixSubstitution())
    assert dicts(results) == [
        {"V1": "", "V3": "V2.V4"},
        {"V2": "", "V4": "V1.V3"},
        {"V1": "V2.V1'", "V4": "V1'.V3"},
        {"V2": "V1.V2'", "V3": "V2'.V4"},
    ]
    # a name already in use is not taken again
    taken = subst(V5="V1'")
    results = unify_prefixes(pre("c0.V1.V3"), pre("c0.c2.V4"), taken)
    assert dicts(results)[1] == {"V5": "V1'", "V1": "c2.V1''", "V4": "V1''.V3"}


# ---------------------------------------------------------------------------
# Unification against a brute-force ground oracle
# ---------------------------------------------------------------------------
def tree_formulas(rng, depth):
    names = [atom(n) for n in "pqr"]

    def build(d):
        if d == 0 or rng.random() < 0.25:
            return rng.choice(names)
        op = rng.choice([conj, disj, imp, imp, lambda a, b: neg(a)])
        return op(build(d - 1), build(d - 1))

    return build(depth)


def generated_problems(count, seed=7):
    """Pairs of leaf prefixes of one formula tree, and a substitution that an
    earlier unification in the same tree produced (as the search makes them)."""
    rng = random.Random(seed)
    problems = []
    while len(problems) < count:
        tree = FormulaTree(tree_formulas(rng, 4), multiplicity=rng.choice([1, 2]))
        prefixes = [leaf.prefix for leaf in tree.leaves]
        if len(prefixes) < 2:
            continue
        start = PrefixSubstitution()
        if rng.random() < 0.5 and len(prefixes) >= 4:
            a, b = rng.sample(prefixes, 2)
            earlier = unify_prefixes(a, b, start)
            if earlier:
                start = rng.choice(earlier)
        left, right = rng.sample(prefixes, 2)
        problems.append((left, right, start))
    # and strings that differ after a common beginning, each symbol used once,
    # both sides starting with a variable
    while len(problems) < 2 * count:
        rest = [PrefixVariable("V3")] + [PrefixConstant(f"c{i}") for i in range(1, 4)]
        rng.shuffle(rest)
        rest = rest[: rng.randint(1, 4)]
        cut = rng.randint(0, len(rest))
        left = Prefix((C[0], PrefixVariable("V1")) + tuple(rest[:cut]))
        right = Prefix((C[0], PrefixVariable("V2")) + tuple(rest[cut:]))
        problems.append((left, right, PrefixSubstitution()))
    return problems


def variables_of(symbols):
    return [s for s in symbols if isinstance(s, PrefixVariable)]


def matches(pattern, target, theta):
    """Extends theta (variable -> tuple of constants) so that pattern becomes
    target; yields each extension."""
    if not pattern:
        if not target:
            yield theta
        return
    head, rest = pattern[0], pattern[1:]
    if isinstance(head, PrefixConstant):
        if target and target[0] == head:
            yield from matches(rest, target[1:], theta)
        return
    if head in theta:
        n = len(theta[head])
        if tuple(target[:n]) == theta[head]:
            yield from matches(rest, target[n:], theta)
        return
    for n in range(len(target) + 1):
        yield from matches(rest, target[n:], {**theta, head: tuple(target[:n])})


def is_instance(result, ground, originals):
    """Whether the ground solution is an instance of the unifier: one ground
    theta maps result(x) to ground(x) for every original variable x."""
    pairs = [(result.apply(Prefix((x,))).symbols, ground[x]) for x in originals]

    def solve(i, theta):
        if i == len(pairs):
            return True
        return any(solve(i + 1, t) for t in matches(pairs[i][0], pairs[i][1], theta))

    return solve(0, {})


def ground_solutions(left, right, start, alphabet, max_len):
    free = list(dict.fromkeys(variables_of(start.apply(left).symbols) + variables_of(start.apply(right).symbols)))
    words = [w for n in range(max_len + 1) for w in itertools.product(alphabet, repeat=n)]
    for values in itertools.product(words, repeat=len(free)):
        g = PrefixSubstitution()
        for v, w in zip(free, values):
            g = g.bind(v, w)
        if g.apply(start.apply(left)) == g.apply(start.apply(right)):
            yield {v: tuple(g.apply(Prefix((v,))).symbols) for v in free}


def canonical(result, given_names):
    """The unifier's text with fresh variable names numbered by appearance."""
    numbers = {}
    out = []
    for name, value in sorted(result.to_dict().items()):
        parts = [p if p in given_names or p.startswith("c") else numbers.setdefault(p, f"#{len(numbers)}")
                 for p in value.split(".") if p]
        out.append((name, tuple(parts)))
    return tuple(out)


def test_unifiers_are_sound_and_complete_on_generated_prefixes():
    checked = 0
    for left, right, start in generated_problems(120):
        results = unify_prefixes(left, right, start)
        originals = set(variables_of(left.symbols) + variables_of(right.symbols)) | set(start.mapping)
        for value in start.mapping.values():
            originals |= set(variables_of(value))
        given_names = {v.name for v in originals}
        for r in results:
            # unifies, extends the given substitution, stays idempotent
            assert r.apply(left) == r.apply(right)
            for v, value in start.mapping.items():
                assert r.mapping[v] == r.apply(Prefix(value)).symbols
            bound = set(r.mapping)
            assert not any(s in bound for value in r.mapping.values() for s in value)
        keys = [canonical(r, given_names) for r in results]
        assert len(keys) == len(set(keys)), "duplicate unifiers"
        free = set(variables_of(start.apply(left).symbols) + variables_of(start.apply(right).symbols))
        if len(free) > 3:
            continue
        # the constants after the common root c0, and one world of no prefix
        alphabet = sorted((set(left.constants()) | set(right.constants())) - {C[0]}, key=str)[:3]
        alphabet += [PrefixConstant("k")] if len(alphabet) < 3 else []
        for ground in ground_solutions(left, right, start, alphabet, 2):
            full = {**ground}
            for v, value in start.mapping.items():
                full[v] = tuple(s for x in value for s in (ground[x] if x in ground else (x,)))
            assert any(is_instance(r, full, [x for x in originals if x in full]) for r in results), (
                str(left), str(right), start.to_dict(), {str(k): v for k, v in ground.items()})
            checked += 1
    assert checked > 300


def test_unification_ends_on_equations_with_repeated_variables():
    # not linear: the solutions X = a^n form an infinite family
    results = unify_prefixes(pre("V1.c1"), pre("c1.V1"), PrefixSubstitution())
    assert {"V1": ""} in dicts(results)
    for r in results:
        assert r.apply(pre("V1.c1")) == r.apply(pre("c1.V1"))
    results = unify_prefixes(pre("V1.V1.V2"), pre("V2.V3.V3.c1"), PrefixSubstitution())
    for r in results:
        assert r.apply(pre("V1.V1.V2")) == r.apply(pre("V2.V3.V3.c1"))


def test_unify_argument_errors():
    with pytest.raises(TypeError):
        unify_prefixes("c0", pre("c0"), PrefixSubstitution())
    with pytest.raises(TypeError):
        unify_prefixes(pre("c0"), pre("c0"), {})


# ---------------------------------------------------------------------------
# Admissibility
# ---------------------------------------------------------------------------
@pytest.fixture
def tree():
    # premise A -> B at multiplicity 2, target B:
    # c0 -> {V1, V3}, V1 -> {V2}, V3 -> {V4}
    a, b = atom("A"), atom("B")
    return FormulaTree(b, premises=[imp(a, b)], multiplicity=2)


@pytest.mark.parametrize(
    "bindings, admissible",
    [
        ({}, True),
        ({"V1": "", "V2": ""}, True),
        ({"V1": "c0"}, True),
        ({"V3": "V1.V2"}, True),
        ({"V1": "V2"}, False),  # V2 lies below V1
        ({"V1": "V3", "V3": ""}, True),
        ({"V1": "V4"}, True),
        ({"V1": "V4", "V3": "V2"}, False),  # V4 after V3 after V2 after V1
        ({"V1": "V1'", "V2": "c3"}, True),
    ],
)
def test_is_admissible(tree, bindings, admissible):
    assert is_admissible(tree, subst(**bindings)) is admissible


def test_is_admissible_reads_the_tree_order_of_any_tree():
    class Tree:
        tree_order = {C[0]: {V[1]}, V[1]: {C[1]}, C[1]: set()}

    assert is_admissible(Tree(), subst(V1="c0"))
    assert not is_admissible(Tree(), subst(V1="c1"))
    with pytest.raises(TypeError):
        is_admissible(object(), PrefixSubstitution())


def test_objects_made_by_new_alone_do_not_crash():
    status, output = probe_half_built("constructive.prefix")
    assert status == 0 and "survived" in output, output
