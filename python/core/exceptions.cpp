// core.exceptions: the error classes of the library, and the translation of
// the engine's C++ exceptions into them (and into the builtin errors).
#include "common/bindings.hpp"
#include "core/exceptions.hpp"
#include "core/interrupt.hpp"
#include "core/sorts.hpp"

namespace py = pybind11;

namespace {

// Class objects live as long as the process: the translator may run at any time.
py::handle g_invalid_formula, g_unification, g_sort_mismatch;

void set_error(py::handle cls, const char* message) {
  if (*message)
    PyErr_SetString(cls.ptr(), message);
  else
    PyErr_SetNone(cls.ptr());
}

// The engine's interrupt check: runs the interpreter's signal handlers
// (Ctrl-C raises KeyboardInterrupt there) and says stop when one raised.
// It takes the interpreter lock itself, since searches run without it.
bool python_interrupt_check() {
  PyGILState_STATE state = PyGILState_Ensure();
  bool stop = PyErr_CheckSignals() != 0;
  PyGILState_Release(state);
  return stop;
}

void translate(std::exception_ptr p) {
  try {
    if (p) std::rethrow_exception(p);
  } catch (const core::Interrupted&) {
    // The signal handler's exception is already pending; keep it.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const core::SortMismatchError& e) {
    py::object exc = py::reinterpret_borrow<py::object>(g_sort_mismatch)(
        e.what(), py::arg("expected_sort") = py::cast(e.expected_sort), py::arg("actual_sort") = py::cast(e.actual_sort));
    PyErr_SetObject(g_sort_mismatch.ptr(), exc.ptr());
  } catch (const core::UnificationError& e) {
    set_error(g_unification, e.what());
  } catch (const core::InvalidFormulaError& e) {
    set_error(g_invalid_formula, e.what());
  } catch (const core::TypeError& e) {
    set_error(PyExc_TypeError, e.what());
  } catch (const core::ValueError& e) {
    set_error(PyExc_ValueError, e.what());
  } catch (const core::NotImplementedError& e) {
    set_error(PyExc_NotImplementedError, e.what());
  } catch (const core::RecursionDepthError& e) {
    set_error(PyExc_RecursionError, e.what());
  } catch (const core::AssertionFailure&) {
    PyErr_SetNone(PyExc_AssertionError);
  }
}

}  // namespace

PYBIND11_MODULE(exceptions, m) {
  m.doc() = "Exception classes of the core.";
  common::refuse_bare_new();
  auto invalid = py::exception<core::InvalidFormulaError>(m, "InvalidFormulaError", PyExc_Exception);
  invalid.attr("__doc__") = "Raised when a term or formula is malformed or unsupported.";
  auto unification = py::exception<core::UnificationError>(m, "UnificationError", PyExc_Exception);
  unification.attr("__doc__") = "Raised when two terms or atoms cannot be unified.";
  auto mismatch = py::exception<core::SortMismatchError>(m, "SortMismatchError", unification.ptr());
  mismatch.attr("__doc__") = "Raised when two sorts are incompatible; carries expected_sort and actual_sort.";

  py::object base_init = unification.attr("__init__");
  mismatch.attr("__init__") = py::cpp_function(
      [base_init](py::object self, py::object message, py::object expected_sort, py::object actual_sort) {
        base_init(self, message);
        self.attr("expected_sort") = expected_sort;
        self.attr("actual_sort") = actual_sort;
      },
      py::is_method(mismatch), py::arg("message"), py::kw_only(),
      py::arg("expected_sort") = py::none(), py::arg("actual_sort") = py::none());

  g_invalid_formula = invalid.inc_ref();
  g_unification = unification.inc_ref();
  g_sort_mismatch = mismatch.inc_ref();
  py::register_exception_translator(&translate);
  core::set_interrupt_check(&python_interrupt_check);
}
