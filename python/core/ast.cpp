// core.ast: the syntax-tree classes and the tree functions.
//
// Every constructor validates its input in the order the engine fixes
// (symbol, arity, argument count, hashability, argument kinds) and raises
// InvalidFormulaError or TypeError with a clear message; no Python value can
// reach the engine unchecked.  Node classes may be subclassed in Python: an
// instance of a subclass holds the engine node its base's constructor built,
// so it counts as a node of its base class everywhere a class is tested;
// two nodes are equal only when their classes are the same.
#include "common/bindings.hpp"
#include "common/picklable.hpp"
#include "core/ast.hpp"

#include <unordered_map>

namespace py = pybind11;
using namespace core;

namespace {

py::object g_variable_kind;  // the VariableKind enum class

py::object kind_to_py(VariableKind k) { return g_variable_kind.attr(variable_kind_name(k)); }

VariableKind kind_from_py(py::handle obj) {
  if (!py::isinstance(obj, g_variable_kind))
    throw core::TypeError("Variable kind must be a VariableKind, got " + common::class_text(obj));
  std::string name = obj.attr("name").cast<std::string>();
  if (name == "PREDICATE") return VariableKind::PREDICATE;
  if (name == "FUNCTION") return VariableKind::FUNCTION;
  return VariableKind::INDIVIDUAL;
}

SortPtr sort_from_py(py::handle obj) {
  if (!py::isinstance<Sort>(obj)) throw core::TypeError("sort must be a Sort, got " + common::class_text(obj));
  return obj.cast<SortPtr>();
}

bool symbol_variables_registered() { return py::detail::get_type_info(typeid(SymbolVariable)) != nullptr; }

// A symbol of an application: a string, a symbol variable of sol.ast_ext, or
// any other object with `index` and `arity`, which is taken over as a
// symbol variable with those values and its `name` (or its text).
Symbol symbol_from_py(py::handle obj, SymbolVariable::Kind kind) {
  bool predicate = kind == SymbolVariable::Kind::Predicate;
  if (py::isinstance<py::str>(obj)) return Symbol(common::string_from_py(obj, predicate ? "PredicateApp pred" : "FunctionApp func"));
  if (symbol_variables_registered() && py::isinstance<SymbolVariable>(obj))
    return Symbol(obj.cast<SymbolVariablePtr>());
  if (!py::hasattr(obj, "index") || !py::hasattr(obj, "arity"))
    throw InvalidFormulaError(std::string(predicate ? "Predicate" : "Function") + " symbol must be str or " +
                              (predicate ? "PredicateVariable" : "FunctionVariable") + ", got " +
                              common::class_text(obj) + ".");
  py::module_::import("sol.ast_ext");  // so the symbol can be read back as a Python object
  auto as_int = [](py::handle v) { return py::isinstance<py::int_>(v) ? v.cast<std::int64_t>() : -1; };
  std::string text = py::str(obj);
  std::string name = py::hasattr(obj, "name") ? std::string(py::str(obj.attr("name"))) : text;
  return Symbol(std::make_shared<const SymbolVariable>(kind, as_int(obj.attr("index")), as_int(obj.attr("arity")),
                                                       std::move(name), std::move(text)));
}

py::object symbol_to_py(const Symbol& s) {
  if (s.is_name()) return py::str(s.name());
  return py::cast(s.variable());
}

// Arguments of an application, checked in the order of the node's
// construction: count first (by the caller), then hashability, then kinds.
std::vector<NodePtr> args_from_py(py::handle args) {
  py::hash(args);  // a list is refused here with the interpreter's "unhashable type" error
  std::vector<NodePtr> out;
  for (auto item : py::iter(args)) out.push_back(common::to_node(item));
  return out;
}

py::tuple args_to_py(const std::vector<NodePtr>& args) {
  py::tuple out(args.size());
  for (std::size_t i = 0; i < args.size(); ++i) out[i] = py::cast(args[i]);
  return out;
}

std::string bounded_repr(const Node& self) {
  core::require_printable(self);
  return repr(self);
}

// Shared methods of every node class: equality, hash, text form, frozen fields.
template <typename Class>
void node_protocol(Class& cls) {
  cls.def(
         "__eq__",
         [](py::handle self, py::handle other) {
           if (Py_TYPE(self.ptr()) != Py_TYPE(other.ptr())) return false;  // equality is of one class
           return equal(common::to_node(self), common::to_node(other));
         },
         py::is_operator())
      .def("__hash__", [](const Node& self) { return self.hash(); })
      .def("__repr__", &bounded_repr)
      .def("__str__", &bounded_repr)
      .def_property_readonly("_hash_cache", [](const Node& self) { return self.hash(); });
  common::freeze(cls);
}

// Foreign objects that the tree functions accept besides nodes: records
// carrying a free-variable cache, and second-order quantifiers of any module
// recognised by their class name.
bool is_second_order_name(py::handle obj) {
  std::string name = py::type::handle_of(obj).attr("__name__").cast<std::string>();
  return name == "ForallPred" || name == "ExistsPred" || name == "ForallFunc" || name == "ExistsFunc";
}

[[noreturn]] void unsupported(py::handle obj, const char* prefix) {
  throw InvalidFormulaError(prefix + common::class_text(obj));
}

py::set py_free_variables(py::handle node) {
  if (py::isinstance<Node>(node)) return common::to_py_set(free_variables(common::to_node(node)));
  if (py::hasattr(node, "_free_vars") && !node.attr("_free_vars").is_none())
    return py::set(node.attr("_free_vars"));
  if (is_second_order_name(node)) return py_free_variables(node.attr("body"));
  unsupported(node, "Unsupported AST node type: ");
}

py::set py_bound_variables(py::handle node) {
  if (py::isinstance<Node>(node)) return common::to_py_set(bound_variables(*common::to_node(node)));
  if (is_second_order_name(node)) return py_bound_variables(node.attr("body"));
  unsupported(node, "Unsupported AST node type: ");
}

std::int64_t py_formula_depth(py::handle f) {
  if (py::isinstance<Node>(f)) return formula_depth(*common::to_node(f));
  if (is_second_order_name(f)) return 1 + py_formula_depth(f.attr("body"));
  unsupported(f, "Expected Formula, got ");
}

// The count as a Python int, beyond 64 bits when a shared tree needs it.
py::object py_formula_size(py::handle f) {
  if (py::isinstance<Node>(f)) {
    core::NodeCount count = core::formula_size_exact(*common::to_node(f));
    if (count.fits_int64()) return py::int_(count.to_int64());
    return py::reinterpret_steal<py::object>(PyLong_FromString(count.decimal().c_str(), nullptr, 10));
  }
  if (is_second_order_name(f)) return py::int_(1) + py_formula_size(f.attr("body"));
  unsupported(f, "Expected Formula, got ");
}

py::object py_canonicalize(py::handle f) {
  if (py::isinstance<Node>(f)) return py::cast(canonicalize_bound_variables(common::to_node(f)));
  py_free_variables(f);  // refuses what the free-variable function refuses
  if (is_second_order_name(f))
    return py::type::handle_of(f)(py::arg("variable") = f.attr("variable"),
                                  py::arg("body") = py_canonicalize(f.attr("body")));
  unsupported(f, "Unsupported Formula node: ");
}

void set_class_hash(pyhash::ClassSlot slot, const py::handle& cls) {
  pyhash::set_class_hash(slot, static_cast<pyhash::hash_t>(py::hash(cls)));
}

// Binds the class of the formulas of kind K, which have two fields
// (`first` and `second`, read by the getters) and are built by `Base::make`.
template <typename T, typename Base, NodeKind K, auto First, auto Second>
void bind_two_field_formula(py::module_& m, const char* name, const char* doc, const char* first, const char* second) {
  py::class_<T, Formula, std::shared_ptr<T>> cls(m, name, doc);
  cls.def(py::init([](NodePtr a, NodePtr b) {
            return std::const_pointer_cast<T>(std::static_pointer_cast<const T>(Base::make(K, std::move(a), std::move(b))));
          }),
          py::arg(first), py::arg(second))
      .def_property_readonly(first, First)
      .def_property_readonly(second, Second);
  node_protocol(cls);
  set_class_hash(static_cast<pyhash::ClassSlot>(static_cast<int>(K)), cls);
}

template <NodeKind K>
void bind_binary(py::module_& m, const char* name, const char* doc) {
  bind_two_field_formula<BinaryNode<K>, BinaryFormula, K, &BinaryFormula::left, &BinaryFormula::right>(m, name, doc,
                                                                                                       "left", "right");
}

template <NodeKind K>
void bind_quantifier(py::module_& m, const char* name, const char* doc) {
  bind_two_field_formula<QuantifierNode<K>, Quantifier, K, &Quantifier::variable, &Quantifier::body>(m, name, doc,
                                                                                                      "variable", "body");
}

// ---------------------------------------------------------------------------
// Copies and pickles
// ---------------------------------------------------------------------------
// A node is an immutable value: copy and deepcopy return the node itself.  A
// pickle holds the node's distinct subnodes, each once and after its
// children, as entries (class, arguments, keyword arguments, links), where
// `links` lists the positions of the arguments that refer to earlier entries
// by number (a number, or a tuple of numbers for an application's arguments).
// The root's entry carries the class of the node pickled, so an instance of
// a Python subclass comes back as one.  Rebuilding is one loop over the
// entries, so a formula nested 10^5 deep and a graph shared so heavily that
// its unfolded tree could never be written out pickle as their distinct nodes.
py::handle node_class(NodeKind kind) {
  switch (kind) {
    case NodeKind::Variable: return py::type::of<Variable>();
    case NodeKind::Constant: return py::type::of<Constant>();
    case NodeKind::FunctionApp: return py::type::of<FunctionApp>();
    case NodeKind::PredicateApp: return py::type::of<PredicateApp>();
    case NodeKind::Equality: return py::type::of<Equality>();
    case NodeKind::Not: return py::type::of<Not>();
    case NodeKind::And: return py::type::of<And>();
    case NodeKind::Or: return py::type::of<Or>();
    case NodeKind::Implies: return py::type::of<Implies>();
    case NodeKind::Iff: return py::type::of<Iff>();
    case NodeKind::Forall: return py::type::of<Forall>();
    case NodeKind::Exists: return py::type::of<Exists>();
    case NodeKind::ForallPred: return py::type::of<ForallPred>();
    case NodeKind::ExistsPred: return py::type::of<ExistsPred>();
    case NodeKind::ForallFunc: return py::type::of<ForallFunc>();
    default: return py::type::of<ExistsFunc>();
  }
}

using EntryIndex = std::unordered_map<const Node*, std::size_t>;

// The entry of one node whose children already have their numbers.
py::tuple node_entry(const Node& n, const EntryIndex& index, py::handle cls) {
  auto at = [&](const NodePtr& child) { return py::int_(index.at(child.get())); };
  py::dict kwargs;
  py::tuple args, links;
  switch (n.kind()) {
    case NodeKind::Variable: {
      const auto& v = as<Variable>(n);
      args = py::make_tuple(v.id(), kind_to_py(v.var_kind()));
      kwargs["sort"] = v.sort();
      break;
    }
    case NodeKind::Constant:
      args = py::make_tuple(as<Constant>(n).name());
      kwargs["sort"] = as<Constant>(n).sort();
      break;
    case NodeKind::FunctionApp:
    case NodeKind::PredicateApp: {
      const Application& a = *as_application(n);
      py::tuple numbers(a.args().size());
      for (std::size_t i = 0; i < a.args().size(); ++i) numbers[i] = at(a.args()[i]);
      if (n.kind() == NodeKind::FunctionApp)
        args = py::make_tuple(symbol_to_py(a.symbol()), a.arity(), numbers, as<FunctionApp>(n).return_sort());
      else
        args = py::make_tuple(symbol_to_py(a.symbol()), a.arity(), numbers);
      links = py::make_tuple(2);
      break;
    }
    case NodeKind::Not:
      args = py::make_tuple(at(as<Not>(n).operand()));
      links = py::make_tuple(0);
      break;
    default:
      if (is_second_order(n.kind())) {
        const auto& q = as<SecondOrderQuantifier>(n);
        args = py::make_tuple(py::cast(q.variable()), at(q.body()));
        links = py::make_tuple(1);
      } else {
        std::vector<py::object> sides;
        for_each_child(n, [&](const auto& child) { sides.push_back(at(child)); });
        args = py::make_tuple(sides[0], sides[1]);
        links = py::make_tuple(0, 1);
      }
  }
  return py::make_tuple(py::reinterpret_borrow<py::object>(cls), args, kwargs, links);
}

// The entries of `root` and its distinct subnodes, children first.
py::tuple node_entries(const Node& root, py::handle root_class) {
  EntryIndex index;
  py::list entries;
  std::vector<std::pair<const Node*, bool>> stack{{&root, false}};
  while (!stack.empty()) {
    auto [n, expanded] = stack.back();
    if (index.count(n)) {
      stack.pop_back();
      continue;
    }
    if (!expanded) {
      stack.back().second = true;
      for_each_child(*n, [&](const auto& child) {
        if (!index.count(child.get())) stack.emplace_back(child.get(), false);
      });
      continue;
    }
    stack.pop_back();
    entries.append(node_entry(*n, index, n == &root ? root_class : node_class(n->kind())));
    index.emplace(n, index.size());
  }
  return py::tuple(entries);
}

py::tuple reduce_node(py::handle self) {
  const Node& node = *py::cast<NodePtr>(self);
  py::object rebuild = py::module_::import("core.ast").attr("_node_from_entries");
  return py::make_tuple(rebuild, py::make_tuple(node_entries(node, py::type::handle_of(self))));
}

// Builds the entries in order by calling their classes; returns the last.
py::object node_from_entries(const py::tuple& arguments) {
  if (arguments.size() != 1 || !py::isinstance<py::tuple>(arguments[0]))
    throw core::TypeError("_node_from_entries takes one tuple of entries");
  auto entries = arguments[0].cast<py::tuple>();
  std::vector<py::object> built;
  built.reserve(entries.size());
  auto earlier = [&](py::handle number) {
    std::size_t i = number.cast<std::size_t>();
    if (i >= built.size()) throw core::ValueError("a pickled node refers to a node that is not built before it");
    return built[i];
  };
  for (py::handle item : entries) {
    auto entry = item.cast<py::tuple>();
    if (entry.size() != 4) throw core::ValueError("a pickled node entry has four members");
    py::list args(entry[1]);
    for (py::handle position : entry[3].cast<py::tuple>()) {
      py::object value = args[position];
      if (py::isinstance<py::tuple>(value)) {
        py::tuple nodes(py::len(value));
        std::size_t k = 0;
        for (py::handle number : value) nodes[k++] = earlier(number);
        args[position] = nodes;
      } else {
        args[position] = earlier(value);
      }
    }
    built.push_back(entry[0](*py::tuple(args), **entry[2].cast<py::dict>()));
  }
  if (built.empty()) throw core::ValueError("a pickled node has no entries");
  return built.back();
}

// Positional match patterns (`case Implies(a, b)`): the constructor's
// positional parameters, in order, as a dataclass has them.
void set_match_args(py::module_& m) {
  const std::vector<std::pair<const char*, std::vector<const char*>>> classes{
      {"Variable", {"id", "kind"}},        {"Constant", {"name"}},
      {"FunctionApp", {"func", "arity", "args", "return_sort"}},
      {"PredicateApp", {"pred", "arity", "args"}},
      {"Equality", {"left", "right"}},     {"Not", {"operand"}},
      {"And", {"left", "right"}},          {"Or", {"left", "right"}},
      {"Implies", {"left", "right"}},      {"Iff", {"left", "right"}},
      {"Forall", {"variable", "body"}},    {"Exists", {"variable", "body"}}};
  for (const auto& [name, fields] : classes) {
    py::tuple names(fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) names[i] = py::str(fields[i]);
    m.attr(name).attr("__match_args__") = names;
  }
}

}  // namespace

