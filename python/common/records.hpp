// One binder for the Python face of the engine's small value types.
//
// A record is a C++ value type (with operator==) that Python sees as a
// frozen dataclass: a constructor taking the fields by position or by name,
// one read-only property per field, `__eq__` (NotImplemented for an object of
// another class), `__hash__`, the text form `Name(field=repr(value), ...)`
// and assignment or deletion refused with dataclasses.FrozenInstanceError.
// Like a dataclass it matches positional patterns (`__match_args__`, the
// fields in order) and copies, deep-copies and pickles (see define_reduce).
//
// Usage, for `struct Literal { bool positive; core::NodePtr atom; ... };`:
//
//   py::class_<Literal> cls(m, "Literal", "A signed atom.");
//   common::bind_record(cls, common::RecordStyle{},
//                       common::constructor([](core::NodePtr atom, bool positive) {
//                         return Literal{positive, std::move(atom)};  // may validate and throw
//                       }),
//                       common::field("atom", &Literal::atom),
//                       common::field("positive", &Literal::positive, true));  // default: True
//   cls.def("negated", ...);  // further methods as usual
//
// - The constructor's parameters take the fields' names, in field order, and
//   the fields' defaults.  Without `common::constructor(...)` the record is
//   built as T{field values...} from parameters of the fields' types.
// - A field reads through a member pointer, a const member function or any
//   callable taking `const T&`; the property returns that value.
// - __hash__ is T::hash() when T has one (engine hashes agree with the
//   interpreter's, see core/pyhash.hpp), else the hash of the tuple of the
//   field values, as a frozen dataclass does.
// - RecordStyle adjusts the rare classes that differ (see there).
// - `Cls.__new__(Cls)` alone is refused (see refuse_bare_new in
//   bindings.hpp); should an object without its C++ value reach a record
//   operation anyway, that operation raises TypeError instead of reading
//   memory that was never built.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/bindings.hpp"

namespace common {

namespace py = pybind11;

struct RecordStyle {
  // False: __eq__ answers False for an object of another class instead of
  // NotImplemented (the comparison then never asks the other operand).
  bool foreign_not_implemented = true;
  // False: __hash__ is None (records that hold mutable parts).
  bool hashable = true;
  // False: fields made with `mutable_field` can be assigned and nothing is frozen.
  bool frozen = true;
  // False: an instance of a Python subclass counts as one of the record's own
  // class: it compares equal to an equal record and its text form carries the
  // record's name.
  bool exact_class = true;
};

// The C++ value behind `self`: TypeError when `self` is not an instance of
// the record's class or when its constructor never ran.
template <typename T>
const T& record_of(py::handle self) {
  return *static_cast<const T*>(built_object_of<T>(self));
}

template <typename T>
T& mutable_record_of(py::handle self) {
  return const_cast<T&>(record_of<T>(self));
}

namespace detail {
struct NoDefault {};
struct NoSetter {};
}  // namespace detail

template <typename Getter, typename Default, typename Setter>
struct Field {
  const char* name;
  Getter get;
  Default default_value;
  Setter set;

  // The constructor parameter named after the field, with its default.
  py::arg arg() const
    requires std::is_same_v<Default, detail::NoDefault>
  {
    return py::arg(name);
  }
  py::arg_v arg() const
    requires(!std::is_same_v<Default, detail::NoDefault>)
  {
    return py::arg_v(name, default_value);
  }

