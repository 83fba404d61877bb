// Shared pieces of every extension module.
//
// Include this first in each binding file.  It teaches pybind11 to pass
// `std::shared_ptr<const T>` (the engine's handle on immutable values) in and
// out of Python through the registered `std::shared_ptr<T>` holder, so that a
// node returned from any module arrives as its most-derived Python class.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/ast.hpp"
#include "core/pyhash.hpp"
#include "core/visitors.hpp"

namespace pybind11::detail {

template <typename T>
struct type_caster<std::shared_ptr<const T>> {
  using Inner = copyable_holder_caster<T, std::shared_ptr<T>>;
  PYBIND11_TYPE_CASTER(std::shared_ptr<const T>, make_caster<T>::name);

  bool load(handle src, bool convert) {
    if (src.is_none()) return false;
    // an instance whose constructor never finished holds no value
    if (isinstance<T>(src)) {
      for (auto vh : values_and_holders(reinterpret_cast<instance*>(src.ptr())))
        if (!vh.holder_constructed()) return false;
    }
    Inner inner;
    if (!inner.load(src, convert)) return false;
    value = std::const_pointer_cast<const T>(static_cast<std::shared_ptr<T>&>(inner));
    return true;
  }

  static handle cast(const std::shared_ptr<const T>& src, return_value_policy policy, handle parent) {
    if (!src) return none().release();
    return Inner::cast(std::const_pointer_cast<T>(src), policy, parent);
  }
};

// Text from Python.  A str that has no UTF-8 form (it holds a lone
// surrogate) raises the interpreter's UnicodeEncodeError, instead of failing
// to convert, which pybind11 would report as "Unable to cast Python instance
// to C++ type".  Readers that know the argument use common::string_from_py,
// which names it.
template <>
struct type_caster<std::string> : string_caster<std::string> {
  bool load(handle src, bool convert) {
    if (string_caster<std::string>::load(src, convert)) return true;
    if (src && PyUnicode_Check(src.ptr()) && !PyUnicode_AsUTF8AndSize(src.ptr(), nullptr)) throw error_already_set();
    return false;
  }
};

}  // namespace pybind11::detail

