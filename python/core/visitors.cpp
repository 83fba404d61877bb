// core.visitors: the tree walkers.
//
// `ASTVisitor` is an abstract generic class (bases ABC and Generic[T]) whose
// class hook gives every subclass, wherever it is defined, its own dispatch
// table from node class to operation name.  Its `visit` looks the node's
// exact class up in that table and calls the operation by name, so a Python
// subclass written from scratch works as the interface describes.  The
// built-in walkers run in C++ (src/core/visitors.hpp); a Python subclass of
// one of them reaches its overrides through the trampoline of
// visitor_bindings.hpp at every depth.
#include "common/bindings.hpp"
#include "core/visitor_bindings.hpp"

#include <pybind11/eval.h>

namespace py = pybind11;
namespace vb = visitor_bindings;
using namespace core;

namespace {

// The sixteen-entry table every walker class receives, in slot order.
py::object g_dispatch_template;

// ---------------------------------------------------------------------------
// The metaclass
// ---------------------------------------------------------------------------

[[noreturn]] void refuse_abstract(py::handle cls, py::handle abstract) {
  py::list names = py::module_::import("builtins").attr("sorted")(abstract);
  std::string joined;
  for (py::handle name : names) joined += (joined.empty() ? "'" : ", '") + name.cast<std::string>() + "'";
  std::string cls_name = cls.attr("__name__").cast<std::string>();
#if PY_VERSION_HEX >= 0x030C0000
  throw py::type_error("Can't instantiate abstract class " + cls_name + " without an implementation for abstract method" +
                       (names.size() > 1 ? "s " : " ") + joined);
#else
  throw py::type_error("Can't instantiate abstract class " + cls_name + " with abstract method" +
                       (names.size() > 1 ? "s " : " ") + joined);
#endif
}

// Builds the C++ part of every built-in walker base that the object's own
// __init__ left unbuilt, with that base's constructor and no arguments.
void build_missing_parts(py::handle obj) {
  auto* inst = reinterpret_cast<py::detail::instance*>(obj.ptr());
  for (auto vh : py::detail::values_and_holders(inst)) {
    if (vh.holder_constructed()) continue;
    py::handle base(reinterpret_cast<PyObject*>(vh.type->type));
    try {
      base.attr("__init__")(obj);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_TypeError)) throw;
      throw py::type_error(std::string(vh.type->type->tp_name) + ".__init__() must be called when overriding __init__");
    }
  }
}

// Calling a walker class: refuse abstract classes, create and initialise the
// object, then complete what the object's __init__ did not build.
py::object instantiate(py::handle cls, py::args args, py::kwargs kwargs) {
  py::object abstract = py::getattr(cls, "__abstractmethods__", py::none());
  if (!abstract.is_none() && py::len(abstract) > 0) refuse_abstract(cls, abstract);
  PyObject* obj = PyType_Type.tp_call(cls.ptr(), args.ptr(), kwargs.ptr());
  if (!obj) throw py::error_already_set();
  py::object result = py::reinterpret_steal<py::object>(obj);
  if (py::isinstance<VisitorBase>(result)) build_missing_parts(result);
  return result;
}

py::object make_metaclass() {
  py::object builtins = py::module_::import("builtins");
  py::handle pybind11_type(reinterpret_cast<PyObject*>(py::detail::get_internals().default_metaclass));
  py::dict ns;
  ns["__module__"] = "core.visitors";
  ns["__doc__"] = "Metaclass of the walker classes: abstract base classes with a C++ core.";
  py::object meta = builtins.attr("type")("ASTVisitorMeta", py::make_tuple(pybind11_type, py::module_::import("abc").attr("ABCMeta")), ns);
  meta.attr("__call__") = py::cpp_function(&instantiate, py::is_method(meta), py::name("__call__"));
  common::refuse_bare_new_in(meta);
  return meta;
}

// ---------------------------------------------------------------------------
// ASTVisitor
// ---------------------------------------------------------------------------

// The dispatch of the interface: the node's exact class in the table of the
// walker's class, then the operation of that name on the walker.
py::object visit_by_table(py::handle self, py::handle node) {
  RecursionGuard guard;
  py::object table = self.attr("_dispatch_table");
  py::handle cls = py::type::handle_of(node);
  py::object name;
  if (PyDict_Check(table.ptr())) {
    PyObject* found = PyDict_GetItemWithError(table.ptr(), cls.ptr());
    if (!found && PyErr_Occurred()) throw py::error_already_set();
    if (found) name = py::reinterpret_borrow<py::object>(found);
  } else if (table.contains(cls)) {
    name = table[cls];
  }
  if (!name) unsupported_node(vb::type_name_of(node));
  return self.attr(name)(node);
}