  template <typename T>
  py::object value(const T& record) const {
    decltype(auto) v = std::invoke(get, record);
    if constexpr (std::is_base_of_v<py::handle, std::decay_t<decltype(v)>>) {
      return py::reinterpret_borrow<py::object>(v);
    } else {
      return py::cast(v);
    }
  }
};

// A field read through `get`; the second form gives the constructor default.
template <typename Getter>
auto field(const char* name, Getter get) {
  return Field<Getter, detail::NoDefault, detail::NoSetter>{name, get, {}, {}};
}
template <typename Getter, typename Default>
auto field(const char* name, Getter get, Default default_value) {
  return Field<Getter, Default, detail::NoSetter>{name, get, std::move(default_value), {}};
}
// A field that Python may assign (only with RecordStyle::frozen false);
// `set` takes (T&, py::handle value).
template <typename Getter, typename Setter>
auto mutable_field(const char* name, Getter get, Setter set) {
  return Field<Getter, detail::NoDefault, Setter>{name, get, {}, set};
}
template <typename Getter, typename Setter, typename Default>
auto mutable_field(const char* name, Getter get, Setter set, Default default_value) {
  return Field<Getter, Default, Setter>{name, get, std::move(default_value), set};
}

namespace detail {
// Stores a Python value in a data member: a py::object member takes any
// value; another member takes the value converted as an argument would be,
// else TypeError names the field.
template <auto Member>
struct AssignMember {
  const char* name;
  template <typename T>
  void operator()(T& record, py::handle value) const {
    using Value = std::decay_t<decltype(record.*Member)>;
    if constexpr (std::is_same_v<Value, py::object>) {
      record.*Member = py::reinterpret_borrow<py::object>(value);
    } else {
      py::detail::make_caster<Value> caster;
      if (!caster.load(value, true))
        throw core::TypeError(std::string(name) + " cannot be set to a value of " + class_text(value));
      record.*Member = py::detail::cast_op<Value>(std::move(caster));
    }
  }
};
}  // namespace detail

// A mutable field read and assigned through a data member (see AssignMember).
template <auto Member>
auto member_field(const char* name) {
  return mutable_field(name, Member, detail::AssignMember<Member>{name});
}
template <auto Member, typename Default>
auto member_field(const char* name, Default default_value) {
  return mutable_field(name, Member, detail::AssignMember<Member>{name}, std::move(default_value));
}

template <typename Factory>
struct Constructor {
  Factory make;
};
// The record's constructor: a callable taking the fields in order (typed
// values or py::handle) and returning T or a holder of T.
template <typename Factory>
Constructor<Factory> constructor(Factory make) {
  return {make};
}

namespace detail {

template <typename T>
constexpr bool has_hash_member = requires(const T& t) {
  { t.hash() } -> std::convertible_to<std::int64_t>;
};

template <typename T, typename F>
using field_value_t = std::decay_t<std::invoke_result_t<decltype(std::declval<F>().get), const T&>>;

template <typename T, typename... Fields>
py::tuple field_values(const T& record, const Fields&... fields) {
  return py::make_tuple(fields.value(record)...);
}

// Whether `other` is a record of the same class as `self` (see RecordStyle::exact_class).
template <typename T>
bool same_class(RecordStyle style, py::handle self, py::handle other) {
  if (style.exact_class) return py::type::handle_of(self).is(py::type::handle_of(other));
  return py::isinstance<T>(other);
}

// The class name that the text form of `self` shows.
template <typename T>
std::string class_name(RecordStyle style, py::handle self) {
  py::handle cls = style.exact_class ? py::handle(py::type::handle_of(self)) : py::handle(py::type::of<T>());
  return cls.attr("__qualname__").cast<std::string>();
}

template <typename T, typename... Fields>
std::string record_text(RecordStyle style, py::handle self, const T& record, const Fields&... fields) {
  std::string out = class_name<T>(style, self) + "(";
  bool first = true;
  auto one = [&](const auto& f) {
    if (!first) out += ", ";
    first = false;
    out += std::string(f.name) + "=" + py::repr(f.value(record)).template cast<std::string>();
  };
  (one(fields), ...);
  return out + ")";
}

// Whether a mutable record sets the field after it is built when it is
// copied or unpickled: a field with a default and a setter.  Setting such
// fields last lets a record that links back to itself (a child that names
// its parent) be rebuilt, since the copy exists before its links are filled.
template <typename F>
constexpr bool restored_later = !std::is_same_v<std::decay_t<decltype(F::default_value)>, NoDefault> &&
                                !std::is_same_v<std::decay_t<decltype(F::set)>, NoSetter>;

// copy, deepcopy and pickle: `__reduce__` gives the class of `self` (a Python
// subclass included) and the field values, which the constructor takes by
// position; a mutable record passes its fields with defaults as the state,
// which `__setstate__` assigns.
template <typename Class, typename T, typename... Fields>
void define_reduce(Class& cls, RecordStyle style, const Fields&... fields) {
  const bool later = !style.frozen;
  cls.def("__reduce__", [later, fields...](py::handle self) {
    const T& record = record_of<T>(self);
    py::list args;
    py::dict state;
    auto one = [&](const auto& f) {
      if constexpr (restored_later<std::decay_t<decltype(f)>>) {
        if (later) {
          state[f.name] = f.value(record);
          return;
        }
      }
      args.append(f.value(record));
    };
    (one(fields), ...);
    py::object cls_of_self = py::reinterpret_borrow<py::object>(py::type::handle_of(self));
    if (state.empty()) return py::make_tuple(cls_of_self, py::tuple(args));
    return py::make_tuple(cls_of_self, py::tuple(args), state);
  });
  if constexpr ((restored_later<Fields> || ...)) {
    if (!later) return;
    // (pybind11 would take a function named __setstate__ for a constructor)
    auto restore = [fields...](py::handle self, const py::dict& state) {
      T& record = mutable_record_of<T>(self);
      auto one = [&](const auto& f) {
        if constexpr (restored_later<std::decay_t<decltype(f)>>) {
          if (state.contains(f.name)) std::invoke(f.set, record, py::object(state[f.name]));
        }
      };
      (one(fields), ...);
    };
    cls.attr("__setstate__") = py::cpp_function(restore, py::name("restore_state"), py::is_method(cls));
  }
}

template <typename Class, typename Factory, typename... Fields>
void define_init(Class& cls, const Factory& factory, const Fields&... fields) {
  cls.def(py::init(factory), fields.arg()...);
}

template <typename Class, typename T, typename F>
void define_property(Class& cls, const F& f, bool frozen) {
  auto getter = [f](py::handle self) { return f.value(record_of<T>(self)); };
  if constexpr (std::is_same_v<std::decay_t<decltype(f.set)>, NoSetter>) {
    cls.def_property_readonly(f.name, getter);
  } else {
    if (frozen) {
      cls.def_property_readonly(f.name, getter);
    } else {
      cls.def_property(f.name, getter, [f](py::handle self, py::handle value) {
        std::invoke(f.set, mutable_record_of<T>(self), value);
      });
    }
  }
}

}  // namespace detail

// Defines the record's constructor, properties, __eq__, __hash__, __repr__
// and (by default) freezes it.
template <typename Class, typename Factory, typename... Fields>
Class& bind_record(Class& cls, RecordStyle style, const Constructor<Factory>& make, const Fields&... fields) {
  using T = typename Class::type;
  detail::define_init(cls, make.make, fields...);
  (detail::define_property<Class, T>(cls, fields, style.frozen), ...);
  cls.def("__eq__", [style](py::handle self, py::handle other) -> py::object {
    const T& a = record_of<T>(self);
    if (!detail::same_class<T>(style, self, other))
      return style.foreign_not_implemented ? py::reinterpret_borrow<py::object>(Py_NotImplemented)
                                           : py::object(py::bool_(false));
    return py::bool_(a == record_of<T>(other));
  });
  if (style.hashable) {
    cls.def("__hash__", [fields...](py::handle self) -> py::int_ {
      const T& record = record_of<T>(self);
      if constexpr (detail::has_hash_member<T>) {
        return py::int_(static_cast<std::int64_t>(record.hash()));
      } else {
        return py::int_(py::hash(detail::field_values(record, fields...)));
      }
    });
  } else {
    cls.attr("__hash__") = py::none();
  }
  cls.def("__repr__", [style, fields...](py::handle self) {
    return detail::record_text(style, self, record_of<T>(self), fields...);
  });
  // positional match patterns, `case Literal(atom, positive)`, as on a dataclass
  cls.attr("__match_args__") = py::make_tuple(py::str(fields.name)...);
  detail::define_reduce<Class, T>(cls, style, fields...);
  if (style.frozen) freeze(cls);
  return cls;
}

// copy, deepcopy and pickle for a plain object (not a record): it is rebuilt
// by calling its class with the values of the named attributes, which are
// the constructor's parameters in order; the instance dictionary of a class
// with dynamic attributes comes along as the state.
template <typename Class>
Class& bind_rebuilt_from(Class& cls, std::vector<const char*> attributes) {
  cls.def("__reduce__", [attributes](py::handle self) {
    py::tuple args(attributes.size());
    for (std::size_t i = 0; i < attributes.size(); ++i) args[i] = self.attr(attributes[i]);
    py::object cls_of_self = py::reinterpret_borrow<py::object>(py::type::handle_of(self));
    if (py::hasattr(self, "__dict__") && py::len(self.attr("__dict__")) > 0)
      return py::make_tuple(cls_of_self, args, py::dict(self.attr("__dict__")));
    return py::make_tuple(cls_of_self, args);
  });
  return cls;
}

// The same, built as T{field values...}.
template <typename Class, typename... Getters, typename... Defaults, typename... Setters>
Class& bind_record(Class& cls, RecordStyle style, const Field<Getters, Defaults, Setters>&... fields) {
  using T = typename Class::type;
  auto make = [](detail::field_value_t<T, Field<Getters, Defaults, Setters>>... values) {
    return T{std::move(values)...};
  };
  return bind_record(cls, style, constructor(make), fields...);
}

}  // namespace common
