// A test-only extension module (`_record_probe`) with three small records
// bound by common::bind_record, one per style, for tests/common/test_records.py.
#include "common/bindings.hpp"
#include "common/records.hpp"

namespace py = pybind11;

namespace {

// Built as Pair{left, right}; hashed from its fields.
struct Pair {
  std::int64_t left;
  std::string right;
  bool operator==(const Pair&) const = default;
};

// Built by a checking factory; hashed by its own hash(); == a foreign object is
// False; an instance of a subclass counts as a Tagged.
struct Tagged {
  std::int64_t tag;
  core::NodePtr node;
  bool operator==(const Tagged& o) const { return tag == o.tag && core::equal(node, o.node); }
  std::int64_t hash() const { return tag * 31 + node->hash(); }
};

// Mutable and unhashable.
struct Box {
  py::object content;
  bool operator==(const Box& o) const { return content.equal(o.content); }
};

}  // namespace

PYBIND11_MODULE(_record_probe, m) {
  py::module_::import("core.ast");
  common::refuse_bare_new();
  py::class_<Pair> pair(m, "Pair");
  common::bind_record(pair, {}, common::field("left", &Pair::left), common::field("right", &Pair::right, "r"));

  py::class_<Tagged, std::shared_ptr<Tagged>> tagged(m, "Tagged");
  common::bind_record(tagged, {.foreign_not_implemented = false, .exact_class = false},
                      common::constructor([](std::int64_t tag, py::handle node) {
                        if (tag < 0) throw py::value_error("tag must be non-negative");
                        return std::make_shared<Tagged>(Tagged{tag, common::to_node(node)});
                      }),
                      common::field("tag", &Tagged::tag), common::field("node", [](const Tagged& t) { return t.node; }));

  py::class_<Box> box(m, "Box");
  common::bind_record(box, {.hashable = false, .frozen = false},
                      common::mutable_field(
                          "content", &Box::content, [](Box& b, py::handle v) { b.content = py::reinterpret_borrow<py::object>(v); },
                          py::none()));
}
