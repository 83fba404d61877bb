// Python faces of tree walkers, for every module that binds a walker class
// (core.visitors itself, core.substitutions, ...).  Include after
// "common/bindings.hpp".
//
// A C++ walker class becomes a Python class that Python code can subclass:
// an override written in Python of `visit` or of any `visit_*` operation is
// called at every depth, also when the walk runs in C++.  An object whose
// class is exactly the built-in one has no trampoline, so its walk stays in
// C++ with no Python call per node.
//
// Binding a C++ subclass of core::ASTTransformer in another module:
//
//   PYBIND11_MODULE(substitutions, m) {
//     py::module_::import("core.visitors");
//     auto cls = visitor_bindings::walker_class<MyTransformer, core::ASTTransformer>(m, "MyTransformer", "doc");
//     cls.def(py::init<...>(), py::arg(...));
//     visitor_bindings::def_operations<MyTransformer>(cls);    // visit and the sixteen operations
//     visitor_bindings::finish_walker_class(cls);              // dispatch table, abstract-class bookkeeping
//   }
//
// Each bound operation calls the C++ class's own implementation (a Python
// `super().visit_not(node)` therefore reaches the C++ rebuilding), after
// reading the Python object's overrides; `def_operations` takes an optional
// hook `void(py::handle self, C& walker)` run first at every such entry (the
// light substitution reloads its mapping there).
#pragma once

#include <cstdint>
#include <string>
#include <typeinfo>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "common/bindings.hpp"
#include "core/visitors.hpp"

namespace visitor_bindings {

namespace py = pybind11;

// The sixteen operations in slot order (slot = the NodeKind of the class),
// then `visit`.
inline constexpr int kVisitSlot = core::kNodeKindCount;
inline constexpr const char* kOperationNames[core::kNodeKindCount + 1] = {
#define VISITOR_BINDINGS_NAME(op, Class) #op,
    CORE_VISIT_OPERATIONS(VISITOR_BINDINGS_NAME)
#undef VISITOR_BINDINGS_NAME
        "visit"};

// The interned Python string of a name the bindings look up often.
inline py::handle interned(const char* name) {
  static std::unordered_map<const char*, PyObject*> strings;  // keyed by the literal's address
  auto found = strings.find(name);
  if (found != strings.end()) return found->second;
  PyObject* str = PyUnicode_InternFromString(name);
  if (!str) throw py::error_already_set();
  strings.emplace(name, str);  // kept for the life of the process
  return str;
}

inline py::object attribute(py::handle obj, const char* name) {
  PyObject* value = PyObject_GetAttr(obj.ptr(), interned(name).ptr());
  if (!value) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(value);
}

using common::type_name_of;

// The walker classes bound in C++ by this extension module.
inline std::unordered_set<PyTypeObject*>& bound_walker_types() {
  static std::unordered_set<PyTypeObject*> types;
  return types;
}

// Whether `value`, found in a class's dictionary, is a function bound from C++.
inline bool is_cpp_function(PyObject* value) {
  py::handle h(value);
  return PyCallable_Check(value) && py::function(py::reinterpret_borrow<py::object>(h)).is_cpp_function();
}

// Whether the class `cls` has `name` from Python code rather than from a
// walker class bound in C++: the classes of its MRO are searched in order, up
// to the first bound walker class (for a built-in walker, none at all).
inline bool python_defines(py::handle cls, const char* name) {
  PyObject* mro = reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_mro;
  for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
    auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    if (bound_walker_types().count(type)) return false;
    PyObject* dict = type->tp_dict;
    if (!dict) continue;
    PyObject* value = PyDict_GetItemWithError(dict, interned(name).ptr());
    if (value) return !is_cpp_function(value);
    if (PyErr_Occurred()) throw py::error_already_set();
  }
  return false;
}

// The slots (the sixteen operations and `visit`) that a walker class
// overrides in Python.
inline std::uint32_t class_overrides(py::handle cls) {
  std::uint32_t mask = 0;
  for (int slot = 0; slot <= kVisitSlot; ++slot)
    if (python_defines(cls, kOperationNames[slot])) mask |= std::uint32_t{1} << slot;
  return mask;
}