namespace common {

namespace py = pybind11;

// A Python enum.Enum whose members' values are the given texts, in order.
// With `base` "StrEnum" the members are also strings: each compares equal to
// its value and converts to it.
inline py::object make_string_enum(py::module_& m, const char* name, const char* doc,
                                   const std::vector<std::pair<std::string, std::string>>& members,
                                   const char* base = "Enum") {
  py::list items;
  for (const auto& [member, value] : members) items.append(py::make_tuple(member, value));
  py::object enum_cls = py::module_::import("enum").attr(base)(name, items, py::arg("module") = m.attr("__name__"));
  enum_cls.attr("__doc__") = doc;
  m.attr(name) = enum_cls;
  return enum_cls;
}

// A Python set (or frozenset) of the members of an engine set, in order.
template <typename Set>
py::set to_py_set(const Set& items) {
  py::set out;
  for (const auto& item : items) out.add(py::cast(item));
  return out;
}

template <typename Set>
py::frozenset to_py_frozenset(const Set& items) {
  return py::frozenset(to_py_set(items));
}

// A substitution as a new Python dict from Variable to term, in entry order.
inline py::dict substitution_to_py(const core::VariableMapping& subst) {
  py::dict out;
  for (const auto& [var, term] : subst.entries()) out[py::cast(var)] = py::cast(term);
  return out;
}

// The name of an object's class, as the interpreter shows it in messages.
inline std::string type_name_of(py::handle obj) {
  return py::type::handle_of(obj).attr("__name__").cast<std::string>();
}

// The C++ object behind `self`, as the pointer pybind11 keeps for class T:
// TypeError when `self` is no instance of T's class or when its constructor
// never ran (an object made by __new__ alone).
template <typename T>
void* built_object_of(py::handle self) {
  py::detail::make_caster<T> caster;
  if (!caster.load(self, false))
    throw py::type_error("descriptor requires a '" + py::type::of<T>().attr("__name__").template cast<std::string>() +
                         "' object but received a '" + type_name_of(self) + "'");
  auto* inst = reinterpret_cast<py::detail::instance*>(self.ptr());
  for (auto vh : py::detail::values_and_holders(inst))
    if (!vh.holder_constructed()) throw py::type_error(type_name_of(self) + ".__init__() was not called on this object");
  return caster.value;
}

// The host's truth value of any object (its __bool__ or __len__); an error
// that the object raises passes through.
inline bool truth_of(py::handle value) {
  int truth = PyObject_IsTrue(value.ptr());
  if (truth < 0) throw py::error_already_set();
  return truth == 1;
}

// The text of an object's class as the interpreter prints it: "<class 'int'>".
inline std::string class_text(py::handle obj) { return py::str(py::type::handle_of(obj)).cast<std::string>(); }

// A Python int as a 64-bit integer: TypeError for anything but an int,
// OverflowError for an int outside the 64-bit range.
inline std::int64_t int64_from_py(py::handle obj, const char* what) {
  if (!py::isinstance<py::int_>(obj))
    throw core::TypeError(std::string(what) + " must be an integer, got " + class_text(obj));
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(obj.ptr(), &overflow);
  if (overflow) {
    PyErr_SetString(PyExc_OverflowError, (std::string(what) + " must be an integer that fits in 64 bits").c_str());
    throw py::error_already_set();
  }
  return value;
}

// A Python str as a string: TypeError for anything else, UnicodeEncodeError
// naming `what` for a str with no UTF-8 form (one that holds a lone surrogate).
inline std::string string_from_py(py::handle obj, const char* what) {
  if (!py::isinstance<py::str>(obj))
    throw core::TypeError(std::string(what) + " must be a string, got " + class_text(obj));
  Py_ssize_t size = 0;
  if (const char* text = PyUnicode_AsUTF8AndSize(obj.ptr(), &size)) return std::string(text, size);
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
  py::error_already_set failure;  // the interpreter's error, with the offending positions
  Py_ssize_t start = 0, end = 0;
  if (PyUnicodeEncodeError_GetStart(failure.value().ptr(), &start) != 0 ||
      PyUnicodeEncodeError_GetEnd(failure.value().ptr(), &end) != 0)
    throw py::error_already_set();
  std::string reason = std::string(what) + " must be text without lone surrogates";
  py::object error = py::reinterpret_borrow<py::object>(PyExc_UnicodeEncodeError)("utf-8", obj, start, end, reason);
  PyErr_SetObject(PyExc_UnicodeEncodeError, error.ptr());
  throw py::error_already_set();
}

// A Python value as the bound class T (a shared handle for a node or sort):
// TypeError naming `what` and the class it wanted for anything else.
template <typename T>
std::shared_ptr<const T> value_from_py(py::handle obj, const char* what) {
  if (!py::isinstance<T>(obj))
    throw core::TypeError(std::string(what) + " must be a " +
                          py::type::of<T>().attr("__name__").template cast<std::string>() + ", got " + class_text(obj));
  return obj.cast<std::shared_ptr<const T>>();
}

// Converts a Python value to a node, or raises InvalidFormulaError
// "Unsupported AST node type: <class ...>" (the tree functions' message).
inline core::NodePtr to_node(py::handle obj) {
  if (py::isinstance<core::Node>(obj)) {
    if (py::detail::make_caster<core::NodePtr> caster; caster.load(obj, false))
      return py::detail::cast_op<core::NodePtr>(caster);
    throw core::TypeError(type_name_of(obj) + ".__init__() did not finish on this object");
  }
  throw core::InvalidFormulaError("Unsupported AST node type: " + class_text(obj));
}

// A formula given to a prover (`what` names it: "target", "a premise"): a
// term or any other value is refused with TypeError.
inline core::NodePtr formula_from_py(py::handle obj, const char* what) {
  if (py::isinstance<core::Node>(obj)) {
    core::NodePtr node = to_node(obj);
    if (node->is_formula()) return node;
  }
  throw core::TypeError(std::string(what) + " must be a formula, got " + class_text(obj));
}

// Calls `visit` with each item of an iterable (a generator is consumed).  A
// tuple, also of a type derived from tuple, is read by the items it holds,
// so a record that keeps the tuple keeps exactly the items it was built from.
template <typename Visit>
void for_each_item(py::handle items, Visit&& visit) {
  if (PyTuple_Check(items.ptr())) {
    const Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) visit(py::handle(PyTuple_GET_ITEM(items.ptr(), i)));
    return;
  }
  for (auto item : py::iter(items)) visit(item);
}

