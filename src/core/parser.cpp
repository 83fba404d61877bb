#include "core/parser.hpp"

namespace core {
namespace {

class Renderer {
 public:
  Renderer(Notation notation, bool latex_constants, ChildRenderer* children = nullptr)
      : notation_(notation), latex_constants_(latex_constants), children_(children) {}

  void node(const Node& n, std::string& out) {
    RecursionGuard guard;
    switch (n.kind()) {
      case NodeKind::Variable: {
        auto id = std::to_string(as<Variable>(n).id());
        out += notation_ == Notation::Latex ? "v_{" + id + "}" : "v" + id;
        break;
      }
      case NodeKind::Constant: out += as<Constant>(n).name(); break;
      case NodeKind::FunctionApp:
      case NodeKind::PredicateApp: application(n, out); break;
      case NodeKind::Equality: {
        const auto& e = as<Equality>(n);
        if (notation_ == Notation::Prefix) {
          out += "(= ";
          child(e.left(), out);
          out += " ";
          child(e.right(), out);
          out += ")";
        } else {
          child(e.left(), out);
          out += " = ";
          child(e.right(), out);
        }
        break;
      }
      case NodeKind::Not: negation(as<Not>(n), out); break;
      case NodeKind::And:
      case NodeKind::Or:
      case NodeKind::Implies:
      case NodeKind::Iff: binary(as<BinaryFormula>(n), out); break;
      case NodeKind::Forall:
      case NodeKind::Exists: quantifier(as<Quantifier>(n), out); break;
      default: second_order(as<SecondOrderQuantifier>(n), out); break;
    }
  }

 private:
  void application(const Node& n, std::string& out) {
    const Application& app = *as_application(n);
    const std::string& symbol = app.symbol().name();
    if (latex_constants_ && notation_ == Notation::Latex && n.kind() == NodeKind::PredicateApp &&
        app.symbol().is_name() && app.args().empty()) {
      if (symbol == "_bot") return void(out += "\\bot");
      if (symbol == "_top") return void(out += "\\top");
    }
    const auto& args = app.args();
    if (args.empty()) {
      out += symbol;
      if (n.kind() == NodeKind::FunctionApp && notation_ != Notation::Prefix) out += "()";
      return;
    }
    bool prefix = notation_ == Notation::Prefix;
    if (prefix) out += "(";
    out += symbol;
    out += prefix ? " " : "(";
    for (std::size_t i = 0; i < args.size(); ++i) {
      if (i) out += prefix ? " " : ", ";
      child(args[i], out);
    }
    out += ")";
  }

  void negation(const Not& n, std::string& out) {
    const Node& operand = *n.operand();
    if (notation_ == Notation::Prefix) {
      out += "(not ";
      child(n.operand(), out);
      out += ")";
      return;
    }
    out += notation_ == Notation::Latex ? "\\neg " : "~";
    bool wrap = is_binary(operand.kind());
    if (wrap) out += "(";
    child(n.operand(), out);
    if (wrap) out += ")";
  }

  void binary(const BinaryFormula& b, std::string& out) {
    static const char* const infix[] = {" & ", " | ", " => ", " <=> "};
    static const char* const latex[] = {" \\land ", " \\lor ", " \\implies ", " \\iff "};
    static const char* const prefix[] = {"(and ", "(or ", "(=> ", "(<=> "};
    int i = static_cast<int>(b.kind()) - static_cast<int>(NodeKind::And);
    if (notation_ == Notation::Prefix) {
      out += prefix[i];
      child(b.left(), out);
      out += " ";
      child(b.right(), out);
      out += ")";
      return;
    }
    out += "(";
    // The printer brackets a quantified left side: its body would otherwise
    // seem to run on over the connective and the right side.
    const NodeKind left_kind = b.left()->kind();
    const bool wrap_left = latex_constants_ && (is_quantifier(left_kind) || is_second_order(left_kind));
    if (wrap_left) out += "(";
    child(b.left(), out);
    if (wrap_left) out += ")";
    out += notation_ == Notation::Latex ? latex[i] : infix[i];
    child(b.right(), out);
    out += ")";
  }

  void quantifier(const Quantifier& q, std::string& out) {
    bool forall = q.kind() == NodeKind::Forall;
    std::string var;
    child(q.variable(), var);
    std::string body;
    child(q.body(), body);
    const std::string& sort = q.variable()->sort()->name();
    switch (notation_) {
      case Notation::Prefix:
        out += std::string(forall ? "(forall (" : "(exists (") + var + " : " + sort + ") " + body + ")";
        break;
      case Notation::Latex:
        out += std::string(forall ? "\\forall " : "\\exists ") + var + " : " + sort + ", " + body;
        break;
      case Notation::Infix: out += std::string(forall ? "forall " : "exists ") + var + " : " + sort + ", " + body;
    }
  }

  void second_order(const SecondOrderQuantifier& q, std::string& out) {
    static const char* const words[] = {"forall_pred", "exists_pred", "forall_func", "exists_func"};
    int i = static_cast<int>(q.kind()) - static_cast<int>(NodeKind::ForallPred);
    std::string body;
    child(q.body(), body);
    const std::string& name = q.variable()->name();
    switch (notation_) {
      case Notation::Prefix: out += std::string("(") + words[i] + " (" + name + ") " + body + ")"; break;
      case Notation::Latex: out += std::string(i % 2 == 0 ? "\\forall " : "\\exists ") + name + ", " + body; break;
      case Notation::Infix: out += std::string(words[i]) + " " + name + ", " + body;
    }
  }

  // A child is rendered by the caller's renderer when one was given (one
  // node at a time), else by this renderer (the whole tree).
  void child(const NodePtr& n, std::string& out) {
    if (children_)
      children_->render(n, out);
    else
      node(*n, out);
  }

  Notation notation_;
  bool latex_constants_;
  ChildRenderer* children_;
};

}  // namespace

Notation parse_notation(std::string_view name) {
  if (name == "infix") return Notation::Infix;
  if (name == "prefix") return Notation::Prefix;
  if (name == "latex") return Notation::Latex;
  throw ValueError("Unsupported notation: " + std::string(name));
}

std::string render(const Node& node, Notation notation) {
  std::string out;
  Renderer(notation, false).node(node, out);
  return out;
}

void render_node(const Node& node, Notation notation, ChildRenderer& children, std::string& out) {
  Renderer(notation, false, &children).node(node, out);
}

std::string to_string(const Node& node, std::string_view notation) {
  std::string out;
  Renderer(parse_notation(notation), true).node(node, out);
  return out;
}

std::string escape_latex_text(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '_': case '#': case '%': case '&': case '$': case '{': case '}': out += '\\'; out += c; break;
      case '~': out += "\\textasciitilde{}"; break;
      case '^': out += "\\textasciicircum{}"; break;
      case '\\': out += "\\textbackslash{}"; break;
      case '<': out += "\\textless{}"; break;
      case '>': out += "\\textgreater{}"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace core
