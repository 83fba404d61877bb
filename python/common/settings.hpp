// Settings of the provers read from Python: counts (steps, depths, worlds,
// multiplicities) and numbers of seconds.
//
// One rule holds for every setting: a count is an int, a number of seconds
// is an int or a float, and a bool is neither (True given as a bound is a
// slip, not 1).  Any other value raises TypeError naming the setting:
// "max_steps must be an integer, got <class 'bool'>", "timeout_sec must be a
// number, got <class 'str'>".  What happens to a value outside a setting's
// range is the setting's own, and the binding picks the reader that gives it:
//
//   count_in_use        any int; beyond 64 bits the nearest 64-bit value
//   count_at_least_one  below 1 read as 1; beyond 64 bits the largest count
//   count_setting       the Python int itself, raised to 1, of any size
//   exact_count         any int; beyond 64 bits OverflowError
//   seconds_in_use      the number as a double (OverflowError for an int too
//                       large for a float)
//   seconds_setting     the number as a Python float, raised to 0.1 (NaN too)
#pragma once

#include "common/bindings.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace common {

// Refuses with TypeError any value that is not a count.
inline void require_count(py::handle value, const char* what) {
  if (!py::isinstance<py::int_>(value) || py::isinstance<py::bool_>(value))
    throw core::TypeError(std::string(what) + " must be an integer, got " + class_text(value));
}

// Refuses with TypeError any value that is not a number of seconds.
inline void require_seconds(py::handle value, const char* what) {
  if (py::isinstance<py::bool_>(value) || !(py::isinstance<py::int_>(value) || py::isinstance<py::float_>(value)))
    throw core::TypeError(std::string(what) + " must be a number, got " + class_text(value));
}

inline std::int64_t count_in_use(py::handle value, const char* what) {
  require_count(value, what);
  int overflow = 0;
  long long count = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (overflow > 0) return std::numeric_limits<std::int64_t>::max();
  if (overflow < 0) return std::numeric_limits<std::int64_t>::min();
  if (count == -1 && PyErr_Occurred()) throw py::error_already_set();
  return count;
}

inline std::int64_t count_at_least_one(py::handle value, const char* what) {
  return std::max<std::int64_t>(count_in_use(value, what), 1);
}

inline py::object count_setting(py::handle value, const char* what) {
  require_count(value, what);
  int below = PyObject_RichCompareBool(value.ptr(), py::int_(1).ptr(), Py_LT);
  if (below < 0) throw py::error_already_set();
  if (below) return py::int_(1);
  return py::reinterpret_borrow<py::object>(value);
}

inline std::int64_t exact_count(py::handle value, const char* what) {
  require_count(value, what);
  return int64_from_py(value, what);
}

inline double seconds_in_use(py::handle value, const char* what) {
  require_seconds(value, what);
  double seconds = PyFloat_AsDouble(value.ptr());
  if (seconds == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return seconds;
}

inline py::object seconds_setting(py::handle value, const char* what) {
  double seconds = seconds_in_use(value, what);
  return py::float_(std::isnan(seconds) || seconds < 0.1 ? 0.1 : seconds);
}

}  // namespace common