// The nodes of an iterable, each read as to_node reads it (a value that is
// not iterable raises the interpreter's TypeError).
inline std::vector<core::NodePtr> formulas_from_py(py::handle items) {
  std::vector<core::NodePtr> out;
  for_each_item(items, [&](py::handle item) { out.push_back(to_node(item)); });
  return out;
}

// As formulas_from_py, with none read as no formulas.
inline std::vector<core::NodePtr> formulas_or_none_from_py(py::handle items) {
  if (items.is_none()) return {};
  return formulas_from_py(items);
}

// The premises given to a prover: none, or an iterable of formulas, each
// refused as formula_from_py refuses "a premise".
inline std::vector<core::NodePtr> premises_from_py(py::handle premises) {
  std::vector<core::NodePtr> out;
  if (premises.is_none()) return out;
  for_each_item(premises, [&](py::handle item) { out.push_back(formula_from_py(item, "a premise")); });
  return out;
}

// The interpreter's hash of a UTF-8 text: the string hook of core::pyhash.
// It may be called from any thread, with or without the interpreter lock,
// and takes the lock itself.  A text that is not valid UTF-8 (no str holds
// it) is hashed through its surrogate-escaped str; once the interpreter has
// shut down, the engine's own stand-in answers.
inline core::pyhash::hash_t interpreter_string_hash(std::string_view text) {
  if (!Py_IsInitialized()) return static_cast<core::pyhash::hash_t>(std::hash<std::string_view>{}(text) | 1);
  PyGILState_STATE state = PyGILState_Ensure();
  PyObject* str = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
  Py_hash_t hash = str ? PyObject_Hash(str) : -1;
  Py_XDECREF(str);
  if (hash == -1) {
    PyErr_Clear();
    hash = static_cast<Py_hash_t>(std::hash<std::string_view>{}(text) | 1);
  }
  PyGILState_Release(state);
  return static_cast<core::pyhash::hash_t>(hash);
}

// A record that hands back the very collection it was built from keeps that
// collection in the deleter of its holder: the engine's value stays free of
// Python, and the collection lives exactly as long as the record.  The
// deleter takes the interpreter lock itself, so the last owner may drop the
// record anywhere.
template <typename T>
struct KeptOrigin {
  PyObject* origin;
  void operator()(T* value) const {
    delete value;
    if (Py_IsInitialized()) {
      py::gil_scoped_acquire locked;
      Py_DECREF(origin);
    }
  }
};

template <typename T>
std::shared_ptr<T> holding_origin(T value, py::handle origin) {
  auto owned = std::make_unique<T>(std::move(value));
  origin.inc_ref();
  return std::shared_ptr<T>(owned.release(), KeptOrigin<T>{origin.ptr()});
}

// The collection that a record of class T was built from, or a null object
// when the engine made the record (found through the Python object that
// holds the record).
template <typename T>
py::object origin_of(const T& record) {
  py::handle self = py::detail::get_object_handle(&record, py::detail::get_type_info(typeid(T)));
  if (!self) return py::object();
  auto holder = self.cast<std::shared_ptr<T>>();
  if (auto* kept = std::get_deleter<KeptOrigin<T>>(holder)) return py::reinterpret_borrow<py::object>(kept->origin);
  return py::object();
}

// Raises dataclasses.FrozenInstanceError (an AttributeError), the error the
// interpreter gives for assignment to an immutable record.
[[noreturn]] inline void raise_frozen(const std::string& message) {
  py::object cls = py::module_::import("dataclasses").attr("FrozenInstanceError");
  PyErr_SetObject(cls.ptr(), py::str(message).ptr());
  throw py::error_already_set();
}

// Makes a bound class an immutable record: assigning or deleting any
// attribute is refused and the object stays as it was.
template <typename Class>
void freeze(Class& cls) {
  cls.def("__setattr__", [](py::handle, py::str name, py::handle) {
    raise_frozen("cannot assign to field '" + name.cast<std::string>() + "'");
  });
  cls.def("__delattr__", [](py::handle, py::str name) {
    raise_frozen("cannot delete field '" + name.cast<std::string>() + "'");
  });
}

}  // namespace common

