// core.substitutions: capture-avoiding substitution, composition of
// substitutions and unification of terms and atomic formulas.
//
// A substitution crosses the boundary as a dictionary from Variable to term.
// It is read into the engine's insertion-ordered mapping (the dictionary's
// order is kept) and results come back as new dictionaries; the caller's
// dictionary is never modified.
#include "common/bindings.hpp"
#include "core/substitutions.hpp"
#include "core/visitor_bindings.hpp"

namespace py = pybind11;
namespace vb = visitor_bindings;
using core::NodePtr;
using core::Substitution;

namespace {

Substitution substitution_from_py(py::handle mapping) { return vb::variable_mapping_from_py(mapping); }

using common::substitution_to_py;

// substitute_term and substitute_formula: the sorts are checked first, an
// empty mapping hands back the argument itself, whatever it is.
template <NodePtr (*Apply)(const NodePtr&, const Substitution&)>
py::object substitute_py(py::object node, py::handle mapping) {
  Substitution subst = substitution_from_py(mapping);
  if (!py::isinstance<core::Node>(node)) {
    core::validate_mapping_sorts(subst);
    if (subst.empty()) return node;
    core::unsupported_node(vb::type_name_of(node));
  }
  return py::cast(Apply(node.cast<NodePtr>(), subst));
}

core::VariablePtr variable_from_py(py::handle obj, const char* what) {
  if (!py::isinstance<core::Variable>(obj))
    throw core::TypeError(std::string(what) + " must be a Variable, got " + common::class_text(obj));
  return obj.cast<core::VariablePtr>();
}

// ---------------------------------------------------------------------------
// SubstitutionTransformer
// ---------------------------------------------------------------------------
using core::SubstitutionTransformer;

// The transformer keeps the caller's mapping object as its attribute
// `mapping` and reads it afresh each time it is entered from Python, so a
// change made to the dictionary between walks is seen; the walk itself never
// writes to it.
void reload_mapping(py::handle self, SubstitutionTransformer& walker) {
  walker.set_mapping(std::make_shared<const Substitution>(substitution_from_py(self.attr("mapping"))));
}

struct ReloadMapping {
  void operator()(py::handle self, SubstitutionTransformer& walker) const { reload_mapping(self, walker); }
};

// The walker behind `self`, its overrides and mapping read afresh.
struct Entered {
  explicit Entered(py::handle self) : entry(self, ReloadMapping{}) {}
  SubstitutionTransformer* operator->() { return &entry.walker; }
  vb::Entry<SubstitutionTransformer> entry;
};

core::NodeKind quantifier_kind(py::handle constructor) {
  py::module_ ast = py::module_::import("core.ast");
  if (constructor.is(ast.attr("Forall"))) return core::NodeKind::Forall;
  if (constructor.is(ast.attr("Exists"))) return core::NodeKind::Exists;
  throw core::TypeError("constructor must be Forall or Exists, got " + py::repr(constructor).cast<std::string>());
}

py::object quantifier_class(core::NodeKind kind) {
  return py::module_::import("core.ast").attr(kind == core::NodeKind::Forall ? "Forall" : "Exists");
}

// A Python subclass of the transformer: besides the visit operations, its
// overrides of the three quantifier steps are called wherever the walk
// takes these steps.
class SubstitutionTrampoline final : public vb::Trampoline<SubstitutionTransformer> {
 public:
  using vb::Trampoline<SubstitutionTransformer>::Trampoline;

  NodePtr handle_quantifier(const core::VariablePtr& bound_var, const NodePtr& body,
                            core::NodeKind constructor) override {
    if (!wants(kHandleQuantifier)) return SubstitutionTransformer::handle_quantifier(bound_var, body, constructor);
    py::object result = self().attr(kStepNames[kHandleQuantifier])(bound_var, body, quantifier_class(constructor));
    return vb::Result<NodePtr>::from_py(result, kStepNames[kHandleQuantifier], *this);
  }

  core::VariablePtr generate_fresh_variable(const core::VariablePtr& base_var, const core::VarSet& forbidden) override {
    if (!wants(kGenerateFreshVariable)) return SubstitutionTransformer::generate_fresh_variable(base_var, forbidden);
    py::object result = self().attr(kStepNames[kGenerateFreshVariable])(
        py::arg("base_var") = base_var, py::arg("forbidden") = common::to_py_set(forbidden));
    if (!py::isinstance<core::Variable>(result))
      throw core::TypeError(std::string(kStepNames[kGenerateFreshVariable]) + " must return a Variable, got " +
                            common::class_text(result));
    return result.cast<core::VariablePtr>();
  }

  // The renamed body is walked next, so a value that is no node is refused
  // as the walk would refuse it.
  NodePtr rename_bound_variable(const NodePtr& formula, const core::VariablePtr& old_var,
                                const core::VariablePtr& new_var) override {
    if (!wants(kRenameBoundVariable)) return SubstitutionTransformer::rename_bound_variable(formula, old_var, new_var);
    return vb::node_to_visit(self().attr(kStepNames[kRenameBoundVariable])(formula, old_var, new_var));
  }

 private:
  enum Step { kHandleQuantifier, kGenerateFreshVariable, kRenameBoundVariable, kStepCount };
  static constexpr const char* kStepNames[kStepCount] = {"_handle_quantifier", "_generate_fresh_variable",
                                                         "_rename_bound_variable"};

  void refresh_more(py::handle cls, py::handle own) override {
    for (int step = 0; step < kStepCount; ++step)
      overridden_steps_[step] = vb::python_defines(cls, kStepNames[step]) || own_attribute(own, kStepNames[step]);
  }
  bool more_overridden() const override {
    return overridden_steps_[kHandleQuantifier] || overridden_steps_[kGenerateFreshVariable] ||
           overridden_steps_[kRenameBoundVariable];
  }
  bool wants(Step step) { return overridden_steps_[step] && python_ready(); }