// The hook run for every new subclass: the superclass's hook first, then a
// table of the class's own.
void init_subclass(py::handle ast_visitor, py::handle cls, py::kwargs kwargs) {
  py::module_::import("builtins").attr("super")(ast_visitor, cls).attr("__init_subclass__")(**kwargs);
  cls.attr("_dispatch_table") = py::reinterpret_steal<py::dict>(PyDict_Copy(g_dispatch_template.ptr()));
}

void define_abstract_operations(py::handle cls) {
  py::dict scope;
  scope["__name__"] = "core.visitors";
  py::exec(R"(
from abc import abstractmethod

def abstract_operation(name):
    def operation(self, node):
        return None
    operation.__name__ = name
    operation.__qualname__ = "ASTVisitor." + name
    return abstractmethod(operation)
)",
           scope);
  for (int slot = 0; slot < static_cast<int>(NodeKind::ForallPred); ++slot)
    cls.attr(vb::kOperationNames[slot]) = scope["abstract_operation"](vb::kOperationNames[slot]);
}

void define_second_order_defaults(py::handle cls) {
  for (int slot = static_cast<int>(NodeKind::ForallPred); slot < kNodeKindCount; ++slot) {
    cls.attr(vb::kOperationNames[slot]) = py::cpp_function(
        [](py::handle, py::handle) -> py::object {
          PyErr_SetNone(PyExc_NotImplementedError);
          throw py::error_already_set();
        },
        py::is_method(cls), py::name(vb::kOperationNames[slot]), py::arg("node"),
        "Not implemented unless a subclass overrides it.");
  }
}

py::object bind_ast_visitor(py::module_& m, py::handle meta) {
  py::class_<VisitorBase, std::shared_ptr<VisitorBase>> cls(
      m, "ASTVisitor", py::metaclass(meta),
      "Abstract base class for visitors traversing terms and formulas.\n\n"
      "Dispatch is on the node's exact class through the class's _dispatch_table.");
  cls.def(py::init<>());
  cls.def("visit", &visit_by_table, py::arg("node"),
          "Dispatches on the node's exact class and returns the result of its operation.");

  py::object generic = py::module_::import("typing").attr("Generic");
  py::object abc = py::module_::import("abc").attr("ABC");
  py::object T = m.attr("T");
  cls.attr("__bases__") = py::make_tuple(abc, generic, cls.attr("__bases__")[py::int_(0)]);
  cls.attr("__orig_bases__") = py::make_tuple(abc, generic[T]);
  cls.attr("__parameters__") = py::make_tuple(T);
  cls.attr("_dispatch_table") = py::dict();
  define_abstract_operations(cls);
  define_second_order_defaults(cls);

  py::handle self_cls = cls;
  cls.attr("__init_subclass__") = py::module_::import("builtins").attr("classmethod")(py::cpp_function(
      [self_cls](py::handle sub, py::kwargs kwargs) { init_subclass(self_cls, sub, std::move(kwargs)); },
      py::name("__init_subclass__"), "Gives the new walker class its own dispatch table."));
  py::module_::import("_abc").attr("_abc_init")(cls);
  return cls;
}

// ---------------------------------------------------------------------------
// The light substitution's mapping
// ---------------------------------------------------------------------------

// The walk reads the Python attribute `mapping` (the caller's dictionary,
// never copied or written) each time it is entered from Python.
struct ReloadMapping {
  void operator()(py::handle self, LightSubstitutionTransformer& walker) const {
    walker.mapping = vb::variable_mapping_from_py(self.attr("mapping"));
  }
};

// ---------------------------------------------------------------------------
// The exporter's notation
// ---------------------------------------------------------------------------

// `notation` is a plain Python attribute: the constructor accepts only the
// three notations, a value assigned later may be anything, and any value
// other than "prefix" and "latex" gives the infix forms.
void check_notation(py::handle notation) {
  if (!py::isinstance<py::str>(notation))
    throw core::ValueError("Unsupported notation: " + py::str(notation).cast<std::string>());
  core::parse_notation(common::string_from_py(notation, "ExportVisitor notation"));
}

std::string notation_in_force(py::handle notation) {
  for (const char* name : {"prefix", "latex"})
    if (py::isinstance<py::str>(notation) && notation.equal(py::str(name))) return name;
  return "infix";
}

struct ReloadNotation {
  void operator()(py::handle self, ExportVisitor& walker) const {
    walker.notation = notation_in_force(self.attr("notation"));
  }
};

}  // namespace