// The node classes that core.visitors imported, by NodeKind: the keys of
// every standard dispatch table.
inline py::handle node_class(core::NodeKind kind) {
  static py::handle classes[core::kNodeKindCount];
  static bool loaded = false;
  if (!loaded) {
    py::module_ visitors = py::module_::import("core.visitors");
    for (int k = 0; k < core::kNodeKindCount; ++k)
      classes[k] = py::object(visitors.attr(core::node_class_name(static_cast<core::NodeKind>(k)))).release();
    loaded = true;
  }
  return classes[static_cast<int>(kind)];
}

// Whether `table` maps each of the sixteen node classes to its operation
// name, whatever the order of its entries.
inline bool is_standard_table_in_any_order(py::handle table) {
  for (int k = 0; k < core::kNodeKindCount; ++k) {
    PyObject* name = PyDict_GetItemWithError(table.ptr(), node_class(static_cast<core::NodeKind>(k)).ptr());
    if (!name) {
      if (PyErr_Occurred()) throw py::error_already_set();
      return false;
    }
    if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, kOperationNames[k]) != 0) return false;
  }
  return true;
}

// Whether `table` is the sixteen-entry table the class hook gives every
// walker class (a caller may have edited a class's table since).  An
// unedited table holds the very key and value objects of the template, in
// slot order, so most of the test is comparing pointers.
inline bool is_standard_table(py::handle table) {
  if (!PyDict_CheckExact(table.ptr()) || PyDict_Size(table.ptr()) != core::kNodeKindCount) return false;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  for (int k = 0; PyDict_Next(table.ptr(), &pos, &key, &value); ++k) {
    if (key != node_class(static_cast<core::NodeKind>(k)).ptr()) return is_standard_table_in_any_order(table);
    if (value == interned(kOperationNames[k]).ptr()) continue;  // the template's values are interned
    if (!PyUnicode_Check(value) || PyUnicode_CompareWithASCIIString(value, kOperationNames[k]) != 0) return false;
  }
  return true;
}

// The name of the operation that the walker's table gives the node's class,
// or null when the table has no entry for it.
inline py::object operation_name_in_table(py::handle self, const core::NodePtr& node) {
  py::object table = attribute(self, "_dispatch_table");
  py::handle cls = node_class(node->kind());
  if (PyDict_Check(table.ptr())) {
    PyObject* found = PyDict_GetItemWithError(table.ptr(), cls.ptr());
    if (!found && PyErr_Occurred()) throw py::error_already_set();
    return found ? py::reinterpret_borrow<py::object>(found) : py::object();
  }
  return table.contains(cls) ? py::object(table[cls]) : py::object();
}

// Which operations a walker object takes from Python: overrides in its class,
// operations assigned on the object itself, and an edited dispatch table
// (visit looks the operation up by name on the object).  Part of every
// trampoline.
class PythonOverrides {
 public:
  virtual ~PythonOverrides() = default;

  // Reads the overrides from `self`, the Python object that owns this
  // walker, and its class.  Bindings call it when a walk is entered from
  // Python, so a change made to the object or its class shows in the next
  // walk.
  void refresh(py::handle self) {
    py::handle cls = py::type::handle_of(self);
    mask_ = class_overrides(cls);
    py::object own = py::reinterpret_steal<py::object>(PyObject_GenericGetDict(self.ptr(), nullptr));
    if (!own) throw py::error_already_set();
    bool has_own = PyDict_Check(own.ptr()) && PyDict_Size(own.ptr()) > 0;
    if (has_own)
      for (int slot = 0; slot <= kVisitSlot; ++slot)
        if (own_attribute(own, kOperationNames[slot])) mask_ |= std::uint32_t{1} << slot;
    table_edited_ = !is_standard_table(attribute(self, "_dispatch_table"));
    refresh_more(cls, has_own ? own : py::object());
    refreshed_ = true;
  }

  // A value that an override returned where a node was expected; the C++
  // walk carries a null node in its place, and the binding hands it back
  // when the null reaches the root.
  void keep_foreign(py::handle value) { foreign_ = py::reinterpret_borrow<py::object>(value); }
  py::object take_foreign() {
    py::object out = foreign_ ? std::move(foreign_) : py::none();
    foreign_ = py::object();
    return out;
  }

  // Entries from Python that are open on this walker: only the outermost
  // one reads the overrides (an override calling super() is a nested one).
  int open_entries = 0;

  bool overridden(int slot) const { return (mask_ >> slot) & 1u; }
  bool table_edited() const { return table_edited_; }
  bool overrides_nothing() const { return refreshed_ && mask_ == 0 && !table_edited_ && !more_overridden(); }