  bool overridden_steps_[kStepCount] = {};
};

void bind_transformer(py::module_& m) {
  auto cls = vb::walker_class<SubstitutionTransformer, core::ASTTransformer, SubstitutionTrampoline>(
      m, "SubstitutionTransformer",
      "Applies a substitution to a term or formula simultaneously and without capture: a quantifier whose "
      "variable would catch a variable of a replacement term is renamed to a fresh variable first. Checks no "
      "sorts.");
  vb::def_kept_argument_init(cls, py::arg("mapping"), &substitution_from_py,
                             "Keeps the caller's mapping (not a copy) as `mapping`.");
  cls.def_property_readonly(
      "scope_bound_vars",
      [](py::handle self) { return common::to_py_set(vb::walker_of<SubstitutionTransformer>(self).scope_bound_vars()); },
      "The variables of the quantifiers whose bodies are being walked, after renaming.");
  vb::def_operations<SubstitutionTransformer>(cls, ReloadMapping{});
  cls.def(
      "_handle_quantifier",
      [](py::handle self, py::handle bound_var, py::handle body, py::handle constructor) {
        core::NodeKind kind = quantifier_kind(constructor);
        return Entered(self)->SubstitutionTransformer::handle_quantifier(variable_from_py(bound_var, "bound_var"), vb::node_to_visit(body), kind);
      },
      py::arg("bound_var"), py::arg("body"), py::arg("constructor"),
      "Renames the quantifier's variable where a replacement would be caught, then substitutes into the body.");
  cls.def(
      "_generate_fresh_variable",
      [](py::handle self, py::handle base_var, py::iterable forbidden) {
        core::VarSet taken;
        for (py::handle var : forbidden) taken.insert(variable_from_py(var, "a forbidden variable"));
        return Entered(self)->SubstitutionTransformer::generate_fresh_variable(variable_from_py(base_var, "base_var"), taken);
      },
      py::arg("base_var"), py::arg("forbidden"),
      "The variable with the smallest id at or above base_var's that no forbidden variable carries.");
  cls.def(
      "_rename_bound_variable",
      [](py::handle self, py::handle formula, py::handle old_var, py::handle new_var) {
        return Entered(self)->SubstitutionTransformer::rename_bound_variable(vb::node_to_visit(formula), variable_from_py(old_var, "old_var"),
                                                   variable_from_py(new_var, "new_var"));
      },
      py::arg("formula"), py::arg("old_var"), py::arg("new_var"),
      "The formula with the free occurrences of old_var renamed to new_var, without capture.");
  vb::finish_walker_class(cls);
}

}  // namespace

PYBIND11_MODULE(substitutions, m) {
  m.doc() = "Capture-avoiding substitution, composition of substitutions and unification with occur check.";

  // The names this module takes from the modules it builds on, in load order.
  const std::pair<const char*, std::vector<const char*>> imports[] = {
      {"core.ast",
       {"Term", "Formula", "Variable", "Constant", "FunctionApp", "PredicateApp", "Equality", "Forall", "Exists",
        "free_variables", "bound_variables"}},
      {"core.sorts", {"is_compatible", "sort_of_term"}},
      {"core.visitors", {"ASTTransformer"}},
      {"core.exceptions", {"UnificationError", "SortMismatchError"}},
  };
  for (const auto& [module_name, names] : imports) {
    py::module_ module = py::module_::import(module_name);
    for (const char* name : names) m.attr(name) = module.attr(name);
  }

  bind_transformer(m);

  m.def(
      "_validate_mapping_sorts",
      [](py::handle mapping) { core::validate_mapping_sorts(substitution_from_py(mapping)); }, py::arg("mapping"),
      "Raises SortMismatchError for the first binding whose term's sort does not fit its variable's sort.");
  m.def("substitute_term", &substitute_py<&core::substitute_term>, py::arg("term"), py::arg("mapping"),
        "The term with the substitution applied, after checking the sorts of the whole mapping.");
  m.def("substitute_formula", &substitute_py<&core::substitute_formula>, py::arg("formula"), py::arg("mapping"),
        "The formula with the substitution applied without capture, after checking the sorts of the mapping.");
  m.def(
      "apply_substitution",
      [](py::handle subst, py::object term) { return substitute_py<&core::substitute_term>(term, subst); },
      py::arg("subst"), py::arg("term"), "substitute_term with the substitution first.");
  m.def(
      "compose_substitutions",
      [](py::handle s1, py::handle s2) {
        return substitution_to_py(core::compose_substitutions(substitution_from_py(s1), substitution_from_py(s2)));
      },
      py::arg("s1"), py::arg("s2"), "The substitution that applies s2 first and then s1.");
  m.def(
      "unify_terms",
      [](py::handle t1, py::handle t2, py::handle subst) {
        NodePtr a = vb::node_to_visit(t1), b = vb::node_to_visit(t2);
        if (subst.is_none()) return substitution_to_py(core::unify_terms(a, b));
        Substitution start = substitution_from_py(subst);
        return substitution_to_py(core::unify_terms(a, b, &start));
      },
      py::arg("t1"), py::arg("t2"), py::arg("subst") = py::none(),
      "A most general unifier of two terms, extending subst; raises UnificationError or SortMismatchError.");
  m.def(
      "unify_formulas",
      [](py::handle f1, py::handle f2) {
        return substitution_to_py(core::unify_formulas(vb::node_to_visit(f1), vb::node_to_visit(f2)));
      },
      py::arg("f1"), py::arg("f2"), "A most general unifier of two predicate applications or two equalities.");
  common::refuse_none_self(m);
}
