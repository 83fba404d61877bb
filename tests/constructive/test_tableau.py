import os
import shutil
import subprocess

import pytest

import constructive.common as common
import constructive.kripke as kripke
import constructive.tableau as tableau
from core.ast import And, Constant, Equality, Forall, Iff, Implies, Not, Or, PredicateApp, Variable
from constructive.tableau import (
    FALSUM,
    VERUM,
    KripkeModel,
    Sign,
    SignedFormula,
    TableauNode,
    TableauProofResult,
    TableauProofTree,
    TableauProver,
    World,
    _BranchState,
    prove_tableau,
)
from families import FAMILIES
from helpers import interrupt_in_child

P, Q, R = (PredicateApp(name, 0, ()) for name in "PQR")
p, q, r = (PredicateApp(name, 0, ()) for name in "pqr")
W0, W1, W2 = World(0, "w0"), World(1, "w1"), World(2, "w2")


def outline(node):
    """(id, rule, signed formula text, closed) of every node, depth first."""
    rows = [(node.id, node.rule, node.signed_formula and str(node.signed_formula), node.is_closed)]
    for child in node.children:
        rows += outline(child)
    return rows


def frame_ok(model):
    """Reflexive, transitive and monotone."""
    rel, val = model.relations, model.valuations
    for u in model.worlds:
        if u not in rel[u]:
            return False
        for v in rel[u]:
            if not (rel[v] <= rel[u] and val[u] <= val[v]):
                return False
    return True


def assert_refutes(model, target, premises=()):
    w0 = World(0, "w0")
    assert frame_ok(model)
    assert all(model.evaluate(h, w0) for h in premises)
    assert not model.evaluate(target, w0)


# ---------------------------------------------------------------------------
# Module surface
# ---------------------------------------------------------------------------
def test_public_names_in_order_and_shared_objects():
    assert tableau.__all__ == [
        "FALSUM", "VERUM", "Sign", "World", "SignedFormula", "KripkeModel", "TableauNode",
        "TableauProofTree", "TableauProofResult", "TableauProver", "prove_tableau",
    ]
    assert tableau.FALSUM is common.FALSUM and tableau.VERUM is common.VERUM
    assert tableau.World is kripke.World and tableau.KripkeModel is kripke.KripkeModel


def test_sign_members_are_their_letters():
    assert [m.name for m in Sign] == ["TRUE", "FALSE"]
    assert str(Sign.TRUE) == "T" and str(Sign.FALSE) == "F"
    assert Sign.TRUE == "T" and Sign.FALSE.value == "F" and Sign("T") is Sign.TRUE


# ---------------------------------------------------------------------------
# Signed formulas
# ---------------------------------------------------------------------------
@pytest.mark.parametrize(
    "sign, formula, world, notation, text",
    [
        (Sign.TRUE, P, W0, "infix", "T(P, w0)"),
        (Sign.FALSE, P, W0, "infix", "F(P, w0)"),
        (Sign.TRUE, FALSUM, W2, "infix", "T(_bot, w2)"),
        (Sign.FALSE, VERUM, W0, "latex", "F(\\top, w0)"),
        (Sign.TRUE, FALSUM, W0, "latex", "T(\\bot, w0)"),
        (Sign.TRUE, FALSUM, W0, "prefix", "T(_bot, w0)"),
        (Sign.TRUE, FALSUM, W0, "LaTeX", "T(_bot, w0)"),
        (Sign.FALSE, Implies(P, Q), World(3, "far away"), "prefix", "F((=> P Q), far away)"),
    ],
)
def test_signed_formula_text(sign, formula, world, notation, text):
    assert SignedFormula(sign, formula, world).to_string(notation=notation) == text


def test_signed_formula_default_text_and_record_behaviour():
    sf = SignedFormula(sign=Sign.TRUE, formula=P, world=W0)
    assert str(sf) == sf.to_string() == "T(P, w0)"
    twin = SignedFormula(Sign.TRUE, PredicateApp("P", 0, ()), World(0, "w0"))
    assert sf == twin and hash(sf) == hash(twin) and len({sf, twin}) == 1
    assert sf != SignedFormula(Sign.FALSE, P, W0) and sf != "T(P, w0)"
    assert sf.sign is Sign.TRUE and sf.formula == P and sf.world == W0
    with pytest.raises(AttributeError):
        sf.sign = Sign.FALSE


def test_signed_formula_with_unknown_notation_reaches_the_printer():
    # falsum and verum are written by the signed formula itself; every other
    # formula goes to the printer, which refuses the notation by name
    assert SignedFormula(Sign.TRUE, FALSUM, W0).to_string("whatever") == "T(_bot, w0)"
    with pytest.raises(ValueError, match="whatever"):
        SignedFormula(Sign.TRUE, P, W0).to_string("whatever")


# ---------------------------------------------------------------------------
# Tableau nodes and trees
# ---------------------------------------------------------------------------
def test_bare_node_renderings():
    node = TableauNode(1)
    assert node.is_leaf()
    assert node.to_string() == "+--  [OPEN]"
    assert node.to_dict() == {
        "id": 1, "signed_formula": None, "rule": "", "world": None,
        "is_closed": False, "clash_details": None, "children": [],
    }
    assert list(node.to_dict()) == ["id", "signed_formula", "rule", "world", "is_closed", "clash_details", "children"]