 protected:
  // Reads the overrides of further operations that a walker class adds
  // (`own` is the object's own attribute dictionary, or null).
  virtual void refresh_more(py::handle /*cls*/, py::handle /*own*/) {}
  virtual bool more_overridden() const { return false; }
  bool refreshed() const { return refreshed_; }
  static bool own_attribute(py::handle own, const char* name) {
    return own && PyDict_GetItemWithError(own.ptr(), interned(name).ptr()) != nullptr;
  }

 private:
  bool refreshed_ = false;
  bool table_edited_ = false;
  std::uint32_t mask_ = 0;
  py::object foreign_;
};

// Conversions of walker results between C++ and Python.
template <typename R>
struct Result;

template <>
struct Result<core::NodePtr> {
  static py::object to_py(const core::NodePtr& node, PythonOverrides* overrides) {
    if (node) return py::cast(node);
    return overrides ? overrides->take_foreign() : py::none();
  }
  static core::NodePtr from_py(py::handle value, const char*, PythonOverrides& overrides) {
    if (py::isinstance<core::Node>(value)) return value.cast<core::NodePtr>();
    overrides.keep_foreign(value);
    return nullptr;
  }
};

// A Python value that a walk carries without looking inside.
class HeldValue {
 public:
  explicit HeldValue(py::object value) : value_(std::move(value)) {}
  const py::object& value() const { return value_; }

 private:
  py::object value_;
};

// A measure that an override returned and the engine cannot hold (a float,
// an int beyond 64 bits, ...): sums and comparisons with it are Python's.
class PythonMeasure final : public core::HostMeasure, public HeldValue {
 public:
  using HeldValue::HeldValue;
  core::Measure plus(const core::Measure& a, const core::Measure& b) const override;
  core::Measure larger(const core::Measure& current, const core::Measure& candidate) const override;
};

template <>
struct Result<core::Measure> {
  static py::object to_py(const core::Measure& m, PythonOverrides* = nullptr) {
    if (m.is_small()) return py::int_(m.small());
    if (m.host()) return static_cast<const PythonMeasure&>(*m.host()).value();
    py::object wide = py::reinterpret_steal<py::object>(PyLong_FromString(m.wide()->decimal().c_str(), nullptr, 10));
    if (!wide) throw py::error_already_set();
    return wide;
  }
  static core::Measure from_py(py::handle value, const char* = nullptr, PythonOverrides* = nullptr) {
    if (PyLong_Check(value.ptr())) {
      int overflow = 0;
      long long small = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
      if (!overflow) {
        if (small == -1 && PyErr_Occurred()) throw py::error_already_set();
        return core::Measure(static_cast<std::int64_t>(small));
      }
    }
    return core::Measure(std::make_shared<const PythonMeasure>(py::reinterpret_borrow<py::object>(value)));
  }
  static core::Measure from_py(py::handle value, const char* op, PythonOverrides& overrides) {
    return from_py(value, op, &overrides);
  }
};

inline core::Measure PythonMeasure::plus(const core::Measure& a, const core::Measure& b) const {
  py::object sum = py::reinterpret_steal<py::object>(
      PyNumber_Add(Result<core::Measure>::to_py(a).ptr(), Result<core::Measure>::to_py(b).ptr()));
  if (!sum) throw py::error_already_set();
  return Result<core::Measure>::from_py(sum);
}

// The rule of max(): the candidate only when it is greater.
inline core::Measure PythonMeasure::larger(const core::Measure& current, const core::Measure& candidate) const {
  int greater = PyObject_RichCompareBool(Result<core::Measure>::to_py(candidate).ptr(),
                                         Result<core::Measure>::to_py(current).ptr(), Py_GT);
  if (greater < 0) throw py::error_already_set();
  return greater ? candidate : current;
}

template <>
struct Result<std::string> {
  static py::object to_py(const std::string& value, PythonOverrides*) { return py::str(value); }
  // An override's text; any other value is written by its string conversion.
  static std::string from_py(py::handle value, const char*, PythonOverrides&) {
    if (py::isinstance<py::str>(value)) return value.cast<std::string>();
    return py::str(value).cast<std::string>();
  }
};

// A collector result that an override returned and that is no set of
// variables (a list, a set holding other values, ...): unions and removals
// with it are Python's.
class PythonVariables final : public core::HostVariables, public HeldValue {
 public:
  using HeldValue::HeldValue;
  core::FreeVariables unite(const core::FreeVariables& a, const core::FreeVariables& b) const override;
  core::FreeVariables without(const core::FreeVariables& a, const core::VariablePtr& var) const override;
};

