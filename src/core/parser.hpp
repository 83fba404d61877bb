// Printing of terms and formulas.
//
// Three notations: "infix" (the default), "prefix" (one parenthesised list
// per compound node, operator first) and "latex".  The same renderer serves
// the export visitor of core.visitors and the printer `to_string` of
// core.parser; the printer differs only in writing falsum and verum as \bot
// and \top in LaTeX, so that formulas containing them compile there.
#pragma once

#include <string>
#include <string_view>

#include "core/ast.hpp"

namespace core {

enum class Notation { Infix, Prefix, Latex };

// Parses a notation name; anything but the three raises ValueError
// "Unsupported notation: <value>".
Notation parse_notation(std::string_view name);

// The export rendering (names printed as they are, no special constants).
std::string render(const Node& node, Notation notation);

// Renders the children of a node for render_node.
class ChildRenderer {
 public:
  virtual void render(const NodePtr& child, std::string& out) = 0;

 protected:
  ~ChildRenderer() = default;
};

// The export rendering of one node, each child written by `children` (in
// field order: arguments, sides, operand, bound variable, body).  Lets a
// walker render node by node with the very rules of `render`.
void render_node(const Node& node, Notation notation, ChildRenderer& children, std::string& out);

// The printer: the export rendering, except that in LaTeX the constants
// falsum ("_bot") and verum ("_top") print as \bot and \top, and that a
// quantifier on the left of a binary connective is bracketed.  A notation
// other than the three raises ValueError "Unsupported notation: <name>".
std::string to_string(const Node& node, std::string_view notation = "infix");

// Plain text made safe for LaTeX text mode: the characters that LaTeX would
// misread are escaped ("L_Imp_Imp" becomes "L\_Imp\_Imp", "<=" becomes
// "\textless{}=").  Used for rule labels in the LaTeX proof renderings.
std::string escape_latex_text(std::string_view text);

}  // namespace core