namespace common {

// ---------------------------------------------------------------------------
// Objects made by `Cls.__new__(Cls)` alone
// ---------------------------------------------------------------------------
// A bound class's `__new__` only allocates the Python object; the C++ value
// behind it is made by `__init__`.  An object that never saw `__init__` has
// no value, and any method run on it would read unallocated memory.  So the
// metaclass of the bound classes answers a lookup of `__new__` that would
// reach that bare allocator with a function that refuses with TypeError.
// Calling the class (`Cls(...)`, also for Python subclasses) does not look
// `__new__` up and is unchanged; a Python subclass's own `__new__` is found
// first and is returned as it is.  A metaclass derived from pybind11's (the
// walkers' metaclass) gets the refusal from refuse_bare_new_in: a class made
// by `type(...)` takes its attribute lookup from pybind11's original slot.
namespace bare_new {

inline getattrofunc& original_getattro() {
  static getattrofunc original = nullptr;
  return original;
}

inline PyObject*& refusal() {
  static PyObject* function = nullptr;
  return function;
}

extern "C" inline PyObject* guarded_getattro(PyObject* cls, PyObject* name) {
  PyObject* found = original_getattro()(cls, name);
  if (!found || !PyCFunction_Check(found)) return found;
  auto& internals = py::detail::get_internals();
  if (!PyType_IsSubtype(Py_TYPE(cls), internals.default_metaclass)) return found;
  if (PyCFunction_GET_SELF(found) != reinterpret_cast<PyObject*>(internals.instance_base)) return found;
  if (PyUnicode_CompareWithASCIIString(name, "__new__") != 0) return found;
  Py_DECREF(found);
  Py_INCREF(refusal());
  return refusal();
}

}  // namespace bare_new

// Installs the refusal on pybind11's shared metaclass, once per process
// (every extension module may call it; the first call does the work).
inline void refuse_bare_new() {
  constexpr const char* kKey = "common.refuse_bare_new";
  if (py::get_shared_data(kKey)) return;
  bare_new::refusal() = py::cpp_function(
                            [](py::handle cls, py::args, py::kwargs) -> py::object {
                              std::string name = py::isinstance<py::type>(cls)
                                                     ? cls.attr("__qualname__").cast<std::string>()
                                                     : common::class_text(cls);
                              throw py::type_error("cannot create a " + name + " with __new__ alone; call " + name +
                                                   "(...) to build it");
                            },
                            py::name("__new__"))
                            .release()
                            .ptr();
  auto* meta = py::detail::get_internals().default_metaclass;
  bare_new::original_getattro() = meta->tp_getattro;
  meta->tp_getattro = bare_new::guarded_getattro;
  py::set_shared_data(kKey, bare_new::refusal());
}

// Gives a metaclass derived from pybind11's the same refusal: the lookup that
// the first module installed on pybind11's metaclass (each module keeps its
// own copy of the statics above, filled only where the work was done).
inline void refuse_bare_new_in(py::handle metaclass) {
  refuse_bare_new();
  reinterpret_cast<PyTypeObject*>(metaclass.ptr())->tp_getattro =
      py::detail::get_internals().default_metaclass->tp_getattro;
  PyType_Modified(reinterpret_cast<PyTypeObject*>(metaclass.ptr()));
}

// Calls `visit` with the record of each overload of a function that pybind11
// bound (a function, a method or a property accessor); any other value is
// passed over.
template <typename Visit>
void for_each_function_record(py::handle value, Visit visit) {
  py::handle fn = py::detail::get_function(value);
  if (!fn || !PyCFunction_Check(fn.ptr())) return;
  py::handle owner = PyCFunction_GET_SELF(fn.ptr());
  if (!owner || !py::isinstance<py::capsule>(owner)) return;
  auto cap = py::reinterpret_borrow<py::capsule>(owner);
  if (!py::detail::is_function_record_capsule(cap)) return;
  for (auto* rec = cap.get_pointer<py::detail::function_record>(); rec; rec = rec->next) visit(*rec);
}

// ---------------------------------------------------------------------------
// None in place of `self`
// ---------------------------------------------------------------------------
// pybind11 passes None as a null pointer to a pointer parameter, and a method
// bound from a member-function pointer receives `self` as a pointer, so
// `Cls.method(None)` would run the method on no object at all.  A method bound
// with py::arg annotations carries an argument record for `self` that refuses
// None; `refuse_none_self` gives every other method, property accessor and
// overload of the module's own classes that record, so None is a wrong `self`
// (TypeError) like any other, and names every property of those classes after
// its attribute.  Call it at the end of a module's definition.
namespace none_self {

inline void guard_function(py::handle value) {
  for_each_function_record(value, [](py::detail::function_record& rec) {
    if (rec.is_method && rec.args.empty())
      rec.args.emplace_back(strdup("self"), nullptr, py::handle(), true, false);  // pybind11 frees the name
  });
}

inline void guard_class(py::handle cls) {
  PyObject* members = reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(members, &pos, &key, &value)) {
    guard_function(value);
    if (PyObject_TypeCheck(value, &PyProperty_Type)) {
      for (const char* accessor : {"fget", "fset"}) guard_function(py::handle(value).attr(accessor));
      // pybind11 adds its properties after the class is made, so they never
      // learn their names, and the interpreter's messages ("property '' of
      // 'KripkeModel' object has no deleter") would name none.
      py::handle(value).attr("__set_name__")(cls, py::handle(key));
    }
  }
}

}  // namespace none_self