PYBIND11_MODULE(visitors, m) {
  m.doc() = "Visitor implementations for traversing, measuring and serialising syntax trees.";
  // The transformers test the classes of rebuilt children while the
  // interpreter's assertions are on (__debug__, fixed for the process).
  core::set_rebuild_assertions(py::module_::import("sys").attr("flags").attr("optimize").cast<int>() == 0);
  py::module_ ast = py::module_::import("core.ast");
  py::module_ ast_ext = py::module_::import("sol.ast_ext");
  py::module_ sorts = py::module_::import("core.sorts");

  // The names this module imports, as module attributes.
  auto take = [&m](py::module_ from, std::initializer_list<const char*> names) {
    for (const char* name : names) m.attr(name) = from.attr(name);
  };
  take(py::module_::import("abc"), {"ABC", "abstractmethod"});
  take(py::module_::import("typing"), {"Generic", "TypeVar", "Union", "Any", "Set", "Dict", "Optional", "Tuple", "List"});
  take(ast, {"Term", "Variable", "Constant", "FunctionApp", "Formula", "PredicateApp", "Equality", "Not", "And", "Or",
             "Implies", "Iff", "Forall", "Exists"});
  take(ast_ext, {"ForallPred", "ExistsPred", "ForallFunc", "ExistsFunc", "PredicateVariable", "FunctionVariable"});
  take(sorts, {"Sort", "PrimitiveSort", "ParameterizedSort", "FunctionSort", "Ind", "Nat", "Bool"});
  m.attr("T") = m.attr("TypeVar")("T");

  py::dict table;
#define CORE_VISITORS_TABLE_ENTRY(op, Class) table[m.attr(#Class)] = vb::interned(#op);
  CORE_VISIT_OPERATIONS(CORE_VISITORS_TABLE_ENTRY)
#undef CORE_VISITORS_TABLE_ENTRY
  g_dispatch_template = table;
  g_dispatch_template.inc_ref();  // lives as long as the process, like the classes

  py::object meta = make_metaclass();
  py::object ast_visitor = bind_ast_visitor(m, meta);
  py::module_ builtins = py::module_::import("builtins");
  auto declared = [&](py::object result_type) { return ast_visitor[result_type]; };

  auto transformer = vb::walker_class<ASTTransformer, VisitorBase>(
      m, "ASTTransformer",
      "Rebuilds a term or formula bottom-up, returning the very same node wherever nothing below it changed.");
  transformer.def(py::init_alias<>());
  vb::def_operations<ASTTransformer>(transformer);
  vb::finish_walker_class(transformer, declared(m.attr("Union")[py::make_tuple(m.attr("Term"), m.attr("Formula"))]));

  auto depth = vb::walker_class<DepthVisitor, VisitorBase>(
      m, "DepthVisitor", "Height of a term or formula: the nodes on its longest downward path.");
  depth.def(py::init_alias<>());
  vb::def_operations<DepthVisitor>(depth);
  vb::finish_walker_class(depth, declared(builtins.attr("int")));

  auto size = vb::walker_class<SizeVisitor, VisitorBase>(m, "SizeVisitor",
                                                         "Number of node occurrences in a term or formula.");
  size.def(py::init_alias<>());
  vb::def_operations<SizeVisitor>(size);
  vb::finish_walker_class(size, declared(builtins.attr("int")));

  auto collector = vb::walker_class<FreeVariableCollector, VisitorBase>(
      m, "FreeVariableCollector", "The free Variable nodes of a term or formula, as a new set per visit.");
  collector.def(py::init_alias<>());
  vb::def_operations<FreeVariableCollector>(collector);
  vb::finish_walker_class(collector, declared(m.attr("Set")[m.attr("Variable")]));

  auto substitution = vb::walker_class<LightSubstitutionTransformer, ASTTransformer>(
      m, "SubstitutionTransformer",
      "Light capture-avoiding substitution of terms for variables, as a dictionary says; checks no sorts.");
  vb::def_kept_argument_init(substitution, py::arg("mapping"), &vb::variable_mapping_from_py,
                             "Keeps the caller's dictionary (not a copy) as `mapping`.");
  vb::def_operations<LightSubstitutionTransformer>(substitution, ReloadMapping{});
  vb::finish_walker_class(substitution);

  auto exporter = vb::walker_class<ExportVisitor, VisitorBase>(
      m, "ExportVisitor", "Text of a term or formula in \"infix\", \"prefix\" or \"latex\" notation.");
  vb::def_kept_argument_init(exporter, py::arg("notation") = "infix", &check_notation,
                             "Keeps the notation as the plain attribute `notation`.");
  vb::def_operations<ExportVisitor>(exporter, ReloadNotation{});
  vb::finish_walker_class(exporter, declared(builtins.attr("str")));
  common::refuse_none_self(m);
}
