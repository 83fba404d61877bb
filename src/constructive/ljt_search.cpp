// The LJT backward search and the prover's entry points.
//
// The search runs in one of three ways, all with the same result:
//
//   plain    the rules alone, in their order, undoing failed choices;
//   quick    the plain search for a bounded number of sequents, which is
//            the cheapest way to settle a small problem;
//   guided   the decision procedure of ipc_sat.hpp decides provability:
//            a refuted sequent has no derivation, and at each choice only
//            an alternative that the procedure proves is derived.
//
// Guidance is exact where the rules decide provability as the logic does:
// then every invertible rule of a provable sequent has provable premises,
// the second premise of L_Imp_Imp follows from its conclusion, and the
// first alternative of a choice that the procedure proves is the one the
// plain search would keep.  The rules decide as the logic does when every
// formula left of an implication, or that a left rule turns into one, is
// decomposable or an atom other than verum (FormulaTable::decided); an
// implication from verum, a negation or a quantified formula can only be
// closed by an equal goal, where the logic could use it.  Other sequents are
// searched plainly, with the proof memory.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <optional>
#include <unordered_map>

#include "constructive/ipc_sat.hpp"
#include "constructive/ljt.hpp"
#include "constructive/ljt_table.hpp"
#include "core/arena.hpp"
#include "core/fingerprint_index.hpp"
#include "core/interrupt.hpp"
#include "core/limits.hpp"
#include "core/release.hpp"

