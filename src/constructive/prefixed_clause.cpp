#include "constructive/prefixed_clause.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "constructive/common.hpp"
#include "core/interrupt.hpp"
#include "core/parser.hpp"

namespace constructive {

// ---------------------------------------------------------------------------
// Polarities
// ---------------------------------------------------------------------------
Polarity Polarity::from_decimal(const std::string& text) {
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error == std::errc() && end == text.data() + text.size()) return Polarity(value);
  Polarity out;
  out.wide_ = std::make_shared<const std::string>(text);
  return out;
}

namespace {

// The digits of a magnitude (no sign, no leading zeros) plus or minus one.
std::string digits_plus_one(std::string digits) {
  std::size_t i = digits.size();
  while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
  if (i == 0) return "1" + digits;
  ++digits[i - 1];
  return digits;
}

std::string digits_minus_one(std::string digits) {  // digits > 0
  std::size_t i = digits.size();
  while (digits[i - 1] == '0') digits[--i] = '9';
  --digits[i - 1];
  if (digits.size() > 1 && digits[0] == '0') digits.erase(0, 1);
  return digits;
}

}  // namespace

Polarity Polarity::complement() const {
  if (!wide_) {
    // 1 - p stays within 64 bits unless p is one of the two smallest values
    if (small_ > std::numeric_limits<std::int64_t>::min() + 1) return Polarity(1 - small_);
    return from_decimal(digits_plus_one(std::to_string(small_).substr(1)));
  }
  // 1 - p is -(p - 1) for p > 0 and |p| + 1 for p < 0
  const std::string& text = *wide_;
  if (text[0] == '-') return from_decimal(digits_plus_one(text.substr(1)));
  std::string negative(1, '-');  // appended: the prepending form draws a false -Wrestrict from GCC 12
  negative += digits_minus_one(text);
  return from_decimal(negative);
}

// ---------------------------------------------------------------------------
// The literal table
// ---------------------------------------------------------------------------
namespace {

// The text of a literal as its pieces (atom text, "^", polarity, ":", the
// symbol names with "." between them), compared a character at a time in
// the order of plain strings, so that literals are ranked by their texts
// without writing them.
class TextPieces {
 public:
  TextPieces(std::string_view atom, const Polarity& polarity, const SymbolString& prefix)
      : atom_(atom), polarity_(polarity.to_string()), prefix_(&prefix) {}

  std::size_t count() const { return 4 + (prefix_->empty() ? 0 : 2 * prefix_->size() - 1); }
  std::string_view piece(std::size_t i) const {
    switch (i) {
      case 0: return atom_;
      case 1: return "^";
      case 2: return polarity_;
      case 3: return ":";
      default: i -= 4; return i % 2 ? std::string_view(".") : std::string_view((*prefix_)[i / 2].name());
    }
  }

 private:
  std::string_view atom_;
  std::string polarity_;
  const SymbolString* prefix_;
};

// Reads the characters of a text given as pieces.
class PieceCursor {
 public:
  explicit PieceCursor(const TextPieces& text) : text_(text), piece_(text.piece(0)) {}
  // The next character as a code unit, or -1 at the end.
  int next() {
    while (at_ == piece_.size()) {
      if (++index_ == text_.count()) return -1;
      piece_ = text_.piece(index_);
      at_ = 0;
    }
    return static_cast<unsigned char>(piece_[at_++]);
  }

 private:
  const TextPieces& text_;
  std::size_t index_ = 0;
  std::string_view piece_;
  std::size_t at_ = 0;
};

// Negative, zero or positive as the first text sorts before, with or after the second.
int compare_texts(const TextPieces& a, const TextPieces& b) {
  PieceCursor x(a), y(b);
  for (;;) {
    int cx = x.next(), cy = y.next();
    if (cx != cy) return cx < cy ? -1 : 1;
    if (cx < 0) return 0;
  }
}

}  // namespace

LiteralTable::Index LiteralTable::add(const Prefix& prefix, const Polarity& polarity, const core::NodePtr& atom) {
  if (entries_.size() >= std::numeric_limits<Index>::max()) throw std::length_error("the literal table is full");
  std::uint32_t slot = 0;
  const core::TermId p = prefix_term(prefix, slot);
  const core::TermId a = bank_.from_node(atom);
  const bool closes = (polarity == 1 && is_falsum(*atom)) || (polarity == 0 && is_verum(*atom));
  entries_.push_back(Entry{a, polarity_term(p, a, polarity), slot, 0, closes, polarity, atom});
  return static_cast<Index>(entries_.size() - 1);
}

