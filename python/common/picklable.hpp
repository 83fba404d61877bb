// Module functions that pickle can name.
//
// A pickle refers to a function by its module and name.  The functions that
// pybind11 makes are bound to a capsule of their own, which pickle cannot
// save, so a `__reduce__` cannot hand one out as the rebuilding callable.  A
// function made by `def_picklable` is the interpreter's own kind of built-in
// function, bound to its module: pickle saves it as `module.name`.
//
// Usage:  common::def_picklable<&node_from_entries>(m, "_node_from_entries", "doc");
// where `py::object node_from_entries(const py::tuple& args)` receives the
// positional arguments.  C++ exceptions leave as the Python exceptions that
// the module's registered translators make of them.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>

namespace common {

namespace py = pybind11;

template <py::object (*Function)(const py::tuple&)>
void def_picklable(py::module_& m, const char* name, const char* doc) {
  static PyMethodDef definition{
      name,
      [](PyObject*, PyObject* args) -> PyObject* {
        try {
          return Function(py::reinterpret_borrow<py::tuple>(args)).release().ptr();
        } catch (py::error_already_set& e) {
          e.restore();
        } catch (...) {
          if (!py::detail::apply_exception_translators(py::detail::get_local_internals().registered_exception_translators) &&
              !py::detail::apply_exception_translators(py::detail::get_internals().registered_exception_translators))
            PyErr_SetString(PyExc_SystemError, "an unknown C++ exception left a rebuilding function");
        }
        return nullptr;
      },
      METH_VARARGS, doc};
  py::object module_name = m.attr("__name__");
  PyObject* function = PyCFunction_NewEx(&definition, m.ptr(), module_name.ptr());
  if (!function) throw py::error_already_set();
  m.attr(name) = py::reinterpret_steal<py::object>(function);
}

}  // namespace common