namespace constructive {

using namespace rule_name;
using namespace ljt_detail;

namespace {

// The bytes of memory the process may use: the machine's, or the
// address-space or data limit where that is lower.
std::uint64_t memory_available() {
  std::uint64_t total = 1ULL << 32;
  long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page > 0) total = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
  for (int resource : {RLIMIT_AS, RLIMIT_DATA}) {
    rlimit limit{};
    if (getrlimit(resource, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
      total = std::min<std::uint64_t>(total, limit.rlim_cur);
  }
  return total;
}

// Everything a memory holds is dropped when its bytes pass its budget, or
// when memory runs out while something is being remembered.
class Budget {
 public:
  // A `share`-th of an eighth of the memory available, read on the first
  // charge (most searches never remember anything).
  explicit Budget(std::size_t share) : share_(share) {}

  // Runs `store`, which returns the bytes it added; calls `forget` (which
  // must not throw) when they pass the budget or when memory runs out.
  template <typename Store, typename Forget>
  void charge(Store&& store, Forget&& forget) {
    if (limit_ == 0) limit_ = memory_available() / core::limits::kLjtMemoryDivisor / share_;
    try {
      used_ += store();
      if (used_ <= limit_) return;
    } catch (const std::bad_alloc&) {
    }
    forget();
    used_ = 0;
  }

 private:
  std::size_t share_;
  std::size_t limit_ = 0;
  std::size_t used_ = 0;
};

template <typename Container>
void release(Container& c) noexcept {
  Container().swap(c);
}

constexpr std::uint32_t kNoEntry = core::DenseIndex::kMissing;

// Marks on value numbers: a value is marked when its mark is the current round.
class Marks {
 public:
  void next_round(std::size_t values) {
    if (++round_ == 0) {  // the counter wrapped: old marks could look current
      std::fill(marks_.begin(), marks_.end(), 0);
      round_ = 1;
    }
    if (marks_.size() < values) marks_.resize(values, 0);
  }
  // Marks `v`; true when it was not marked yet in this round.
  bool mark(Id v) {
    if (marks_[v] == round_) return false;
    marks_[v] = round_;
    return true;
  }
  bool marked(Id v) const { return marks_[v] == round_; }

 private:
  std::vector<std::uint32_t> marks_;
  std::uint32_t round_ = 0;
};

// What one pass over the antecedents finds: where the first antecedent of
// each kind that the rules look for stands and the key of the sequent for
// the proof memory.  The pass marks the values of the antecedents, for
// membership tests until the next pass.
struct Scan {
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  bool falsum = false, goal = false;
  std::size_t first_and = kNone, first_or = kNone, first_imp_and = kNone, first_imp_or = kNone;
  std::uint64_t order_key = 0;  // of the values in order
};

// The proved sequents of one proof, found again by goal and antecedents in
// order: the search is deterministic, so the same sequent gets the same
// derivation, and the earlier node is shared.
class ProofMemo {
 public:
  explicit ProofMemo(const FormulaTable& table) : table_(table) {}

  // The node of the sequent, or null.
  LJTProofNodePtr proved(std::uint64_t key, Id goal, const std::vector<Id>& gamma) const {
    const std::uint32_t at =
        index_.find(key, [&](std::uint32_t e) { return same_sequent(*nodes_[e]->sequent(), goal, gamma); });
    return at == kNoEntry ? nullptr : nodes_[at];
  }

  // Remembers a node; the bytes added.
  std::size_t remember(std::uint64_t key, const LJTProofNodePtr& node) {
    nodes_.push_back(node);
    index_.add(key);
    return sizeof(LJTProofNodePtr) + core::FingerprintIndex::kBytesPerEntry + sizeof(LJTProofNode) + sizeof(Sequent) +
           node->sequent()->antecedent_count() * sizeof(Id);
  }

  void forget() noexcept {
    release(nodes_);
    index_.release();
  }

  // Hands over the nodes and forgets them.
  std::vector<LJTProofNodePtr> take() noexcept {
    std::vector<LJTProofNodePtr> nodes;
    nodes.swap(nodes_);
    index_.release();
    return nodes;
  }

 private:
  Id value(Id id) const { return table_[id].value; }

  bool same_sequent(const Sequent& s, Id goal, const std::vector<Id>& gamma) const {
    if (s.antecedent_count() != gamma.size() || value(s.succedent_id()) != value(goal)) return false;
    for (std::size_t i = 0; i < gamma.size(); ++i)
      if (value(s.antecedent_id(i)) != value(gamma[i])) return false;
    return true;
  }

  const FormulaTable& table_;
  std::vector<LJTProofNodePtr> nodes_;
  core::FingerprintIndex index_;  // entry numbers are those of nodes_
};


// The answers to the questions of one proof, found again by the set of the
// antecedents' values and the goal's value.  A question is compared with an
// entry through the marks of its values, without sorting either: the same
// goal, as many distinct values, each of the entry's marked.
class Answers {
 public:
  // The answer to the question of `distinct` values (each marked in
  // `marks`) and `goal`, if it was remembered; `key` comes from both alone.
  std::optional<bool> find(std::uint64_t key, Id goal, std::span<const Id> distinct, const Marks& marks) const {
    const std::uint32_t at = index_.find(key, [&](std::uint32_t e) {
      const Entry& entry = entries_[e];
      if (entry.goal != goal || entry.count != distinct.size()) return false;
      for (std::uint32_t i = 0; i < entry.count; ++i)
        if (!marks.marked(values_[entry.first + i])) return false;
      return true;
    });
    if (at == kNoEntry) return std::nullopt;
    return entries_[at].answer;
  }

  // Remembers an answer (after find missed); the bytes added.
  std::size_t remember(std::uint64_t key, Id goal, std::span<const Id> distinct, bool answer) {
    entries_.push_back({values_.size(), static_cast<std::uint32_t>(distinct.size()), goal, answer});
    values_.insert(values_.end(), distinct.begin(), distinct.end());
    index_.add(key);
    return sizeof(Entry) + distinct.size() * sizeof(Id) + core::DenseIndex::kBytesPerNumber;
  }

  void forget() noexcept {
    release(values_);
    release(entries_);
    index_.release();
  }

 private:
  struct Entry {
    std::size_t first;  // of its values in values_
    std::uint32_t count;
    Id goal;
    bool answer;
  };
  std::vector<Id> values_;
  std::vector<Entry> entries_;
  core::DenseIndex index_;  // entry numbers are those of entries_
};

// The decision procedure on the formulas of one proof: each value gets an
// atom, defined by its shape on first use (falsum and verum are the
// procedure's constants, every other formula that no rule takes apart a
// plain atom).  The solver is made on the first question.
class Procedure {
 public:
  explicit Procedure(const FormulaTable& table) : table_(table) {}

  // Whether the procedure proves `gamma` ==> `goal` (ids of the table).
  // The first question is checked classically first: most non-theorems
  // of a search's first sequent are classical non-theorems, refuted so
  // with no question to the procedure, where the later ones (the premises
  // of a proof) nearly all hold.
  bool proves(const std::vector<Id>& gamma, Id goal) {
    assumptions_.clear();
    for (Id id : gamma) assumptions_.push_back(atom(id));
    const IpcSat::Atom target = atom(goal);
    const bool first = !asked_;
    asked_ = true;
    if (first && sat().refuted_classically(assumptions_, target)) return false;
    return sat().prove(assumptions_, target);
  }

  // Keeps the clauses the procedure learns, for checking them; the first
  // question then goes to the procedure itself, without the classical check.
  void keep_learned() {
    sat().keep_learned();
    asked_ = true;
  }
  const std::vector<IpcSat::Learned>& learned() { return sat().learned(); }
  // The formula behind an atom (falsum and verum have one without a formula).
  NodePtr formula_of(IpcSat::Atom a) {
    const std::size_t at = static_cast<std::size_t>(a);
    if (at < formulas_.size() && formulas_[at] != kNoId) return (*table_.pool())[formulas_[at]];
    return a == sat().falsum() ? falsum() : verum();
  }

 private:
  IpcSat& sat() {
    if (!sat_) sat_ = std::make_unique<IpcSat>();
    return *sat_;
  }

  // The atom of a formula.  A formula's atom is made before those of its
  // parts, so that the procedure tries its implications outermost first.
  IpcSat::Atom atom(Id id) {
    const FormulaInfo& f = table_[id];
    if (f.value < atoms_.size() && atoms_[f.value] != 0) return atoms_[f.value];
    core::RecursionGuard guard;
    IpcSat& s = sat();
    const IpcSat::Atom a = f.falsum ? s.falsum() : f.verum ? s.verum() : s.fresh();
    record(id, a);
    if (f.falsum || f.verum) return a;
    switch (f.shape) {
      case Shape::And: s.define_conjunction(a, atom(f.left), atom(f.right)); break;
      case Shape::Or: s.define_disjunction(a, atom(f.left), atom(f.right)); break;
      case Shape::Implies: s.define_implication(a, atom(f.left), atom(f.right)); break;
      case Shape::Other: break;
    }
    return a;
  }

  void record(Id id, IpcSat::Atom a) {
    const FormulaInfo& f = table_[id];
    if (atoms_.size() <= f.value) atoms_.resize(std::max<std::size_t>(table_.value_count(), f.value + 1), 0);
    atoms_[f.value] = a;
    if (formulas_.size() <= static_cast<std::size_t>(a)) formulas_.resize(static_cast<std::size_t>(a) + 1, kNoId);
    if (formulas_[static_cast<std::size_t>(a)] == kNoId) formulas_[static_cast<std::size_t>(a)] = id;
  }

  const FormulaTable& table_;
  std::unique_ptr<IpcSat> sat_;
  std::vector<IpcSat::Atom> atoms_;  // by value; 0 for none yet
  std::vector<Id> formulas_;         // by atom
  std::vector<IpcSat::Atom> assumptions_;
  bool asked_ = false;  // whether proves has been called
};

// How one search runs (see the top of the file).
struct Mode {
  bool remember;             // share the nodes of proved sequents
  bool guided;               // let the procedure decide, where it decides as the rules do
  std::uint64_t step_limit;  // sequents the search may take, 0 for no bound
  bool nodes = true;         // build the proof; else only whether there is one
};
constexpr Mode kPlain{false, false, 0};
// A quick search takes about as long as the procedure needs to start.  It
// shares no proofs: an unguided search shares only those that took more
// sequents than a quick search may take in all.
constexpr Mode kQuick{false, false, core::limits::kLjtQuickSteps};
static_assert(core::limits::kLjtQuickSteps <= core::limits::kLjtSharedUnguided,
              "a quick search that may share proofs should remember them");
// The same, for an answer without a proof.
constexpr Mode kQuickAnswer{false, false, core::limits::kLjtQuickSteps, false};
constexpr Mode kGuided{true, true, 0};

// The node a search that builds no proof returns for a derived sequent:
// one node for all, which only says that there is a derivation.
const LJTProofNodePtr& derived_mark() {
  static const LJTProofNodePtr mark = std::make_shared<const LJTProofNode>(
      std::make_shared<const Sequent>(std::vector<NodePtr>{}, verum()), std::string(kRTop));
  return mark;
}

// Releases the nodes of an abandoned search on a thread of their own, so
// that an interrupt is answered at once however many nodes the search
// built (core/release.hpp); a few are released here.
void release_abandoned(std::vector<LJTProofNodePtr>&& nodes) noexcept {
  if (nodes.size() >= core::limits::kReleaseInBackground) core::release_in_background(std::move(nodes));
}

// One proof: the formula table, the antecedents of the sequent at hand and
// their marks, and what the proof has learnt.  The antecedents live in one
// list that each premise edits in place (the principal formula taken out,
// the new formulas appended) and restores when its search returns, so the
// memory of a search grows with the size of the sequent plus its depth, not
// with their product.
//
// A guided search asks the procedure about the first sequent; every
// sequent it derives after that is provable, which each invertible rule
// passes on to its premises, and at each choice it derives only an
// alternative that the procedure proves (the last alternative left needs no
// question).  Its nodes are all shared; their bytes are bounded by half the
// memory available, beyond which the search ends with std::bad_alloc.
class Search {
 public:
  // `table` holds the formulas; the searches of one proof share it, so that
  // each formula is taken apart once.
  Search(FormulaTable& table, const PremiseSearch& premise_search, Mode mode)
      : premise_search_(premise_search),
        remember_(mode.remember && mode.nodes && !premise_search),  // without nodes, nothing to share
        guided_(mode.guided && !premise_search),
        step_limit_(mode.step_limit ? mode.step_limit : UINT64_MAX),
        quick_(mode.step_limit != 0 && mode.step_limit <= core::limits::kLjtQuickSteps),
        nodes_(mode.nodes),
        table_(table) {}

  // Takes in the sequent; true when the procedure decides it.
  bool load(const SequentPtr& seq) {
    goal_ = table_.intern(seq->succedent());
    for (std::size_t i = 0; i < seq->antecedent_count(); ++i) gamma_.push_back(table_.intern(seq->antecedent(i)));
    guided_ = guided_ && table_.decided(goal_) &&
              std::all_of(gamma_.begin(), gamma_.end(), [&](Id id) { return table_.decided(id); });
    if (remember_ && !guided_) share_threshold_ = core::limits::kLjtSharedUnguided;
    return guided_;
  }

  // The derivation of the loaded sequent `seq`, or null; `proved` when the
  // procedure has proved it already.
  LJTProofNodePtr run(const SequentPtr& seq, bool proved = false) {
    if (guided_ && !proved && !procedure_.proves(gamma_, goal_)) return nullptr;
    return prove(goal_, &seq, guided_);
  }

  // Whether the last run ended because it used up its sequents.
  bool exhausted() const { return exhausted_; }

  // Whether the procedure proves the loaded sequent (guided searches only).
  bool proves() { return procedure_.proves(gamma_, goal_); }

  Procedure& procedure() { return procedure_; }

  // The nodes may go to other threads once the search is over.
  ~Search() { share_arena(); }
  Search(const Search&) = delete;
  Search& operator=(const Search&) = delete;

  // Lets go of the proof memory on a thread of its own (after an interrupt).
  void abandon() noexcept {
    share_arena();
    release_abandoned(proofs_.take());
  }

 private:
  // Searches the current antecedents with the goal `goal`; `known` when the
  // sequent is known provable.  The node carries `given` when set, else a
  // sequent built from them.  The recursion runs through prove, derive and
  // premise; what they rarely need lives in functions of its own, which
  // keeps each level's stack frames small.  Only premises are looked up:
  // the given sequent is the first of the search, and every premise is
  // smaller than it.
  LJTProofNodePtr prove(Id goal, const SequentPtr* given, bool known) {
    stack_.check();
    poller_.poll();
    if (searched_ >= step_limit_) return out_of_steps();
    ++searched_;
    const std::uint64_t first = searched_;
    const Scan scan = scan_sequent(goal);
    // Unguided, a sequent that an axiom closes is derived at once, without the memory.
    const bool remembered =
        remember_ && !given && (guided_ || !(scan.falsum || scan.goal || info(goal).verum));
    if (remembered) {
      if (LJTProofNodePtr known_node = proofs_.proved(proof_key(goal, scan), goal, gamma_)) return known_node;
    }
    Derivation d;
    if (!derive(goal, scan, d, known)) return nullptr;
    LJTProofNodePtr node = conclude(goal, given, d);
    if (remembered && searched_ - first >= share_threshold_) remember_proof(proof_key(goal, scan), node);
    return node;
  }

  // Ends a search that used up its sequents: from here on every search
  // fails at once, so that the whole search unwinds without exploring more
  // (each choice stops at the flag) and nothing failed is remembered.
  [[gnu::noinline]] LJTProofNodePtr out_of_steps() {
    exhausted_ = true;
    return nullptr;
  }

  std::uint64_t proof_key(Id goal, const Scan& scan) const { return scan.order_key ^ info(goal).key; }

  [[gnu::noinline]] void remember_proof(std::uint64_t key, const LJTProofNodePtr& node) {
    if (guided_) {  // the nodes live in the proof anyway: the memory only indexes them
      proofs_.remember(key, node);
      return;
    }
    budget_.charge([&] { return proofs_.remember(key, node); }, [&]() noexcept { proofs_.forget(); });
  }

  // The node of a derived sequent.  A guided search keeps nearly every node
  // it makes, and a quick one makes few: their nodes and sequents come from
  // an arena of the proof, where each costs an addition.  A longer unguided
  // search may make and drop any number of nodes, whose memory an arena
  // would keep, so its nodes come from the heap.
  [[gnu::noinline]] LJTProofNodePtr conclude(Id goal, const SequentPtr* given, Derivation& d) {
    if (!nodes_) return derived_mark();
    if (!guided_ && !quick_)
      return std::make_shared<const LJTProofNode>(given ? *given : make_sequent(goal), d.rule, d.taken());
    // The nodes stay on this thread until the search ends (~Search,
    // abandon), which then shares the arena.
    if (!in_arena_) in_arena_.emplace(core::ArenaAllocator<LJTProofNode>::make_on_this_thread());
    if (guided_) charge_node();  // a quick search's few nodes need no bound
    SequentPtr seq = given ? *given
                           : std::allocate_shared<const Sequent>(*in_arena_, table_.pool(), gamma_, goal,
                                                                 in_arena_->arena());
    return std::allocate_shared<const LJTProofNode>(*in_arena_, std::move(seq), d.rule, d.taken());
  }

  // Counts one more node of a guided search: the arena's blocks hold the
  // nodes and their sequents, and the memory indexes each node.  Past the
  // bound the proof is too large to build.
  void charge_node() {
    if (node_limit_ == 0) node_limit_ = memory_available() / 8 * core::limits::kLjtProofMemoryEighths;
    index_bytes_ += sizeof(LJTProofNodePtr) + core::FingerprintIndex::kBytesPerEntry;
    if (in_arena_->arena()->reserved() + index_bytes_ > node_limit_) throw std::bad_alloc();
  }

  void share_arena() noexcept {
    if (in_arena_) in_arena_->arena()->share();
  }

  [[gnu::noinline]] LJTProofNodePtr ask_premise_search(Id goal) const { return premise_search_(make_sequent(goal)); }

  Id at(std::size_t i) const { return gamma_[i]; }
  const FormulaInfo& info(Id id) const { return table_[id]; }
  Id value(Id id) const { return table_[id].value; }

  SequentPtr make_sequent(Id goal) const { return std::make_shared<const Sequent>(table_.pool(), gamma_, goal); }

  // One pass over the antecedents: what the rules up to L_Imp_Or look for,
  // the key of the proof memory, and the marks of the antecedents' values.
  Scan scan_sequent(Id goal) {
    marks_.next_round(table_.value_count());
    Scan s;
    std::uint64_t order = gamma_.size();
    for (std::size_t i = 0; i < gamma_.size(); ++i) {
      const FormulaInfo& f = info(at(i));
      marks_.mark(f.value);
      order = core::hash_mix(order, f.value);
      s.falsum |= f.falsum;
      auto first = [i](std::size_t& slot) {
        if (slot == Scan::kNone) slot = i;
      };
      switch (f.left_rule) {
        case LeftRule::And: first(s.first_and); break;
        case LeftRule::Or: first(s.first_or); break;
        case LeftRule::ImpAnd: first(s.first_imp_and); break;
        case LeftRule::ImpOr: first(s.first_imp_or); break;
        default: break;
      }
    }
    s.order_key = core::hash_finish(order);
    s.goal = marks_.marked(value(goal));
    return s;
  }

  // The first implication A -> B with A atomic and among the antecedents
  // (as marked by the last scan).
  std::size_t first_atom_implication() const {
    for (std::size_t i = 0; i < gamma_.size(); ++i) {
      const FormulaInfo& f = info(at(i));
      if (f.left_rule == LeftRule::ImpAtom && marks_.marked(value(f.left))) return i;
    }
    return Scan::kNone;
  }

  // Runs `then` on the antecedents edited for a premise: without the one at
  // `consumed` (unless it is kNone), followed by `added`.  The list is edited
  // in place and restored before returning; when `then` throws, the whole
  // search is abandoned with the list as it is.
  template <typename Then>
  auto with_premise(std::size_t consumed, std::initializer_list<Id> added, Then&& then) {
    const bool consumes = consumed != Scan::kNone;
    const Id principal = consumes ? gamma_[consumed] : kNoId;
    if (consumes) gamma_.erase(gamma_.begin() + static_cast<std::ptrdiff_t>(consumed));
    gamma_.insert(gamma_.end(), added);
    auto result = then();
    gamma_.resize(gamma_.size() - added.size());
    if (consumes) gamma_.insert(gamma_.begin() + static_cast<std::ptrdiff_t>(consumed), principal);
    return result;
  }

  // Whether the premise (the current antecedents edited as with_premise
  // says, ==> `goal`) is provable: an axiom, settled by the right rules
  // where no left rule applies, by a short plain search, or else by the
  // procedure.  Provability depends on the set of the antecedents only, so
  // the answers are remembered by that set and the goal.
  [[gnu::noinline]] bool provable(std::size_t consumed, std::initializer_list<Id> added, Id goal) {
    return with_premise(consumed, added, [&] {
      if (info(goal).verum) return true;
      question_.clear();
      question_marks_.next_round(table_.value_count());
      std::uint64_t set_key = 0;  // a sum over the distinct values: order and repetition do not count
      for (Id id : gamma_) {
        if (info(id).falsum || value(id) == value(goal)) return true;
        if (!question_marks_.mark(value(id))) continue;
        question_.push_back(value(id));
        set_key += info(id).key;
      }
      if (const Truth t = inert_antecedents() ? by_right_rules_of_question(goal) : Truth::Unknown; t != Truth::Unknown)
        return t == Truth::Yes;
      const std::uint64_t key = core::hash_finish(core::hash_mix(set_key, value(goal)));
      if (const std::optional<bool> known = answers_.find(key, value(goal), question_, question_marks_)) return *known;
      const std::optional<bool> settled = probe(goal);
      if (exhausted_) return false;  // the search is over: no answer to remember
      const bool answer = settled ? *settled : procedure_.proves(gamma_, goal);
      answers_budget_.charge([&] { return answers_.remember(key, value(goal), question_, answer); },
                             [&]() noexcept { answers_.forget(); });
      return answer;
    });
  }

  // Whether no left rule applies to the antecedents of a question (their
  // values are in question_ and marked in question_marks_): none is decomposable, and no
  // implication from an atom has its atom among them.  The right rules
  // alone then decide every goal without implications.
  bool inert_antecedents() const {
    for (Id id : gamma_) {
      const FormulaInfo& f = info(id);
      if (f.left_rule == LeftRule::None) continue;
      if (f.left_rule != LeftRule::ImpAtom || holds_among_antecedents(value(f.left))) return false;
    }
    return true;
  }

  bool holds_among_antecedents(Id v) const { return question_marks_.marked(v); }

  enum class Truth : std::uint8_t { No, Yes, Unknown };

  // by_right_rules over the antecedents of the question at hand.  Its
  // answers are kept by value for as long as the questions have the same
  // antecedents: a choice between the sides of a disjunction asks about the
  // left side, and the premise it picks asks again about the left side's
  // left side, which the first answer has already met.  (Unkept, a goal
  // that nests its disjunctions to the left cost time quadratic in its size
  // at each such choice.)
  Truth by_right_rules_of_question(Id goal) {
    if (question_ != right_question_ || right_truths_.size() < table_.value_count()) {  // (or the table grew)
      right_question_ = question_;
      right_kept_.next_round(table_.value_count());
      right_truths_.resize(std::max(right_truths_.size(), table_.value_count()));
    }
    return by_right_rules(goal);
  }

  // What the rules make of `goal` over inert antecedents, as the search
  // would try them: verum and a goal among the antecedents are axioms, a
  // conjunction needs both sides, a disjunction either; any other goal
  // fails, except an implication, which would add an antecedent.
  Truth by_right_rules(Id goal) {
    stack_.check();
    const FormulaInfo& f = info(goal);
    if (f.verum || holds_among_antecedents(f.value)) return Truth::Yes;
    if (right_kept_.marked(f.value)) return right_truths_[f.value];
    Truth truth = Truth::Unknown;
    switch (f.shape) {
      case Shape::And: {
        const Truth left = by_right_rules(f.left);
        truth = left == Truth::Yes ? by_right_rules(f.right) : left;
        break;
      }
      case Shape::Or: {
        const Truth left = by_right_rules(f.left);
        truth = left == Truth::No ? by_right_rules(f.right) : left;
        break;
      }
      case Shape::Implies: truth = Truth::Unknown; break;
      case Shape::Other: truth = Truth::No; break;
    }
    right_kept_.mark(f.value);
    right_truths_[f.value] = truth;
    return truth;
  }

  // The plain search of the current antecedents ==> `goal` for at most
  // kProbeSteps sequents: its answer, or nothing when it ran out of steps.
  // Most questions of a proof are settled so in less time than the
  // procedure takes; a derivation found is remembered, so the premise's
  // search finds it again.  A probe that runs out of steps unwinds like any
  // failed search, restoring the antecedents on its way out.
  std::optional<bool> probe(Id goal) {
    const std::uint64_t limit = step_limit_;
    step_limit_ = std::min(limit, searched_ + kProbeSteps);
    const bool proved = prove(goal, nullptr, false) != nullptr;
    step_limit_ = limit;
    if (!exhausted_) return proved;
    exhausted_ = searched_ >= limit;  // the search's own bound stays; the probe's is lifted
    return std::nullopt;
  }

  static constexpr std::uint64_t kProbeSteps = core::limits::kLjtProbeSteps;

  // Searches the premise: the current antecedents edited as with_premise
  // says, ==> `goal`; `known` when it is known provable.
  LJTProofNodePtr premise(std::size_t consumed, std::initializer_list<Id> added, Id goal, bool known) {
    return with_premise(consumed, added,
                        [&] { return premise_search_ ? ask_premise_search(goal) : prove(goal, nullptr, known); });
  }

  static bool close(Derivation& d, const char* rule) {
    d.rule = rule;
    return true;
  }

  // Tries the premises of one rule in order, stopping at the first failure.
  template <typename... Attempts>
  static bool derive_by(Derivation& d, const char* rule, Attempts&&... attempts) {
    static_assert(sizeof...(Attempts) <= std::tuple_size_v<decltype(d.premises)>);
    d.clear();
    if (!(keep(d, attempts()) && ...)) return false;
    d.rule = rule;
    return true;
  }

  // Adds a premise's derivation; false when the premise failed.
  [[gnu::noinline]] static bool keep(Derivation& d, LJTProofNodePtr premise) {
    if (!premise) return false;
    d.premises[d.count++] = std::move(premise);
    return true;
  }

  // The sides of a binary formula, copied out of the table (which grows, and
  // so moves, while premises are searched).
  struct Sides {
    Id left, right;
  };
  Sides sides(Id id) const { return {info(id).left, info(id).right}; }

  // The rules in their fixed order.  Steps up to L_Imp_Or commit to the
  // first rule that applies; the disjunctive goal and the implications
  // (E -> F) -> B are backtracked.  The premises of an invertible rule of a
  // provable sequent are provable.
  bool derive(Id g, const Scan& a, Derivation& d, bool known) {
    constexpr std::size_t kAll = Scan::kNone;
    const Shape goal_shape = info(g).shape;
    const auto [gl, gr] = sides(g);
    if (info(g).verum) return close(d, kRTop);
    if (a.falsum) return close(d, kLBot);
    if (a.goal) return close(d, kAx);
    if (goal_shape == Shape::Implies) return derive_by(d, kRImp, [&] { return premise(kAll, {gl}, gr, known); });
    if (goal_shape == Shape::And)
      return derive_by(d, kRAnd, [&] { return premise(kAll, {}, gl, known); },
                       [&] { return premise(kAll, {}, gr, known); });
    if (std::size_t i = a.first_and; i != kAll) {
      const auto [l, r] = sides(at(i));
      return derive_by(d, kLAnd, [&] { return premise(i, {l, r}, g, known); });
    }
    if (std::size_t i = a.first_or; i != kAll) {
      const auto [l, r] = sides(at(i));
      return derive_by(d, kLOr, [&] { return premise(i, {l}, g, known); }, [&] { return premise(i, {r}, g, known); });
    }
    if (std::size_t i = first_atom_implication(); i != kAll) {
      const Id b = sides(at(i)).right;
      return derive_by(d, kLImpAtom, [&] { return premise(i, {b}, g, known); });
    }
    if (std::size_t i = a.first_imp_and; i != kAll) {
      const Id curried = table_.added_implications(at(i)).first;
      return derive_by(d, kLImpAnd, [&] { return premise(i, {curried}, g, known); });
    }
    if (std::size_t i = a.first_imp_or; i != kAll) {
      const auto [e_b, f_b] = table_.added_implications(at(i));
      return derive_by(d, kLImpOr, [&] { return premise(i, {e_b, f_b}, g, known); });
    }
    return derive_by_choice(g, d, goal_shape == Shape::Or, known);
  }

  // The two rules that may have to be undone: a disjunct of the goal, then
  // each implication (E -> F) -> B in turn, until one gives both premises:
  // F -> B, E |- F and B |- G.  When the sequent is known provable, an
  // alternative is derived only once the procedure proves its premises
  // (the second premise of L_Imp_Imp follows from the conclusion), except
  // the last one left, which then must be the provable one.
  bool derive_by_choice(Id g, Derivation& d, bool disjunctive_goal, bool known) {
    std::size_t left = disjunctive_goal ? 2 : 0;  // alternatives not yet tried
    for (std::size_t i = 0; i < gamma_.size(); ++i) left += info(at(i)).left_rule == LeftRule::ImpImp;
    auto viable = [&](std::size_t consumed, std::initializer_list<Id> added, Id goal) {
      return !exhausted_ && (!known || --left == 0 || provable(consumed, added, goal));
    };
    if (disjunctive_goal) {
      const auto [gl, gr] = sides(g);
      if (viable(Scan::kNone, {}, gl) && derive_by(d, kROr1, [&] { return premise(Scan::kNone, {}, gl, known); }))
        return true;
      if (viable(Scan::kNone, {}, gr) && derive_by(d, kROr2, [&] { return premise(Scan::kNone, {}, gr, known); }))
        return true;
    }
    for (std::size_t i = 0; i < gamma_.size(); ++i) {
      if (info(at(i)).left_rule != LeftRule::ImpImp) continue;
      const auto [e_f, b] = sides(at(i));
      const auto [e, f] = sides(e_f);
      const Id f_b = table_.added_implications(at(i)).first;
      if (viable(i, {f_b, e}, f) && derive_by(d, kLImpImp, [&] { return premise(i, {f_b, e}, f, known); },
                                              [&] { return premise(i, {b}, g, known); }))
        return true;
    }
    return false;
  }

  const PremiseSearch& premise_search_;
  const bool remember_;
  bool guided_;
  std::uint64_t step_limit_;
  const bool quick_;  // at most kLjtQuickSteps sequents
  const bool nodes_;
  std::uint64_t share_threshold_ = 0;  // sequents a proof must take to be remembered
  FormulaTable& table_;
  std::optional<core::ArenaAllocator<LJTProofNode>> in_arena_;  // of a guided search's nodes, made with the first
  core::InterruptPoller poller_;
  core::StackLimit stack_;
  Budget budget_{2};
  ProofMemo proofs_{table_};
  Procedure procedure_{table_};
  std::vector<Id> question_;  // the distinct values of a question's antecedents
  // What by_right_rules made of each value marked in right_kept_, over the
  // antecedents right_question_.
  std::vector<Id> right_question_;
  Marks right_kept_;
  std::vector<Truth> right_truths_;
  Marks question_marks_;      // of the same values
  Answers answers_;
  Budget answers_budget_{2};
  std::uint64_t searched_ = 0;  // sequents searched so far
  std::uint64_t index_bytes_ = 0;  // of the memory's entries for the nodes
  std::uint64_t node_limit_ = 0;   // a share of the memory available, read on the first node
  Id goal_ = kNoId;
  std::vector<Id> gamma_;  // the antecedents of the sequent at hand
  bool exhausted_ = false;       // the search used up its sequents
  Marks marks_;            // of the values of the antecedents at the last scan
};

// Runs `step` on a search; after an interrupt the search's memory is let
// go of on a thread of its own.
template <typename Step>
auto abandoning_on_interrupt(Search& search, Step&& step) {
  try {
    return step();
  } catch (const core::Interrupted&) {
    search.abandon();
    throw;
  }
}

// The result of a quick search of `seq`, or nothing when it ran out of steps.
std::optional<LJTProofNodePtr> quick_search(FormulaTable& table, const SequentPtr& seq, Mode mode = kQuick) {
  Search quick(table, nullptr, mode);
  quick.load(seq);
  LJTProofNodePtr found = quick.run(seq);
  if (quick.exhausted()) return std::nullopt;
  return found;
}

}  // namespace

SequentPtr LJTProver::initial_sequent(const NodePtr& target, const std::vector<NodePtr>& premises) {
  NodePtr goal = normalize_formula(target);
  std::vector<NodePtr> antecedents;
  antecedents.reserve(premises.size());
  for (const auto& p : premises) antecedents.push_back(normalize_formula(p));
  return std::make_shared<const Sequent>(std::move(antecedents), std::move(goal));
}

LJTProofNodePtr LJTProver::search(const SequentPtr& seq, const PremiseSearch& premise_search, Memory memory) const {
  FormulaTable table;
  if (premise_search || memory == Memory::Plain) {
    Search plain(table, premise_search, kPlain);
    plain.load(seq);
    return plain.run(seq);
  }
  Search guided(table, nullptr, kGuided);
  bool proved = false;
  if (memory == Memory::Adaptive) {
    if (auto found = quick_search(table, seq)) return *found;
    if (guided.load(seq) && !(proved = guided.proves())) return nullptr;
  } else {
    guided.load(seq);
  }
  return abandoning_on_interrupt(guided, [&] { return guided.run(seq, proved); });
}

bool LJTProver::decides(const SequentPtr& seq, Memory memory) const {
  if (memory == Memory::Plain) return search(seq, nullptr, memory) != nullptr;
  FormulaTable table;
  if (memory == Memory::Adaptive) {
    if (auto found = quick_search(table, seq, kQuickAnswer)) return *found != nullptr;
  }
  Search guided(table, nullptr, kGuided);
  if (guided.load(seq)) return guided.proves();
  return abandoning_on_interrupt(guided, [&] { return guided.run(seq) != nullptr; });
}

bool LJTProver::provable(const NodePtr& target, const std::vector<NodePtr>& premises) const {
  return decides(initial_sequent(target, premises));
}

std::vector<std::pair<std::vector<NodePtr>, NodePtr>> LJTProver::learned_clauses(const SequentPtr& seq) {
  std::vector<std::pair<std::vector<NodePtr>, NodePtr>> out;
  FormulaTable table;
  Search guided(table, nullptr, kGuided);
  if (!guided.load(seq)) return out;
  Procedure& procedure = guided.procedure();
  procedure.keep_learned();
  guided.proves();
  for (const IpcSat::Learned& clause : procedure.learned()) {
    std::vector<NodePtr> premises;
    for (IpcSat::Atom a : clause.premises) premises.push_back(procedure.formula_of(a));
    out.emplace_back(std::move(premises), procedure.formula_of(clause.conclusion));
  }
  return out;
}

LJTProofNodePtr LJTProver::prove(const NodePtr& target, const std::vector<NodePtr>& premises) const {
  return search(initial_sequent(target, premises));
}

}  // namespace constructive