template <>
struct Result<core::FreeVariables> {
  static py::object to_py(const core::FreeVariables& result, PythonOverrides* = nullptr) {
    if (result.host()) return static_cast<const PythonVariables&>(*result.host()).value();
    return common::to_py_set(result.vars());
  }
  // A set of Variable nodes is held by the engine; any other value by Python.
  static core::FreeVariables from_py(py::handle value, const char* = nullptr, PythonOverrides* = nullptr) {
    if (PyAnySet_Check(value.ptr())) {
      core::VarSet vars;
      bool all_variables = true;
      for (py::handle item : value) {
        if (!py::isinstance<core::Variable>(item)) {
          all_variables = false;
          break;
        }
        vars.insert(item.cast<core::VariablePtr>());
      }
      if (all_variables) return vars;
    }
    return core::FreeVariables(std::make_shared<const PythonVariables>(py::reinterpret_borrow<py::object>(value)));
  }
  static core::FreeVariables from_py(py::handle value, const char* op, PythonOverrides& overrides) {
    return from_py(value, op, &overrides);
  }
};

// A new set updated with the members of `a`, then of `b`.
inline core::FreeVariables PythonVariables::unite(const core::FreeVariables& a, const core::FreeVariables& b) const {
  py::object out = py::reinterpret_steal<py::object>(PySet_New(nullptr));
  if (!out) throw py::error_already_set();
  out.attr("update")(Result<core::FreeVariables>::to_py(a), Result<core::FreeVariables>::to_py(b));
  return Result<core::FreeVariables>::from_py(out);
}

// A new set of the members of `a`, less `var`.
inline core::FreeVariables PythonVariables::without(const core::FreeVariables& a, const core::VariablePtr& var) const {
  py::object out = py::reinterpret_steal<py::object>(PySet_New(Result<core::FreeVariables>::to_py(a).ptr()));
  if (!out || PySet_Discard(out.ptr(), py::cast(var).ptr()) < 0) throw py::error_already_set();
  return Result<core::FreeVariables>::from_py(out);
}

// The C++ object behind a Python subclass of a walker class: every virtual
// operation goes to the Python override when the class has one, else to C.
template <class C>
class Trampoline : public C, public PythonOverrides {
 public:
  using C::C;
  using R = typename C::Result;

  R visit(const core::NodePtr& node) override {
    if (wants(kVisitSlot)) return from_python(kVisitSlot, node);
    if (table_edited() && python_ready()) return visit_by_table(node);
    return C::visit(node);
  }

  bool known_unmodified() const override { return overrides_nothing(); }

  // The dispatch of the interface with an edited table: the operation that
  // the table names for the node's class, looked up by name on the object
  // (the C++ one where that is the class's own, unreplaced operation).
  R visit_by_table(const core::NodePtr& node) {
    if (!node) core::unsupported_node("NoneType");
    core::RecursionGuard guard;
    py::object name = operation_name_in_table(self(), node);
    if (!name) core::unsupported_node(node->class_name());
    int slot = static_cast<int>(node->kind());
    if (is_own_operation(name, slot)) return this->dispatch(node);
    py::object result = self().attr(name)(node);
    return Result<R>::from_py(result, py::str(name).cast<std::string>().c_str(), *this);
  }

  // The first step of a walk entered from Python through `visit`: the
  // result of an operation written in Python is handed back unchanged, what
  // C++ computes is converted.
  py::object visit_from_python(const core::NodePtr& node) {
    int slot = static_cast<int>(node->kind());
    py::object name = py::reinterpret_borrow<py::object>(interned(kOperationNames[slot]));
    if (table_edited()) {
      name = operation_name_in_table(self(), node);
      if (!name) core::unsupported_node(node->class_name());
    }
    if (!is_own_operation(name, slot)) return self().attr(name)(node);
    if (overrides_nothing()) {
      // No Python code takes part in the walk: a plain copy of the C++
      // walker runs it, without the trampoline's checks at every node.
      C plain(static_cast<const C&>(*this));
      return Result<R>::to_py(plain.visit(node), this);
    }
    return Result<R>::to_py(C::visit(node), this);
  }

#define VISITOR_BINDINGS_FORWARD(op, Class)                                    \
  R op(const core::NodeRef<core::Class>& node) override {                     \
    constexpr int slot = static_cast<int>(core::NodeKind::Class);              \
    return wants(slot) ? from_python(slot, node) : C::op(node);                \
  }
  CORE_VISIT_OPERATIONS(VISITOR_BINDINGS_FORWARD)
#undef VISITOR_BINDINGS_FORWARD