core::TermId LiteralTable::prefix_term(const Prefix& prefix, std::uint32_t& slot) {
  std::vector<core::TermId> symbols;
  symbols.reserve(prefix.size());
  for (const auto& s : prefix.symbols())
    symbols.push_back(bank_.constant(bank_.symbol(s.name(), s.is_variable() ? 1 : 0)));
  const core::TermId t = bank_.function(bank_.symbol(".", static_cast<std::uint32_t>(symbols.size())), symbols);
  if (prefix_slot_.size() <= t) prefix_slot_.resize(bank_.size(), 0);
  if (prefix_slot_[t] == 0) {
    prefixes_.push_back(prefix);
    prefix_slot_[t] = static_cast<std::uint32_t>(prefixes_.size());
  }
  slot = prefix_slot_[t] - 1;
  return t;
}

core::TermId LiteralTable::polarity_term(core::TermId prefix, core::TermId atom, const Polarity& polarity) {
  const core::TermId parts[2] = {prefix, atom};
  return bank_.predicate(bank_.symbol(polarity.to_string(), 2), parts);
}

void LiteralTable::seal() {
  if (entries_.size() < 2) return;
  // Only the distinct atoms are printed, and only for the ranking.
  std::unordered_map<core::TermId, std::string> atom_texts;
  std::vector<TextPieces> texts;
  texts.reserve(entries_.size());
  for (const auto& e : entries_) {
    auto [it, added] = atom_texts.try_emplace(e.atom);
    if (added) it->second = core::to_string(*e.atom_node);
    texts.emplace_back(it->second, e.polarity, prefixes_[e.prefix].symbols());
  }
  std::vector<Index> order(entries_.size());
  std::iota(order.begin(), order.end(), Index{0});
  core::InterruptPoller poller;
  std::sort(order.begin(), order.end(), [&](Index a, Index b) {
    poller.poll();
    return compare_texts(texts[a], texts[b]) < 0;
  });
  std::uint32_t rank = 0;
  for (std::size_t k = 1; k < order.size(); ++k) {
    if (compare_texts(texts[order[k - 1]], texts[order[k]]) != 0) ++rank;
    entries_[order[k]].rank = rank;
  }
}

// The printer writes falsum as "_bot", the name a literal's text gives it.
std::string LiteralTable::text(Index l) const {
  const Entry& e = entries_[l];
  std::string out = core::to_string(*e.atom_node);
  out += '^';
  out += e.polarity.to_string();
  out += ':';
  out += prefixes_[e.prefix].to_string();
  return out;
}

// ---------------------------------------------------------------------------
// Literals and clauses
// ---------------------------------------------------------------------------
PrefixedLiteral::PrefixedLiteral(Prefix prefix, Polarity polarity, core::NodePtr atom) {
  auto table = std::make_shared<LiteralTable>();
  index_ = table->add(prefix, polarity, atom);
  table->seal();
  table_ = std::move(table);
}

bool PrefixedLiteral::same_atom(const PrefixedLiteral& o) const {
  if (table_ == o.table_) return table_->atom_id(index_) == o.table_->atom_id(o.index_);
  return core::equal(atom(), o.atom());
}

bool PrefixedLiteral::operator==(const PrefixedLiteral& o) const {
  if (table_ == o.table_) return table_->literal_id(index_) == o.table_->literal_id(o.index_);
  return prefix() == o.prefix() && polarity() == o.polarity() && core::equal(atom(), o.atom());
}

PrefixedClause::PrefixedClause(const std::vector<PrefixedLiteral>& literals) : PrefixedClause(of(literals, nullptr)) {}

PrefixedClause PrefixedClause::of(const std::vector<PrefixedLiteral>& literals, const PrefixSubstitution* subst) {
  if (literals.empty()) return {};
  auto table = std::make_shared<LiteralTable>();
  std::vector<LiteralTable::Index> members;
  members.reserve(literals.size());
  for (const auto& l : literals)
    members.push_back(table->add(subst ? subst->apply(l.prefix()) : l.prefix(), l.polarity(), l.atom()));
  table->seal();
  return PrefixedClause(std::move(table), std::move(members));
}