PYBIND11_MODULE(ast, m) {
  m.doc() = "Abstract Syntax Tree (AST) definitions for First-Order Logic terms and formulas.";
  common::refuse_bare_new();
  // Docstrings are the functions' own texts, without a generated signature line.
  py::options options;
  options.disable_function_signatures();
  py::module_::import("core.exceptions");
  py::module_ sorts = py::module_::import("core.sorts");
  py::object ind = sorts.attr("Ind");

  g_variable_kind = common::make_string_enum(m, "VariableKind", "Distinguishes variable usage in logic expressions.",
                                             {{"INDIVIDUAL", "INDIVIDUAL"},
                                              {"PREDICATE", "PREDICATE"},
                                              {"FUNCTION", "FUNCTION"}});
  g_variable_kind.inc_ref();
  py::object individual = g_variable_kind.attr("INDIVIDUAL");

  py::class_<Node, std::shared_ptr<Node>>(m, "_Node", "Common base of the node classes.")
      .def("__reduce__", &reduce_node)
      .def("__copy__", [](py::object self) { return self; })
      .def("__deepcopy__", [](py::object self, py::handle) { return self; }, py::arg("memo"));
  py::class_<Term, Node, std::shared_ptr<Term>> term(m, "Term", "Abstract Base Class for all term AST nodes.");
  term.def_property_readonly("sort", &Term::sort);
  py::class_<Formula, Node, std::shared_ptr<Formula>>(m, "Formula", "Abstract Base Class for all formula AST nodes.");

  py::class_<Variable, Term, std::shared_ptr<Variable>> variable(
      m, "Variable", "Represents an individual variable v_id with an integer index, sort, and kind.");
  variable
      .def(py::init([](py::handle id, py::handle kind, py::handle sort) {
             return std::const_pointer_cast<Variable>(
                 Variable::make(common::int64_from_py(id, "Variable id"), kind_from_py(kind), sort_from_py(sort)));
           }),
           py::arg("id"), py::arg("kind") = individual, py::kw_only(), py::arg("sort") = ind)
      .def_property_readonly("id", &Variable::id)
      .def_property_readonly("kind", [](const Variable& v) { return kind_to_py(v.var_kind()); });
  node_protocol(variable);

  py::class_<Constant, Term, std::shared_ptr<Constant>> constant(
      m, "Constant", "Represents a constant symbol c_name with a sort annotation.");
  constant
      .def(py::init([](py::handle name, py::handle sort) {
             return std::const_pointer_cast<Constant>(
                 Constant::make(common::string_from_py(name, "Constant name"), sort_from_py(sort)));
           }),
           py::arg("name"), py::kw_only(), py::arg("sort") = ind)
      .def_property_readonly("name", &Constant::name);
  node_protocol(constant);

  py::class_<FunctionApp, Term, std::shared_ptr<FunctionApp>> function_app(
      m, "FunctionApp", "Represents function application f(t_1, ..., t_k).");
  function_app
      .def(py::init([](py::handle func, py::handle arity, py::handle args, py::handle return_sort, py::handle) {
             Symbol symbol = symbol_from_py(func, SymbolVariable::Kind::Function);
             std::int64_t n = common::int64_from_py(arity, "Function arity");
             check_function_app(symbol, n, py::len(args));
             SortPtr rs = sort_from_py(return_sort);
             return std::const_pointer_cast<FunctionApp>(FunctionApp::make(symbol, n, args_from_py(args), rs));
           }),
           py::arg("func"), py::arg("arity"), py::arg("args"), py::arg("return_sort") = ind, py::kw_only(),
           py::arg("sort") = ind)
      .def_property_readonly("func", [](const FunctionApp& f) { return symbol_to_py(f.func()); })
      .def_property_readonly("arity", &FunctionApp::arity)
      .def_property_readonly("args", [](const FunctionApp& f) { return args_to_py(f.args()); })
      .def_property_readonly("return_sort", &FunctionApp::return_sort)
      .def_property_readonly("_free_vars",
                             [](const FunctionApp& f) { return common::to_py_frozenset(*f.free_vars()); });
  node_protocol(function_app);

  py::class_<PredicateApp, Formula, std::shared_ptr<PredicateApp>> predicate_app(
      m, "PredicateApp", "Represents predicate application P(t_1, ..., t_k).");
  predicate_app
      .def(py::init([](py::handle pred, py::handle arity, py::handle args) {
             Symbol symbol = symbol_from_py(pred, SymbolVariable::Kind::Predicate);
             std::int64_t n = common::int64_from_py(arity, "Predicate arity");
             check_predicate_app(symbol, n, py::len(args));
             return std::const_pointer_cast<PredicateApp>(PredicateApp::make(symbol, n, args_from_py(args)));
           }),
           py::arg("pred"), py::arg("arity"), py::arg("args"))
      .def_property_readonly("pred", [](const PredicateApp& p) { return symbol_to_py(p.pred()); })
      .def_property_readonly("arity", &PredicateApp::arity)
      .def_property_readonly("args", [](const PredicateApp& p) { return args_to_py(p.args()); })
      .def_property_readonly("_free_vars",
                             [](const PredicateApp& p) { return common::to_py_frozenset(*p.free_vars()); });
  node_protocol(predicate_app);

  py::class_<Equality, Formula, std::shared_ptr<Equality>> equality(m, "Equality",
                                                                    "Represents term equality t_1 = t_2.");
  equality
      .def(py::init([](py::handle left, py::handle right) {
             py::hash(left);
             py::hash(right);
             NodePtr l = common::to_node(left);
             return std::const_pointer_cast<Equality>(Equality::make(l, common::to_node(right)));
           }),
           py::arg("left"), py::arg("right"))
      .def_property_readonly("left", &Equality::left)
      .def_property_readonly("right", &Equality::right)
      .def_property_readonly("_free_vars", [](const Equality& e) { return common::to_py_frozenset(*e.free_vars()); });
  node_protocol(equality);

  py::class_<Not, Formula, std::shared_ptr<Not>> negation(m, "Not",
                                                          "Represents logical negation ~operand.");
  negation
      .def(py::init([](NodePtr operand) { return std::const_pointer_cast<Not>(Not::make(std::move(operand))); }),
           py::arg("operand"))
      .def_property_readonly("operand", &Not::operand);
  node_protocol(negation);

  bind_binary<NodeKind::And>(m, "And", "Represents logical conjunction left & right.");
  bind_binary<NodeKind::Or>(m, "Or", "Represents logical disjunction left | right.");
  bind_binary<NodeKind::Implies>(m, "Implies", "Represents logical implication left => right.");
  bind_binary<NodeKind::Iff>(m, "Iff", "Represents logical equivalence left <=> right.");
  bind_quantifier<NodeKind::Forall>(m, "Forall", "Represents universal quantification forall variable. body.");
  bind_quantifier<NodeKind::Exists>(m, "Exists", "Represents existential quantification exists variable. body.");

  set_class_hash(pyhash::ClassSlot::Variable, variable);
  set_class_hash(pyhash::ClassSlot::Constant, constant);
  set_class_hash(pyhash::ClassSlot::FunctionApp, function_app);
  set_class_hash(pyhash::ClassSlot::PredicateApp, predicate_app);
  set_class_hash(pyhash::ClassSlot::Equality, equality);
  set_class_hash(pyhash::ClassSlot::Not, negation);

  m.def("free_variables", &py_free_variables, py::arg("node"),
        "Returns the set of free individual variables present in a term or formula AST node.");
  m.def("bound_variables", &py_bound_variables, py::arg("node"),
        "Returns the set of bound variables introduced by quantifiers in a formula AST node.");
  m.def("formula_depth", &py_formula_depth, py::arg("formula"),
        "Computes the maximum height/depth of the formula AST.\n\nLeaf formula nodes (PredicateApp, Equality) have "
        "depth 1.");
  m.def("formula_size", &py_formula_size, py::arg("formula"),
        "Computes the total number of AST nodes (both Formula and Term nodes) in a formula tree.");
  m.def("canonicalize_bound_variables", &py_canonicalize, py::arg("formula"),
        "Performs canonical alpha-conversion of bound variables in a formula.\n\n"
        "Renaming a result again gives an equal formula; two alpha-equivalent formulas give equal results; the "
        "free variables of the result are those of the argument.  Bound variables are numbered 0, 1, 2, ... in the "
        "order in which their quantifiers occur, skipping the identifiers of the free variables.");
  set_match_args(m);
  common::def_picklable<&node_from_entries>(m, "_node_from_entries",
                                            "Rebuilds a pickled node from its entries (see the node's __reduce__).");
  common::refuse_none_self(m);
}