@pytest.mark.parametrize(
    "fields, text",
    [
        (dict(rule="Ax", is_closed=True), "+-- Ax [CLOSED]"),
        (dict(signed_formula=SignedFormula(Sign.TRUE, P, W0), rule="Init"), "+-- Init : T(P, w0) [OPEN]"),
        (dict(signed_formula=SignedFormula(Sign.TRUE, P, W0), rule="Init", is_closed=True, clash_details="x"),
         "+-- Init : T(P, w0) [CLOSED] (x)"),
        (dict(signed_formula=SignedFormula(Sign.TRUE, P, W0), rule="Init", is_closed=True, clash_details=""),
         "+-- Init : T(P, w0) [CLOSED]"),
    ],
)
def test_node_line(fields, text):
    assert str(TableauNode(1, **fields)) == text


@pytest.fixture
def rabe():
    """R with children A (closed) and B, B with child E."""
    b = TableauNode(3, rule="B", children=[TableauNode(4, rule="E")])
    return TableauNode(1, rule="R", children=[TableauNode(2, rule="A", is_closed=True), b])


def test_ascii_tree_carries_bars_below_non_last_children(rabe):
    assert rabe.to_string() == "\n".join(
        ["+-- R [OPEN]", "    |-- A [CLOSED]", "    +-- B [OPEN]", "        +-- E [OPEN]"]
    )
    rabe.children[0].children.append(TableauNode(5, rule="D"))
    assert rabe.to_string().split("\n")[2] == "    |   +-- D [OPEN]"
    assert TableauNode(1, rule="X").to_string(prefix="  ", is_last=False) == "  |-- X [OPEN]"


def test_nodes_compare_by_fields_and_have_no_hash(rabe):
    twin = TableauNode(1, rule="R", children=[TableauNode(2, rule="A", is_closed=True),
                                              TableauNode(3, rule="B", children=[TableauNode(4, rule="E")])])
    assert rabe == twin
    twin.children.reverse()
    assert rabe != twin
    with pytest.raises(TypeError):
        {rabe}
    a, b = TableauNode(1), TableauNode(2)
    a.children.append(b)
    assert not a.is_leaf() and b.is_leaf() and a.to_dict()["children"] == [b.to_dict()]


def test_node_fields_are_typed():
    node = TableauNode(1)
    with pytest.raises(TypeError):
        node.children = (TableauNode(2),)
    node.children.append("not a node")
    with pytest.raises(TypeError, match="TableauNode"):
        node.to_string()


def test_tree_measures_and_dict(rabe):
    tree = TableauProofTree(root=rabe)
    assert (tree.get_depth(), tree.get_size(), tree.is_closed()) == (3, 4, False)
    assert TableauProofTree(TableauNode(1, children=[TableauNode(i) for i in range(2, 7)])).get_size() == 6
    closed = TableauProofTree(TableauNode(1, is_closed=True))
    assert closed.to_dict() == {"is_closed": True, "depth": 1, "size": 1, "tree": TableauNode(1, is_closed=True).to_dict()}
    assert str(TableauProofTree(TableauNode(1, rule="Root", is_closed=True))) == "+-- Root [CLOSED]"


def test_tree_reads_its_nodes_at_call_time():
    root = TableauNode(1)
    tree = TableauProofTree(root)
    root.children.append(TableauNode(2))
    assert tree.get_size() == 2
    tree.root = TableauNode(9, is_closed=True)
    assert tree.is_closed() and tree.get_size() == 1
    with pytest.raises(TypeError):
        tree.root = None
    with pytest.raises(TypeError):
        TableauProofTree(None)


FOREST_HEAD = ["\\begin{forest}", "  for tree={math content, parent anchor=south, child anchor=north}"]


@pytest.mark.parametrize(
    "root, body",
    [
        (TableauNode(1, rule="Init", is_closed=True), ["  [{\\; [\\mbox{Init}] \\times}", "  ]"]),
        (TableauNode(1, rule="Init"), ["  [{\\; [\\mbox{Init}]}", "  ]"]),
        (TableauNode(1), ["  [{\\;}", "  ]"]),
        (
            TableauNode(1, rule="R", children=[TableauNode(2, rule="A", is_closed=True), TableauNode(3, rule="B")]),
            ["  [{\\; [\\mbox{R}]}", "    [{\\; [\\mbox{A}] \\times}", "    ]", "    [{\\; [\\mbox{B}]}", "    ]", "  ]"],
        ),
        (
            TableauNode(1, SignedFormula(Sign.FALSE, P, W0), "F_Imp (w0 <= w1)", is_closed=True,
                        children=[TableauNode(2, rule="T_Or_L", is_closed=True)]),
            ["  [{F(P, w0) \\; [\\mbox{F\\_Imp (w0 \\textless{}= w1)}]}", "    [{\\; [\\mbox{T\\_Or\\_L}] \\times}",
             "    ]", "  ]"],
        ),
    ],
    ids=["closed-leaf", "open-leaf", "empty", "two-children", "escaped"],
)
def test_latex_forest(root, body):
    assert TableauProofTree(root).to_latex() == "\n".join(FOREST_HEAD + body + ["\\end{forest}"])