// Sorts the members by the ranks of their texts (ties in the order given)
// and keeps the first of equal literals; equal literals have one bank id and
// write equal texts, so they meet in one run of equal ranks.
PrefixedClause::PrefixedClause(std::shared_ptr<const LiteralTable> table, std::vector<LiteralTable::Index> members)
    : table_(std::move(table)) {
  if (members.empty()) return;
  const LiteralTable& t = *table_;
  std::stable_sort(members.begin(), members.end(),
                   [&](LiteralTable::Index a, LiteralTable::Index b) { return t.rank(a) < t.rank(b); });
  members_.reserve(members.size());
  std::size_t run = 0;  // where the run of the current rank starts in members_
  for (auto m : members) {
    if (members_.empty() || t.rank(members_.back()) != t.rank(m)) run = members_.size();
    bool repeated = std::any_of(members_.begin() + static_cast<std::ptrdiff_t>(run), members_.end(),
                                [&](LiteralTable::Index k) { return t.literal_id(k) == t.literal_id(m); });
    if (!repeated) members_.push_back(m);
  }
}

std::vector<PrefixedLiteral> PrefixedClause::literals() const {
  std::vector<PrefixedLiteral> out;
  out.reserve(members_.size());
  for (std::size_t i = 0; i < members_.size(); ++i) out.push_back(literal(i));
  return out;
}

PrefixedClause PrefixedClause::substitute(const PrefixSubstitution& s) const { return of(literals(), &s); }

SymbolSet PrefixedClause::variables() const {
  SymbolSet out;
  for (auto m : members_) out.insert_all(table_->prefix(m).variables());
  return out;
}

SymbolSet PrefixedClause::constants() const {
  SymbolSet out;
  for (auto m : members_) out.insert_all(table_->prefix(m).constants());
  return out;
}

std::string PrefixedClause::to_string() const {
  if (members_.empty()) return "[]";
  std::string out = "[ ";
  for (std::size_t i = 0; i < members_.size(); ++i) {
    if (i) out += ", ";
    out += table_->text(members_[i]);
  }
  return out + " ]";
}

bool PrefixedClause::operator==(const PrefixedClause& o) const {
  if (members_.size() != o.members_.size()) return false;
  if (members_.empty()) return true;
  if (table_ == o.table_) {  // the same literals: the same bank ids
    auto ids = [&](const PrefixedClause& c) {
      std::vector<core::TermId> out;
      for (auto m : c.members_) out.push_back(c.table_->literal_id(m));
      std::sort(out.begin(), out.end());
      return out;
    };
    return ids(*this) == ids(o);
  }
  const auto mine = literals(), theirs = o.literals();
  return std::all_of(mine.begin(), mine.end(), [&](const PrefixedLiteral& l) {
    return std::find(theirs.begin(), theirs.end(), l) != theirs.end();
  });
}

std::vector<std::pair<std::size_t, std::size_t>> complementary_pair_positions(const PrefixedClause& clause) {
  std::vector<std::pair<std::size_t, std::size_t>> out;
  for_each_complementary_pair(clause, [&](std::size_t positive, std::size_t negative) { out.emplace_back(positive, negative); });
  return out;
}

std::vector<LiteralPair> complementary_pairs(const PrefixedClause& clause) {
  std::vector<LiteralPair> out;
  for (auto [first, second] : complementary_pair_positions(clause))
    out.emplace_back(clause.literal(first), clause.literal(second));
  return out;
}

bool closed_by_constant(const PrefixedClause& clause) {
  // falsum assumed, or verum as a goal: the path is closed at once
  for (std::size_t i = 0; i < clause.size(); ++i)
    if (clause.table().closes_alone(clause.member(i))) return true;
  return false;
}

bool closes_a_pair(const std::vector<LiteralPair>& pairs, const PrefixSubstitution& subst) {
  return std::any_of(pairs.begin(), pairs.end(), [&](const LiteralPair& pair) {
    return subst.same_instances(pair.first.prefix().symbols(), pair.second.prefix().symbols());
  });
}

bool is_closed(const PrefixedClause& clause, const PrefixSubstitution& subst) {
  return closed_by_constant(clause) || closes_a_pair(complementary_pairs(clause), subst);
}

}  // namespace constructive