 protected:
  // The Python object that owns this walker; none once it is gone (C++ may
  // keep a walker alive longer), and then the C++ operations serve.
  py::handle self() const {
    return py::detail::get_object_handle(static_cast<const C*>(this), py::detail::get_type_info(typeid(C)));
  }
  // Whether the Python object is there to take calls, its overrides read.
  bool python_ready() {
    if (!refreshed()) {  // first reached from C++ rather than through a binding
      py::handle owner = self();
      if (!owner) return false;
      refresh(owner);
    }
    return bool(self());
  }

 private:
  bool is_own_operation(py::handle name, int slot) const {
    return !overridden(slot) && PyUnicode_Check(name.ptr()) &&
           PyUnicode_CompareWithASCIIString(name.ptr(), kOperationNames[slot]) == 0;
  }
  bool wants(int slot) { return overridden(slot) && python_ready(); }
  R from_python(int slot, const core::NodePtr& node) {
    py::object result = attribute(self(), kOperationNames[slot])(node);
    return Result<R>::from_py(result, kOperationNames[slot], *this);
  }
};

// The metaclass of every walker class: abstract-class checks, and a call
// that completes the C++ part when a Python __init__ skipped the base's.
inline py::handle walker_metaclass() {
  return py::handle(reinterpret_cast<PyObject*>(Py_TYPE(py::type::of<core::VisitorBase>().ptr())));
}

// `Alias` is the C++ class behind Python subclasses: Trampoline<C>, or a
// subclass of it that also forwards further virtual operations of C.
template <class C, class Base, class Alias = Trampoline<C>, typename... Extra>
py::class_<C, Base, Alias, std::shared_ptr<C>> walker_class(py::module_& m, const char* name, const char* doc,
                                                          const Extra&... extra) {
  // Every walker object takes attributes, operations assigned on it included.
  py::class_<C, Base, Alias, std::shared_ptr<C>> cls(m, name, py::metaclass(walker_metaclass()), doc,
                                                     py::dynamic_attr(), extra...);
  bound_walker_types().insert(reinterpret_cast<PyTypeObject*>(cls.ptr()));
  return cls;
}

// The walker behind `self`; a TypeError when `self` is no instance of C or
// when its C++ part was never built (an object made by __new__ alone).
template <class C>
C& walker_of(py::handle self) {
  void* built = common::built_object_of<C>(self);
  // Every walker class derives from VisitorBase alone (its trampoline puts
  // the walker first), so the C++ object starts with its VisitorBase; an
  // object whose __class__ was reassigned holds another C++ walker.
  auto* walker = dynamic_cast<C*>(static_cast<core::VisitorBase*>(built));
  if (!walker)
    throw py::type_error("this " + type_name_of(self) + " object was built as another walker class");
  return *walker;
}

// The node that `visit` receives; anything else is refused by name.  The
// dispatch is on the exact class: an instance of a Python subclass of a node
// class is no key of the table and is refused as well.
inline core::NodePtr node_to_visit(py::handle node) {
  PyTypeObject* cls = Py_TYPE(node.ptr());
  const py::detail::type_info* info = py::detail::get_type_info(cls);
  if (!py::isinstance<core::Node>(node) || !info || info->type != cls) core::unsupported_node(type_name_of(node));
  return node.cast<core::NodePtr>();
}

// The node of an operation's own class.
template <class T>
core::NodeRef<T> node_of_class(py::handle node, core::NodeKind kind, const char* op) {
  if (!py::isinstance<core::Node>(node) || node.cast<core::NodePtr>()->kind() != kind)
    throw core::TypeError(std::string(op) + " expects a " + core::node_class_name(kind) + " node, got " +
                          type_name_of(node));
  return core::as_ptr<T>(node.cast<core::NodePtr>());
}

struct NoEntryHook {
  template <class C>
  void operator()(py::handle, C&) const {}
};

// One entry into a walker from Python.  The outermost entry reads the
// overrides of the Python object and runs the class's entry hook; nested
// ones (an override calling super()) keep what it read.
template <class C>
class Entry {
 public:
  template <class Hook>
  Entry(py::handle self, const Hook& hook)
      : walker(walker_of<C>(self)), overrides(dynamic_cast<PythonOverrides*>(&walker)) {
    bool outermost = !overrides || overrides->open_entries == 0;
    if (outermost) {
      if (overrides) overrides->refresh(self);
      hook(self, walker);
    }
    if (overrides) ++overrides->open_entries;
  }
  ~Entry() {
    if (overrides) --overrides->open_entries;
  }
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;

