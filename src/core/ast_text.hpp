// The text form of syntax-tree nodes: the record text (repr) and the guard
// that refuses to write out a tree too large to print.
#pragma once

#include <cstdint>
#include <new>
#include <string>

#include "core/ast.hpp"
#include "core/limits.hpp"

namespace core {

// The record text form: And(left=..., right=...), Variable(sort=..., id=3, kind=<...>).
std::string repr(const Node& n);

// A node's text is as long as its unfolded tree, and a heavily shared node
// (100 distinct nodes, 2^100 leaves) cannot be written out.  Its size is
// known from one walk over the distinct nodes, so such a text is refused at
// once, as memory that cannot be had (the host's MemoryError).
using limits::kMaxPrintedNodes;
class TooLargeToPrint : public std::bad_alloc {
 public:
  explicit TooLargeToPrint(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};
// Whether the text of `n` stays within kMaxPrintedNodes nodes.
bool printable(const Node& n);
// Raises TooLargeToPrint "formula too large to print: <n> nodes as a tree" unless printable(n).
void require_printable(const Node& n);

}  // namespace core
