// The tree walkers subclassed and driven from C++.
#include <gtest/gtest.h>

#include "core/ast.hpp"
#include "core/visitors.hpp"

using namespace core;

namespace {

NodePtr atom(const char* name, std::vector<NodePtr> args = {}) {
  auto arity = static_cast<std::int64_t>(args.size());
  return PredicateApp::make(name, arity, std::move(args));
}

// Shifts every variable id; inherits the rebuilding of everything else.
class Shift : public ASTTransformer {
 public:
  NodePtr visit_variable(const NodeRef<Variable>& node) override { return Variable::make(node->id() + 10); }
};

// Counts the operations reached, to show that a C++ override sees every level.
class CountingExport : public ExportVisitor {
 public:
  using ExportVisitor::ExportVisitor;
  std::string visit_not(const NodeRef<Not>& node) override {
    ++negations;
    return ExportVisitor::visit_not(node);
  }
  int negations = 0;
};

}  // namespace

TEST(Visitors, CxxSubclassRebuildsOnlyTheChangedPath) {
  NodePtr x = Variable::make(0);
  NodePtr untouched = make_not(atom("Q"));
  NodePtr f = make_and(Quantifier::make(NodeKind::Forall, x, atom("P", {x})), untouched);
  NodePtr out = Shift().visit(f);
  NodePtr x10 = Variable::make(10);
  EXPECT_TRUE(equal(out, make_and(Quantifier::make(NodeKind::Forall, x10, atom("P", {x10})), untouched)));
  EXPECT_EQ(as<BinaryFormula>(*out).right(), untouched);
  EXPECT_EQ(ASTTransformer().visit(f), f);
}

TEST(Visitors, ExportOperationsMatchTheWholeTreePass) {
  NodePtr f = make_not(make_not(make_implies(atom("P"), make_not(atom("Q")))));
  for (const char* notation : {"infix", "prefix", "latex"}) {
    CountingExport counting(notation);
    EXPECT_EQ(counting.visit(f), ExportVisitor(notation).visit(f));
    EXPECT_EQ(counting.negations, 3);
  }
  EXPECT_THROW(ExportVisitor("tex"), ValueError);
}

TEST(Visitors, DeepTreesRaiseInsteadOfOverflowing) {
  NodePtr f = atom("P");
  for (int i = 0; i < 1'000'000; ++i) f = make_not(f);
  EXPECT_THROW(DepthVisitor().visit(f), RecursionDepthError);
  EXPECT_THROW(Shift().visit(f), RecursionDepthError);
  EXPECT_THROW(CountingExport().visit(f), RecursionDepthError);
}

TEST(Visitors, LightSubstitutionRenamesACapturingBinder) {
  VariablePtr x = Variable::make(0), y = Variable::make(1);
  NodePtr f = Quantifier::make(NodeKind::Exists, x, atom("R", {x, y}));
  NodePtr out = LightSubstitutionTransformer({{y, x}}).visit(f);
  VariablePtr z = Variable::make(2);
  EXPECT_TRUE(equal(out, Quantifier::make(NodeKind::Exists, z, atom("R", {z, x}))));
}