  C& walker;
  PythonOverrides* overrides;
};

// Binds `visit` and the sixteen operations of C, each calling C's own code.
// (An operation hides what a base defines under its name, also the Python
// functions of ASTVisitor's abstract operations.)
template <class C, class PyClass, class Hook = NoEntryHook>
void def_operations(PyClass& cls, Hook hook = {}) {
  using R = typename C::Result;
  cls.def(
      "visit",
      [hook](py::handle self, py::handle node) -> py::object {
        Entry<C> entry(self, hook);
        core::NodePtr target = node_to_visit(node);
        if (auto* trampoline = dynamic_cast<Trampoline<C>*>(&entry.walker))
          return trampoline->visit_from_python(target);
        return Result<R>::to_py(entry.walker.C::visit(target), entry.overrides);
      },
      py::arg("node"), "Dispatches on the node's exact class and returns the result of its operation.");
#define VISITOR_BINDINGS_DEF(op, Class)                                                              \
  cls.def(                                                                                           \
      #op,                                                                                           \
      [hook](py::handle self, py::handle node) {                                                     \
        Entry<C> entry(self, hook);                                                                  \
        auto typed = node_of_class<core::Class>(node, core::NodeKind::Class, #op);                   \
        return Result<R>::to_py(entry.walker.C::op(typed), entry.overrides);                         \
      },                                                                                             \
      py::arg("node"), py::sibling(py::none()));
  CORE_VISIT_OPERATIONS(VISITOR_BINDINGS_DEF)
#undef VISITOR_BINDINGS_DEF
}

// A constructor with one argument that the walker keeps as a plain Python
// attribute of the argument's name (the caller's object itself, not a copy),
// after `check` has refused values that no walk could use.  `argument` is a
// py::arg, or a py::arg_v with a default.  The class reads the attribute
// afresh at every walk entered from Python (the entry hook of def_operations).
template <class PyClass, class Argument, class Check>
void def_kept_argument_init(PyClass& cls, Argument argument, Check check, const char* doc) {
  cls.def(py::init_alias<>());
  py::object base_init = cls.attr("__init__");
  std::string attribute = argument.name;
  cls.attr("__init__") = py::cpp_function(
      [base_init, check, attribute](py::handle self, py::handle value) {
        check(value);
        base_init(self);
        self.attr(attribute.c_str()) = value;
      },
      py::is_method(cls), py::name("__init__"), argument, doc);
}

// Reads a substitution (anything with items() that yields (variable, node)
// pairs) into an insertion-ordered mapping; a TypeError names what is wrong.
inline core::VariableMapping variable_mapping_from_py(py::handle mapping) {
  if (!py::hasattr(mapping, "items"))
    throw core::TypeError("A substitution must be a mapping from Variable to term, got " +
                          common::class_text(mapping));
  core::VariableMapping out;
  for (py::handle item : mapping.attr("items")()) {
    if (!py::isinstance<py::tuple>(item) || py::len(item) != 2)
      throw core::TypeError("The items of a substitution must be (variable, term) pairs, got " +
                            common::class_text(item));
    py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
    py::handle key = pair[0], value = pair[1];
    if (!py::isinstance<core::Variable>(key))
      throw core::TypeError("A substitution maps variables to terms; got a key of " + common::class_text(key));
    if (!py::isinstance<core::Node>(value))
      throw core::TypeError("A substitution maps variables to terms; got a value of " + common::class_text(value));
    out.set(key.cast<core::VariablePtr>(), value.cast<core::NodePtr>());
  }
  return out;
}

// Gives a newly bound walker class what a Python subclass gets when it is
// created: its abstract-method bookkeeping and its own dispatch table.
// `declared_base` (optional) is recorded as the class's parameterised base,
// e.g. ASTVisitor[int].
inline void finish_walker_class(py::handle cls, py::handle declared_base = py::handle()) {
  if (declared_base) cls.attr("__orig_bases__") = py::make_tuple(declared_base);
  py::module_::import("_abc").attr("_abc_init")(cls);
  cls.attr("__init_subclass__")();
}

}  // namespace visitor_bindings
