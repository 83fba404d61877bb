#include "core/ast_text.hpp"

#include <string>
#include <vector>

#include "core/ast_tree.hpp"
#include "core/interrupt.hpp"

namespace core {

// ---------------------------------------------------------------------------
// Text form
// ---------------------------------------------------------------------------
namespace {

// The text form is written without recursion, so that an error message that
// shows a deep term (an occur-check failure, say) never fails for its depth:
// the pieces still to write wait on a stack, last first, each a node to
// render or a text to copy.
class ReprWriter {
 public:
  std::string write(const Node& root) {
    todo_.push_back({&root, {}});
    while (!todo_.empty()) {
      Piece piece = std::move(todo_.back());
      todo_.pop_back();
      if (piece.node) {
        poller_.poll();
        render(*piece.node);
      } else {
        out_ += piece.text;
      }
    }
    return std::move(out_);
  }

 private:
  struct Piece {
    const Node* node = nullptr;  // null: copy `text`
    std::string text;
  };

  // Writes the node's own text and schedules its children in the order given.
  void render(const Node& n) {
    out_ += n.class_name();
    out_ += "(";
    std::vector<Piece> rest;
    auto text = [&](std::string t) { rest.push_back({nullptr, std::move(t)}); };
    auto node = [&](const NodePtr& c) { rest.push_back({c.get(), {}}); };
    auto args = [&](const std::vector<NodePtr>& items) {
      text("(");
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) text(", ");
        node(items[i]);
      }
      text(items.size() == 1 ? ",)" : ")");
    };
    switch (n.kind()) {
      case NodeKind::Variable: {
        const auto& v = as<Variable>(n);
        const char* k = variable_kind_name(v.var_kind());
        out_ += "sort=" + v.sort()->repr() + ", id=" + std::to_string(v.id()) + ", kind=<VariableKind." + k + ": '" +
                k + "'>";
        break;
      }
      case NodeKind::Constant: {
        const auto& c = as<Constant>(n);
        out_ += "sort=" + c.sort()->repr() + ", name=" + py_quote(c.name());
        break;
      }
      case NodeKind::FunctionApp: {
        const auto& f = as<FunctionApp>(n);
        out_ += "sort=" + f.sort()->repr() + ", func=" + f.func().repr() + ", arity=" + std::to_string(f.arity()) +
                ", args=";
        args(f.args());
        text(", return_sort=" + f.return_sort()->repr());
        break;
      }
      case NodeKind::PredicateApp: {
        const auto& a = as<PredicateApp>(n);
        out_ += "pred=" + a.pred().repr() + ", arity=" + std::to_string(a.arity()) + ", args=";
        args(a.args());
        break;
      }
      case NodeKind::Equality:
        text("left=");
        node(as<Equality>(n).left());
        text(", right=");
        node(as<Equality>(n).right());
        break;
      case NodeKind::Not:
        text("operand=");
        node(as<Not>(n).operand());
        break;
      case NodeKind::And:
      case NodeKind::Or:
      case NodeKind::Implies:
      case NodeKind::Iff:
        text("left=");
        node(as<BinaryFormula>(n).left());
        text(", right=");
        node(as<BinaryFormula>(n).right());
        break;
      case NodeKind::Forall:
      case NodeKind::Exists:
        text("variable=");
        node(as<Quantifier>(n).variable());
        text(", body=");
        node(as<Quantifier>(n).body());
        break;
      default:
        text("variable=" + as<SecondOrderQuantifier>(n).variable()->repr() + ", body=");
        node(as<SecondOrderQuantifier>(n).body());
        break;
    }
    text(")");
    for (auto it = rest.rbegin(); it != rest.rend(); ++it) todo_.push_back(std::move(*it));
  }

  std::string out_;
  std::vector<Piece> todo_;
  InterruptPoller poller_;
};

}  // namespace

std::string repr(const Node& n) { return ReprWriter().write(n); }

namespace {
bool within_print_limit(const NodeCount& size) { return size.fits_int64() && size.to_int64() <= kMaxPrintedNodes; }
}  // namespace

bool printable(const Node& n) { return within_print_limit(node_size_exact(n)); }

void require_printable(const Node& n) {
  NodeCount size = node_size_exact(n);
  if (!within_print_limit(size)) throw TooLargeToPrint("formula too large to print: " + size.decimal() + " nodes as a tree");
}

}  // namespace core
