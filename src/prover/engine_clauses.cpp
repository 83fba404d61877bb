#include "prover/engine_clauses.hpp"

#include <string>

#include "core/exceptions.hpp"
#include "core/interrupt.hpp"

namespace prover::engine_parts {

Rule input_rule(InputClause::Origin origin) {
  switch (origin) {
    case InputClause::Origin::NegatedGoal: return Rule::NegatedGoal;
    case InputClause::Origin::Definition: return Rule::Definition;
    default: return Rule::Axiom;
  }
}

const char* rule_name(Rule rule) {
  switch (rule) {
    case Rule::Axiom: return "Axiom";
    case Rule::NegatedGoal: return "NegatedGoal";
    case Rule::Definition: return "Definition";
    case Rule::Resolution: return "BinaryResolution";
    case Rule::Factoring: return "Factoring";
    case Rule::Paramodulation: return "Paramodulation";
    case Rule::EqualityResolution: return "EqualityResolution";
    case Rule::EqualityFactoring: return "EqualityFactoring";
  }
  return "";
}

std::uint32_t ClauseReader::VarMap::index_of(const core::VariablePtr& v) {
  for (std::uint32_t i = 0; i < vars.size(); ++i)
    if (core::equal(*vars[i], *v)) return i;
  vars.push_back(v);
  return static_cast<std::uint32_t>(vars.size() - 1);
}

TermId ClauseReader::term_of(const core::NodePtr& n, VarMap& vars) {
  if (const TermId* known = vars.shared.find(n)) return *known;
  return vars.shared.store(n, new_term_of(n, vars));
}

TermId ClauseReader::new_term_of(const core::NodePtr& n, VarMap& vars) {
  core::RecursionGuard guard;  // terms nested too deep for the stack raise RecursionDepthError
  using core::NodeKind;
  switch (n->kind()) {
    case NodeKind::Variable: {
      auto v = core::as_ptr<core::Variable>(n);
      if (v->var_kind() != core::VariableKind::INDIVIDUAL)
        throw core::ValueError("the resolution engine handles first-order clauses only");
      return terms_.var(vars.index_of(v), sort_id(v->sort()));
    }
    case NodeKind::Constant: {
      const auto& c = core::as<core::Constant>(*n);
      return terms_.bank().constant(terms_.bank().symbol(c.name(), 0), sort_id(c.sort()));
    }
    case NodeKind::FunctionApp: {
      const auto& f = core::as<core::FunctionApp>(*n);
      if (!f.func().is_name()) throw core::ValueError("the resolution engine handles first-order clauses only");
      std::vector<TermId> args;
      for (const auto& a : f.args()) args.push_back(term_of(a, vars));
      SymId s = terms_.bank().symbol(f.func().name(), static_cast<std::uint32_t>(args.size()));
      return terms_.bank().function(s, args, sort_id(f.return_sort()));
    }
    default:
      throw core::ValueError(std::string("a term of the resolution engine cannot be a ") + n->class_name());
  }
}

TermId ClauseReader::atom_of(const core::NodePtr& atom, VarMap& vars, int* truth) {
  *truth = -1;
  if (atom->kind() == core::NodeKind::PredicateApp) {
    const auto& p = core::as<core::PredicateApp>(*atom);
    if (p.args().empty() && p.pred().is_name() && (p.pred().name() == "_bot" || p.pred().name() == "_top")) {
      *truth = p.pred().name() == "_top";
      return kNone;
    }
  }
  return plain_atom(atom, vars);
}

TermId ClauseReader::plain_atom(const core::NodePtr& atom, VarMap& vars) {
  if (atom->kind() == core::NodeKind::Equality) {
    const auto& e = core::as<core::Equality>(*atom);
    TermId sides[2] = {term_of(e.left(), vars), term_of(e.right(), vars)};
    if (terms_.sort_of(sides[0]) != terms_.sort_of(sides[1]))
      throw core::ValueError("the two sides of an equation have different sorts");
    saw_equality_ = true;
    return terms_.equation(sides[0], sides[1]);
  }
  if (atom->kind() != core::NodeKind::PredicateApp)
    throw core::ValueError(std::string("a literal of the resolution engine cannot hold a ") + atom->class_name());
  const auto& p = core::as<core::PredicateApp>(*atom);
  if (!p.pred().is_name()) throw core::ValueError("the resolution engine handles first-order clauses only");
  std::vector<TermId> args;
  for (const auto& a : p.args()) args.push_back(term_of(a, vars));
  SymId s = terms_.bank().symbol(p.pred().name(), static_cast<std::uint32_t>(args.size()));
  return terms_.bank().predicate(s, args);
}

}  // namespace prover::engine_parts