@pytest.mark.skipif(
    shutil.which("pdflatex") is None or shutil.which("kpsewhich") is None
    or not subprocess.run(["kpsewhich", "forest.sty"], capture_output=True, text=True).stdout.strip(),
    reason="pdflatex with the forest package is not installed",
)
def test_latex_forest_compiles(tmp_path):
    result = prove_tableau(Iff(Implies(p, q), Or(Not(p), q)), [And(r, Not(Not(VERUM)))])
    document = "\n".join([
        "\\documentclass{article}", "\\usepackage{amsmath,amssymb}", "\\usepackage{forest}",
        "\\begin{document}", result.tree.to_latex(), "\\end{document}",
    ])
    (tmp_path / "proof.tex").write_text(document)
    run = subprocess.run(
        ["pdflatex", "-interaction=nonstopmode", "-halt-on-error", "proof.tex"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    assert run.returncode == 0, run.stdout[-2000:]
    assert os.path.getsize(tmp_path / "proof.pdf") > 0


# ---------------------------------------------------------------------------
# Branch state
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("member, doc", [
    (_BranchState, "Internal container for the state of a single tableau branch."),
    (_BranchState.add_world, "Registers a world in this branch state ensuring reflexivity."),
    (_BranchState.add_t_formula, "Adds a true formula at world and propagates along accessibility relation."),
    (_BranchState.add_f_formula, "Adds a false formula at world."),
])
def test_branch_state_docstrings(member, doc):
    assert member.__doc__ == doc


def test_empty_states_are_equal_and_independent():
    a, b = _BranchState(), _BranchState()
    assert a == b and a.worlds == [] and a.relations == {} and a.applied_rules == set()
    a.add_world(W0)
    assert b.worlds == [] and a != b
    with pytest.raises(TypeError):
        {a}


def test_add_world_registers_once():
    s = _BranchState()
    s.add_world(W0)
    s.add_world(World(0, "w0"))
    assert s.worlds == [W0] and s.relations == {W0: {W0}}
    assert s.t_formulas == {W0: set()} and s.f_formulas == {W0: set()}
    kept = _BranchState(relations={W0: {W1}})
    kept.add_world(W0)
    assert kept.relations[W0] == {W1}


def test_signed_formulas_at_worlds():
    s = _BranchState()
    s.add_t_formula(W0, P)
    assert s.worlds == [W0] and s.t_formulas[W0] == {P} and s.f_formulas[W0] == set()
    s.add_f_formula(W0, Q)
    s.add_relation(W0, W1)
    s.add_t_formula(W0, R)
    s.add_t_formula(W1, Q)
    s.add_t_formula(W1, Q)
    assert s.t_formulas == {W0: {P, R}, W1: {P, R, Q}}
    assert s.f_formulas == {W0: {Q}, W1: set()}


def test_add_relation_from_a_fresh_world():
    s = _BranchState()
    s.add_world(W0)
    s.add_t_formula(W0, P)
    s.add_t_formula(W0, Q)
    s.add_f_formula(W0, R)
    s.add_relation(source=W0, target=W1)
    assert s.worlds == [W0, W1]
    assert s.relations == {W0: {W0, W1}, W1: {W1}}
    assert s.t_formulas[W1] == {P, Q} and s.f_formulas[W1] == set()
    s.add_t_formula(W1, R)
    s.add_relation(W1, W2)
    assert s.relations[W0] == {W0, W1, W2} and s.relations[W1] == {W1, W2}
    assert s.t_formulas[W2] == {P, Q, R}


def test_add_relation_registers_source_first_and_copies_nothing_to_itself():
    s = _BranchState()
    s.add_relation(W2, W1)
    assert s.worlds == [W2, W1]
    t = _BranchState()
    t.add_t_formula(W0, P)
    t.add_relation(W0, W0)
    assert t.relations == {W0: {W0}} and t.t_formulas == {W0: {P}}


def test_add_relation_keeps_order_and_truths_when_target_has_successors():
    # w1 <= w2 exists already; w0 <= w1 must bring w2 along.
    s = _BranchState()
    s.add_relation(W1, W2)
    s.add_t_formula(W0, P)
    s.add_relation(W0, W1)
    assert s.relations[W0] == {W0, W1, W2}
    assert P in s.t_formulas[W1] and P in s.t_formulas[W2]


def test_branch_state_containers_are_live():
    s = _BranchState()
    s.add_world(W0)
    s.t_formulas[W0].add(And(P, Q))
    s.f_formulas[W0].add(Q)
    assert TableauProver()._check_clash(s) is None
    s.t_formulas[W0].add(Q)
    assert TableauProver()._check_clash(s)[1] == Q
    s.t_formulas[W0].discard(Q)
    s.relations[W0].add(W1)
    s.worlds.append(W1)
    s.add_t_formula(W0, R)  # goes up the edited order
    assert R in s.t_formulas[W1]
    rules = s.applied_rules
    closed, _ = TableauProver()._expand_branch(s, TableauNode(1), 1)
    assert closed and s.applied_rules is rules and s.t_formulas[W0] >= {P, Q, R} and len(rules) == 1


def test_branch_state_keeps_the_given_containers():
    worlds, t_formulas = [W0], {W0: {P}}
    s = _BranchState(worlds=worlds, t_formulas=t_formulas)
    s.add_t_formula(W0, Q)
    assert s.worlds is worlds and t_formulas[W0] == {P, Q}
    with pytest.raises(TypeError):
        _BranchState(worlds=["w0"])


def test_copy_is_independent():
    s = _BranchState()
    s.add_t_formula(W0, P)
    s.add_relation(W0, W1)
    s.applied_rules = {("T_And", And(P, Q), W0), ("T_Not", Not(P), W0, W1)}
    c = s.copy()
    assert c == s and c.worlds == [W0, W1] and list(c.relations) == [W0, W1]
    c.add_t_formula(W1, Q)
    c.add_world(W2)
    s.add_f_formula(W0, R)
    assert Q not in s.t_formulas[W1] and W2 not in s.worlds and R not in c.f_formulas[W0]
    assert c.applied_rules == s.applied_rules


@pytest.mark.parametrize("bad", [("Nope", P, W0), ("T_And", P), ["T_And", P, W0], ("T_And", P, "w0")])
def test_rule_tuples_are_checked(bad):
    with pytest.raises((TypeError, ValueError)):
        _BranchState(applied_rules=[bad])


# ---------------------------------------------------------------------------
# Prover settings
# ---------------------------------------------------------------------------
@pytest.mark.parametrize(
    "args, depth, worlds",
    [({}, 100, 50), ({"max_depth": 50}, 50, 50), ({"max_depth": 0, "max_worlds": -3}, 1, 1),
     ({"max_depth": 1, "max_worlds": 1}, 1, 1), ({"max_depth": 10**6, "max_worlds": 10**6}, 10**6, 10**6),
     ({"max_depth": 10**30, "max_worlds": -10**30}, 2**63 - 1, 1), ({"max_depth": -10**30, "max_worlds": 2**64}, 1, 2**63 - 1)],
)
def test_limits_are_clamped(args, depth, worlds):
    prover = TableauProver(**args)
    assert (prover.max_depth, prover.max_worlds, prover._node_counter) == (depth, worlds, 0)


def test_huge_limits_reach_the_module_function():
    assert prove_tableau(Implies(P, P), max_depth=10**30, max_worlds=10**30).is_valid
    assert not prove_tableau(Or(P, Not(P)), max_depth=10**30).is_valid


def test_limits_are_plain_settings_read_by_every_proof():
    prover = TableauProver()
    prover.max_depth, prover.max_worlds = 2, 7
    assert (prover.max_depth, prover.max_worlds) == (2, 7)
    assert prover.prove(Or(P, Not(P))).tree.get_depth() == 2
    prover.max_depth = 100
    assert prover.prove(Or(P, Not(P))).tree.get_depth() == 3
    prover.max_worlds = 1  # no new world: F_Not cannot apply
    assert prover.prove(Or(P, Not(P))).tree.get_size() == 2
    with pytest.raises(TypeError, match="max_depth must be an integer"):
        prover.max_depth = "3"


def test_subclass_limits_are_read_by_the_expansion():
    class OneWorld(TableauProver):
        max_worlds = 1

    assert OneWorld().prove(Or(P, Not(P))).tree.get_size() == 2
    state = _BranchState()
    state.add_f_formula(W0, Not(P))
    root = TableauNode(1, SignedFormula(Sign.FALSE, Not(P), W0), "Target", W0)
    closed, _ = OneWorld()._expand_branch(state, root, 1)
    assert not closed and root.children == [] and state.worlds == [W0]


@pytest.mark.parametrize("args", [("100",), (100, 2.5), (None,)])
def test_limits_must_be_integers(args):
    with pytest.raises(TypeError, match="must be an integer"):
        TableauProver(*args)


@pytest.mark.parametrize("counter, error", [(2**63 - 1, OverflowError), (2**63, OverflowError), ("1", TypeError)])
def test_node_counter_stays_within_64_bits(counter, error):
    prover = TableauProver()
    with pytest.raises(error, match="_node_counter"):
        prover._node_counter = counter
        prover._next_node_id()
    prover._node_counter = 2**63 - 2
    assert prover._next_node_id() == 2**63 - 1


def test_node_numbering_restarts_every_proof():
    prover = TableauProver()
    assert prover._next_node_id() == 1 and prover._next_node_id() == 2
    first = prover.prove(Iff(P, P))
    second = prover.prove(target=Iff(P, P))
    assert first.tree.root.id == second.tree.root.id == 1
    assert [row[0] for row in outline(second.tree.root)] == [1, 2, 3, 4, 5]


# ---------------------------------------------------------------------------
# Expansion
# ---------------------------------------------------------------------------
@pytest.mark.parametrize(
    "call, message",
    [(lambda p: p._expand_branch(state=5, node=TableauNode(1), depth=1), "state must be a _BranchState"),
     (lambda p: p._expand_branch(_BranchState(), None, 1), "node must be a TableauNode"),
     (lambda p: p._expand_branch(_BranchState(), TableauNode(1), "1"), "depth must be an integer"),
     (lambda p: p._check_clash(None), "state must be a _BranchState"),
     (lambda p: p._extract_countermodel([]), "state must be a _BranchState")],
)
def test_prover_operations_check_their_arguments(call, message):
    with pytest.raises(TypeError, match=message):
        call(TableauProver())



@pytest.mark.parametrize(
    "premises, target, message",
    [
        ([FALSUM], P, "Falsum bot asserted TRUE at w0"),
        ([], VERUM, "Verum top asserted FALSE at w0"),
        ([P], P, "Complementary clash on P at w0"),
        ([P, Implies(P, FALSUM)], Q, None),
    ],
)
def test_clashes(premises, target, message):
    result = prove_tableau(target, premises)
    assert result.is_valid
    if message is not None:
        assert result.tree.root.clash_details == message and result.tree.root.is_leaf()


def test_check_clash_reports_world_formula_and_message():
    s = _BranchState()
    s.add_t_formula(W0, Q)
    s.add_relation(W0, W1)
    s.add_f_formula(W1, Q)
    assert TableauProver()._check_clash(s) == (W1, Q, "Complementary clash on Q at w1")
    assert TableauProver()._check_clash(_BranchState()) is None


TREES = [
    (
        [], Implies(P, P), {},
        [(1, "Target", "F((P => P), w0)", True), (2, "F_Imp (w0 <= w1)", "F((P => P), w0)", True)],
    ),
    (
        [], Implies(P, P), {"max_depth": 2},
        [(1, "Target", "F((P => P), w0)", True), (2, "F_Imp (w0 <= w1)", "F((P => P), w0)", True)],
    ),
    ([], Implies(P, P), {"max_depth": 1}, [(1, "Target", "F((P => P), w0)", False)]),
    ([], Implies(P, P), {"max_worlds": 1}, [(1, "Target", "F((P => P), w0)", False)]),
    (
        [], Or(P, Not(P)), {},
        [(1, "Target", "F((P | ~P), w0)", False), (2, "F_Or", "F((P | ~P), w0)", False),
         (3, "F_Not (w0 <= w1)", "F(~P, w0)", False)],
    ),
    (
        [], Implies(Or(p, q), Or(q, p)), {},
        [(1, "Target", "F(((p | q) => (q | p)), w0)", True), (2, "F_Imp (w0 <= w1)", "F(((p | q) => (q | p)), w0)", True),
         (3, "F_Or", "F((q | p), w1)", True), (4, "T_Or_L", "T(p, w1)", True), (5, "T_Or_R", "T(q, w1)", True)],
    ),
    ([Or(p, q)], q, {}, [(1, "Target", "F(q, w0)", False), (2, "T_Or_L", "T(p, w0)", False)]),
    (
        [Or(p, q)], p, {},
        [(1, "Target", "F(p, w0)", False), (2, "T_Or_L", "T(p, w0)", True), (3, "T_Or_R", "T(q, w0)", False)],
    ),
    (
        [Implies(p, q), p], q, {},
        [(1, "Target", "F(q, w0)", True), (2, "T_Imp_F (w0)", "F(p, w0)", True), (3, "T_Imp_T (w0)", "T(q, w0)", True)],
    ),
    (
        [], Implies(Implies(p, q), q), {},
        [(1, "Target", "F(((p => q) => q), w0)", False), (2, "F_Imp (w0 <= w1)", "F(((p => q) => q), w0)", False),
         (3, "T_Imp_F (w1)", "F(p, w1)", False)],
    ),
    (
        [], Iff(p, p), {},
        [(1, "Target", "F((p <=> p), w0)", True), (2, "F_Iff_L", "F((p => p), w0)", True),
         (3, "F_Imp (w0 <= w1)", "F((p => p), w0)", True), (4, "F_Iff_R", "F((p => p), w0)", True),
         (5, "F_Imp (w0 <= w1)", "F((p => p), w0)", True)],
    ),
    ([], And(p, q), {}, [(1, "Target", "F((p & q), w0)", False), (2, "F_And_L", "F(p, w0)", False)]),
    (
        [Or(p, q), Implies(p, r), Implies(q, r)], r, {"max_depth": 2},
        [(1, "Target", "F(r, w0)", False), (2, "T_Or_L", "T(p, w0)", False)],
    ),
    (
        [Iff(p, q), p], q, {},
        [(1, "Target", "F(q, w0)", True), (2, "T_Iff", "T((p <=> q), w0)", True),
         (3, "T_Imp_F (w0)", "F(p, w0)", True), (4, "T_Imp_T (w0)", "T(q, w0)", True)],
    ),
    ([Not(P)], Q, {}, [(1, "Target", "F(Q, w0)", False), (2, "T_Not", "T(~P, w0)", False)]),
    (
        [P, Implies(P, FALSUM)], Q, {},
        [(1, "Target", "F(Q, w0)", True), (2, "T_Not", "T((P => _bot), w0)", True)],
    ),
]


@pytest.mark.parametrize("premises, target, limits, expected", TREES)
def test_derivation_trees(premises, target, limits, expected):
    result = prove_tableau(target, premises, **limits)
    assert outline(result.tree.root) == expected
    assert result.is_valid is expected[0][3] is result.tree.root.is_closed


def test_rule_order_and_node_worlds():
    # T_And at w1 comes before F_Or at w0; T_Not names the successor it acts at.
    s = _BranchState()
    s.add_relation(W0, W1)
    s.add_t_formula(W1, And(P, Q))
    s.add_f_formula(W0, Or(R, R))
    s.add_t_formula(W0, Not(R))
    node = TableauNode(1)
    prover = TableauProver()
    prover._node_counter = 1
    closed, open_state = prover._expand_branch(state=s, node=node, depth=1)
    chain, at = [], node
    while at.children:
        (at,) = at.children
        chain.append((at.rule, at.world.name))
    # the successors of w0 are visited in the order of the state's own set
    assert chain[:2] == [("T_And", "w1"), ("F_Or", "w0")]
    assert sorted(chain[2:]) == [("T_Not", "w0"), ("T_Not", "w1"), ("T_Not", "w1")]
    assert [n.id for n in [node.children[0]]] == [2]
    assert closed is False and open_state is s  # no split: the caller's own state
    assert ("T_And", And(P, Q), W1) in s.applied_rules


def test_expand_branch_hands_back_a_separate_state_after_a_split():
    s = _BranchState()
    s.add_t_formula(W0, Or(P, Q))
    s.add_f_formula(W0, P)
    closed, open_state = TableauProver()._expand_branch(s, TableauNode(1), 1)
    assert closed is False and open_state is not s
    assert Q in open_state.t_formulas[W0]
    # the caller's state holds the split's rule tuple and nothing of either side
    assert s.t_formulas[W0] == {Or(P, Q)} and s.applied_rules == {("T_Or", Or(P, Q), W0)}


def test_right_child_ids_follow_the_left_subtree():
    root = prove_tableau(Iff(p, p)).tree.root
    left, right = root.children
    assert left.children[0].id == 3 and right.id == 4


def test_proofs_are_deterministic():
    formula = FAMILIES["linear"][0](4)
    assert prove_tableau(formula).to_dict() == prove_tableau(formula).to_dict()


# ---------------------------------------------------------------------------
# Verdicts and countermodels
# ---------------------------------------------------------------------------
VERDICTS = [
    ("p -> p", [], Implies(p, p), True),
    ("~~(p | ~p)", [], Not(Not(Or(p, Not(p)))), True),
    ("contraposition", [], Implies(Implies(p, q), Implies(Not(q), Not(p))), True),
    ("or-elimination", [], Iff(Implies(Or(p, q), r), And(Implies(p, r), Implies(q, r))), True),
    ("modus ponens", [Implies(p, q), p], q, True),
    ("case split", [Or(p, q), Implies(p, r), Implies(q, r)], r, True),
    ("ex falso", [p, Not(p)], q, True),
    ("p | ~p", [], Or(p, Not(p)), False),
    ("~~p -> p", [], Implies(Not(Not(p)), p), False),
    ("Peirce", [], Implies(Implies(Implies(p, q), p), p), False),
    ("linearity", [], Or(Implies(p, q), Implies(q, p)), False),
    ("weak excluded middle", [], Or(Not(p), Not(Not(p))), False),
    ("(p -> q) -> q", [], Implies(Implies(p, q), q), False),
    ("p | q from q -> p", [Implies(q, p)], Or(p, q), False),
    ("~(p & q) -> ~p | ~q", [], Implies(Not(And(p, q)), Or(Not(p), Not(q))), False),
]


@pytest.mark.parametrize("premises, target, valid", [v[1:] for v in VERDICTS], ids=[v[0] for v in VERDICTS])
def test_verdicts(premises, target, valid):
    result = TableauProver().prove(target, premises)
    assert result.is_valid is valid
    if valid:
        assert result.countermodel is None
    else:
        assert_refutes(result.countermodel, target, premises)
    prover = TableauProver()
    assert prover.is_valid(target, premises) is valid
    assert (prover.countermodel(target=target, premises=premises) is None) is valid


@pytest.mark.parametrize(
    "name, n", [("chain", 4), ("pigeon", 2), ("dneg_lem", 2), ("lem", 3), ("linear", 3), ("debruijn_even", 1)]
)
def test_family_members(name, n):
    make, valid, _ = FAMILIES[name]
    result = prove_tableau(make(n))
    assert result.is_valid is valid
    if not valid:
        assert_refutes(result.countermodel, make(n))


def test_entry_points_call_the_subclass_prove_by_name():
    class Counting(TableauProver):
        def __init__(self):
            super().__init__()
            self.calls = []

        def prove(self, target, premises=None, **unexpected):
            self.calls.append((target, premises, unexpected))
            return super().prove(target=target, premises=premises)

    prover = Counting()
    assert prover.is_valid(target=Implies(P, Q), premises=[Q]) is True
    assert prover.countermodel(Or(P, Not(P))).worlds == [W0, W1]
    assert prover.countermodel(P, [P]) is None
    assert prover.calls == [(Implies(P, Q), [Q], {}), (Or(P, Not(P)), None, {}), (P, [P], {})]


def test_entry_points_take_the_verdict_of_a_replaced_prove():
    class Sceptic(TableauProver):
        def prove(self, target, premises=None):
            return TableauProofResult(is_valid=False, tree=TableauProofTree(TableauNode(1)), countermodel="model")

    assert Sceptic().is_valid(Implies(P, P)) is False and Sceptic().countermodel(Implies(P, P)) == "model"


def test_excluded_middle_countermodel():
    model = TableauProver().countermodel(Or(P, Not(P)))
    assert model.worlds == [W0, W1]
    assert model.relations == {W0: {W0, W1}, W1: {W1}} and model.valuations == {W0: set(), W1: {P}}


@pytest.mark.parametrize(
    "target, premises, limits",
    [
        (Implies(P, P), [], {"max_worlds": 1}),
        (Implies(P, P), [], {"max_depth": 1}),
        (R, [Or(P, Q), Implies(P, R), Implies(Q, R)], {"max_depth": 2}),
    ],
)
def test_a_branch_cut_by_a_limit_is_no_refutation(target, premises, limits):
    result = prove_tableau(target, premises, **limits)
    assert result.is_valid is False and result.countermodel is None
    assert "Status: UNKNOWN (Search Limit Reached)" in result.to_string().split("\n")
    assert "Countermodel" not in result.to_string()


def test_extract_countermodel_reads_worlds_order_and_atoms():
    s = _BranchState()
    s.add_t_formula(W0, And(P, Q))
    s.add_t_formula(W0, FALSUM)
    s.add_relation(W0, W1)
    s.add_t_formula(W1, R)
    s.add_t_formula(W1, VERUM)
    model = TableauProver()._extract_countermodel(s)
    assert model.worlds == [W0, W1] and model.relations == {W0: {W0, W1}, W1: {W1}}
    assert model.valuations == {W0: set(), W1: {R}}


FORALL_P = Forall(Variable(0), PredicateApp("P", 1, (Variable(0),)))
A_IS_B = Equality(Constant("a"), Constant("b"))


@pytest.mark.parametrize(
    "target, premises",
    [(FORALL_P, []), (A_IS_B, []), (Or(FORALL_P, Not(FORALL_P)), []), (P, [A_IS_B]), (Implies(P, A_IS_B), [P])],
)
def test_open_branch_beyond_propositional_forcing_is_unknown(target, premises):
    # forcing cannot check such a branch: a result without a countermodel
    result = prove_tableau(target, premises)
    assert result.is_valid is False and result.countermodel is None
    assert "Status: UNKNOWN (Search Limit Reached)" in result.to_string().split("\n")
    assert result.to_dict()["countermodel"] is None


def test_deep_input_raises_recursion_error_instead_of_crashing():
    formula = P
    for _ in range(200_000):
        formula = Not(formula)
    with pytest.raises(RecursionError):
        prove_tableau(formula).to_string()


# ---------------------------------------------------------------------------
# Result records, report and dictionary
# ---------------------------------------------------------------------------
def test_valid_report_and_dict():
    result = prove_tableau(Implies(P, P))
    assert result.to_string() == "\n".join([
        "=== Intuitionistic Kripke Tableau Proof (IPC) ===",
        "Target: (P => P)",
        "Status: VALID (Intuitionistically Proven)",
        "Tree Size: 2 nodes, Depth: 2",
        "",
        "--- Derivation Tree ---",
        "+-- Target : F((P => P), w0) [CLOSED]",
        "    +-- F_Imp (w0 <= w1) : F((P => P), w0) [CLOSED] (Complementary clash on P at w1)",
    ])
    assert str(result) == result.to_string()
    assert result.to_dict() == {
        "is_valid": True,
        "target": "(P => P)",
        "premises": [],
        "tree": {"is_closed": True, "depth": 2, "size": 2, "tree": {
            "id": 1, "signed_formula": "F((P => P), w0)", "rule": "Target", "world": "w0", "is_closed": True,
            "clash_details": None, "children": [{
                "id": 2, "signed_formula": "F((P => P), w0)", "rule": "F_Imp (w0 <= w1)", "world": "w1",
                "is_closed": True, "clash_details": "Complementary clash on P at w1", "children": []}]}},
        "countermodel": None,
    }


def test_invalid_report_and_dict():
    result = prove_tableau(Or(P, Not(P)), [Q])
    assert result.to_string() == "\n".join([
        "=== Intuitionistic Kripke Tableau Proof (IPC) ===",
        "Target: (P | ~P)",
        "Premises: Q",
        "Status: UNPROVABLE (Countermodel Found)",
        "Tree Size: 3 nodes, Depth: 3",
        "",
        "--- Derivation Tree ---",
        "+-- Target : F((P | ~P), w0) [OPEN]",
        "    +-- F_Or : F((P | ~P), w0) [OPEN]",
        "        +-- F_Not (w0 <= w1) : F(~P, w0) [OPEN]",
        "",
        "--- Falsifying Kripke Countermodel ---",
        result.countermodel.to_string(),  # the model's own rendering, tested with the model
    ])
    d = result.to_dict()
    assert list(d) == ["is_valid", "target", "premises", "tree", "countermodel"]
    assert (d["is_valid"], d["target"], d["premises"]) == (False, "(P | ~P)", ["Q"])
    assert d["tree"]["size"] == 3 and d["tree"]["tree"]["children"][0]["rule"] == "F_Or"
    assert d["countermodel"] == {"worlds": ["w0", "w1"], "relations": {"w0": ["w0", "w1"], "w1": ["w1"]},
                                 "valuations": {"w0": ["Q"], "w1": ["P", "Q"]}}


@pytest.mark.parametrize("premises", [None, []])
def test_no_premises(premises):
    result = TableauProver().prove(P, premises)
    assert result.premises == () and result.to_dict()["premises"] == []
    assert not any(line.startswith("Premises: ") for line in result.to_string().split("\n"))


def test_premises_come_back_as_a_tuple_in_order():
    result = prove_tableau(R, [Q, P, Q])
    assert result.premises == (Q, P, Q) and result.to_string().split("\n")[2] == "Premises: Q, P, Q"


@pytest.mark.parametrize(
    "fields, status",
    [
        ({"is_valid": True}, "VALID (Intuitionistically Proven)"),
        ({"is_valid": False}, "UNKNOWN (Search Limit Reached)"),
        ({"is_valid": False, "countermodel": KripkeModel()}, "UNPROVABLE (Countermodel Found)"),
    ],
)
def test_hand_built_result_report(fields, status):
    result = TableauProofResult(tree=TableauProofTree(TableauNode(1, is_closed=True)), **fields)
    lines = result.to_string().split("\n")
    assert lines[:6] == ["=== Intuitionistic Kripke Tableau Proof (IPC) ===", "Status: " + status,
                         "Tree Size: 1 nodes, Depth: 1", "", "--- Derivation Tree ---", "+--  [CLOSED]"]
    assert ("--- Falsifying Kripke Countermodel ---" in lines) is ("countermodel" in fields)
    d = result.to_dict()
    assert d["target"] is None and d["premises"] == [] and (d["countermodel"] is None) is ("countermodel" not in fields)


def test_result_equality_follows_its_fields():
    a, b = prove_tableau(Implies(P, P)), prove_tableau(Implies(P, P))
    assert a != b  # different tree objects
    same = TableauProofResult(a.is_valid, a.tree, a.countermodel, a.target, a.premises)
    assert a == same
    with pytest.raises(TypeError):
        {a}


def test_result_tree_nodes_are_records_of_the_proof():
    result = prove_tableau(Implies(Or(p, q), Or(q, p)))
    root = result.tree.root
    assert isinstance(root, TableauNode) and isinstance(root.children, list)
    assert root.world == W0 and root.signed_formula == SignedFormula(Sign.FALSE, Implies(Or(p, q), Or(q, p)), W0)
    root.children.clear()
    assert result.tree.get_size() == 1 and "Tree Size: 1 nodes" in result.to_string()


# ---------------------------------------------------------------------------
# Interrupts and threads
# ---------------------------------------------------------------------------
def test_ctrl_c_stops_a_long_search_and_leaves_the_process_usable():
    answer, seconds, after, status = interrupt_in_child(
        "from families import FAMILIES\nfrom helpers import p\nfrom constructive.tableau import prove_tableau\n"
        "formula = FAMILIES['pigeon'][0](4)",
        "prove_tableau(formula)",
        "from core.ast import Implies\nprint(prove_tableau(Implies(p, p)).is_valid)",
    )
    assert (answer, after, status) == ("interrupted", "True", 0) and seconds < 1.0, (answer, seconds)


def test_a_search_lets_other_threads_run():
    import threading

    formula = FAMILIES["dneg_lem"][0](7)  # a few hundred thousand nodes
    done = []
    worker = threading.Thread(target=lambda: done.append(prove_tableau(formula).is_valid))
    worker.start()
    turns = 0
    while worker.is_alive():
        turns += 1
        sum(range(100))
    worker.join()
    assert done == [True] and turns > 10_000, turns


OUT_OF_MEMORY_CHILD = r"""
import resource, sys
sys.path.insert(0, sys.argv[1])
from families import FAMILIES
from core.ast import Implies, PredicateApp
from constructive.tableau import prove_tableau
formula = FAMILIES["pigeon"][0](4)
size = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize:"))
limit = (size << 10) + (80 << 20)  # 80 MiB more than the process holds now
hard = resource.getrlimit(resource.RLIMIT_AS)[1]  # kept: a lower hard limit cannot be raised
resource.setrlimit(resource.RLIMIT_AS, (limit if hard == resource.RLIM_INFINITY else min(limit, hard), hard))
try:
    prove_tableau(formula)
    print("finished")
except MemoryError:
    print("MemoryError")
P = PredicateApp("P", 0, ())
print(prove_tableau(Implies(P, P)).is_valid, prove_tableau(P).is_valid)
"""


def test_running_out_of_memory_is_a_memory_error_and_the_process_goes_on():
    import sys

    bench = os.path.join(os.path.dirname(__file__), "..", "..", "bench")
    child = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY_CHILD, bench], capture_output=True, text=True,
                           timeout=300)
    assert (child.returncode, child.stdout.split("\n")[:2]) == (0, ["MemoryError", "True False"]), child.stderr


def test_searches_in_several_threads_at_once_agree_with_one_search():
    from concurrent.futures import ThreadPoolExecutor

    formulas = [FAMILIES["dneg_lem"][0](6), FAMILIES["lem"][0](20), Or(P, Not(P)), FAMILIES["pigeon"][0](2)] * 3

    def outline_of(formula):
        result = prove_tableau(formula)
        return result.is_valid, result.tree.get_size(), result.to_string()

    expected = [outline_of(f) for f in formulas]
    with ThreadPoolExecutor(max_workers=4) as pool:
        assert list(pool.map(outline_of, formulas)) == expected