// ---------------------------------------------------------------------------
// Instances whose constructor never finished
// ---------------------------------------------------------------------------
// A Python subclass may keep `self` somewhere before its __init__ reaches the
// base constructor, or its __init__ may fail first: the object then has no
// C++ value.  `refuse_unbuilt_self` makes every method and property accessor
// of the module's own classes check its `self` first and raise TypeError for
// such an object, instead of running on a value that was never made.
namespace unbuilt_self {

using Impl = py::handle (*)(py::detail::function_call&);

inline std::unordered_map<const py::detail::function_record*, Impl>& originals() {
  static std::unordered_map<const py::detail::function_record*, Impl> table;  // kept for the life of the process
  return table;
}

inline bool is_unbuilt_instance(py::handle self) {
  if (!py::detail::get_type_info(Py_TYPE(self.ptr()))) return false;  // not ours: the method refuses it itself
  auto* inst = reinterpret_cast<py::detail::instance*>(self.ptr());
  for (auto vh : py::detail::values_and_holders(inst))
    if (!vh.holder_constructed()) return true;
  return false;
}

inline py::handle guarded(py::detail::function_call& call) {
  if (!call.args.empty() && is_unbuilt_instance(call.args[0]))
    throw py::type_error(type_name_of(call.args[0]) + ".__init__() did not finish on this object");
  return originals().at(&call.func)(call);
}

inline void guard_function(py::handle value) {
  for_each_function_record(value, [](py::detail::function_record& rec) {
    if (!rec.is_method || rec.is_constructor || rec.is_new_style_constructor || rec.impl == &guarded) return;
    originals().emplace(&rec, rec.impl);
    rec.impl = &guarded;
  });
}

}  // namespace unbuilt_self

// Calls `visit` with each class bound by pybind11 that the module itself defines.
template <typename Visit>
void for_each_own_class(py::module_& m, Visit visit) {
  py::object name = m.attr("__name__");
  for (auto item : m.attr("__dict__").cast<py::dict>()) {
    py::handle value = item.second;
    if (!PyType_Check(value.ptr()) || !py::detail::get_type_info(reinterpret_cast<PyTypeObject*>(value.ptr())))
      continue;
    py::object owner = value.attr("__module__");
    if (owner.equal(name)) visit(value);
  }
}

inline void refuse_unbuilt_self(py::module_& m) {
  for_each_own_class(m, [](py::handle cls) {
    PyObject* members = reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict;
    PyObject *key, *member;
    Py_ssize_t pos = 0;
    while (PyDict_Next(members, &pos, &key, &member)) {
      if (PyUnicode_CompareWithASCIIString(key, "__init__") == 0) continue;
      unbuilt_self::guard_function(member);
      if (PyObject_TypeCheck(member, &PyProperty_Type))
        for (const char* accessor : {"fget", "fset"}) unbuilt_self::guard_function(py::handle(member).attr(accessor));
    }
  });
}

// Also makes the module's methods refuse an instance whose constructor
// never finished (refuse_unbuilt_self).
inline void refuse_none_self(py::module_& m) {
  for_each_own_class(m, [](py::handle cls) { none_self::guard_class(cls); });
  refuse_unbuilt_self(m);
}

}  // namespace common
