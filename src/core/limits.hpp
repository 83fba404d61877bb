// Every fixed limit of the library, with its value and the reason for it.
//
// None of these is a setting: no caller can change them.  The settings that
// callers give (steps, depths, worlds, multiplicities, seconds) bound one
// proof; these bound what any proof may build, how long a loop runs between
// two looks at the clock, and where a walk starts to remember what it has
// seen.  Each is checked where it is used, and what passing it does is said
// below: a formula, clause set or matrix too large is refused (ValueError or
// MemoryError, naming the limit), a search past its work bound ends without
// a proof, a memory past its budget is dropped.  The thresholds of walks,
// containers and polling change only how fast something runs.
//
// Each entry: name, value, why; where a size is not counted plainly, the
// entry says how.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace core::limits {

// ---------------------------------------------------------------------------
// Sizes refused before they exhaust memory
// ---------------------------------------------------------------------------
// The clausifier's output: distribution of Or over And is exponential, and a
// clause set past these is refused before it is built.
inline constexpr std::uint64_t kMaxCnfClauses = 100000;
inline constexpr std::uint64_t kMaxCnfLiterals = 1000000;  // literal occurrences over all clauses
// Formula nodes once shared parts are unfolded (the clausifier's input, and
// the subterm occurrences that rewriting a shared term enumerates): a few
// dozen shared levels unfold to more nodes than memory holds.
inline constexpr std::uint64_t kMaxTreeNodes = 10000000;

// Derived clauses heavier than this (their atoms' weights summed) are not
// kept by the classical engine: their terms grow without bound on some
// problems.  The search then no longer claims saturation.
inline constexpr std::uint32_t kMaxClauseWeight = 4000;

// The matrix of the prefixed prover: paths are listed one clause each, so
// these bound the clauses and literals of the largest matrix built, and the
// positions of the formula tree it comes from (shared subformulas unfold,
// copies of implications multiply).  Past them the level is not built.
inline constexpr std::uint64_t kMaxPaths = std::uint64_t{1} << 20;
inline constexpr std::uint64_t kMaxPathLeaves = std::uint64_t{1} << 24;  // leaves over all paths
inline constexpr std::uint64_t kMaxPositions = std::uint64_t{1} << 22;

// Work units of one prefixed search (a step into the backtracking search, a
// clause tested for closure, a complementary pair, a unifier tried): a
// second or two.  The backtracking over unifiers is exponential in the worst
// case; a refutation that closes tens of thousands of clauses one by one
// takes well under a tenth of it.
inline constexpr std::uint64_t kMaxSearchWork = std::uint64_t{1} << 22;

// Nodes of a formula as a tree (shared subformulas counted at every
// occurrence) that the relational translation writes out.
inline constexpr std::int64_t kMaxTranslatedNodes = std::int64_t{1} << 24;

// Nodes of a formula written out as text (its unfolded tree): 64 Mi nodes
// are a text of hundreds of megabytes; a heavily shared node (2^100 leaves)
// is refused at once, as memory that cannot be had.
inline constexpr std::int64_t kMaxPrintedNodes = std::int64_t{1} << 26;

// ---------------------------------------------------------------------------
// Memory of the LJT search
// ---------------------------------------------------------------------------
// A memory of proved or refuted sequents is dropped whole when it passes its
// share of an eighth of the memory the process may use (the machine's, or
// the address-space or data limit where lower): the search goes on without
// it, slower, instead of running out.
inline constexpr std::uint64_t kLjtMemoryDivisor = 8;
// The proof nodes of a guided search (and its index of them) may take five
// eighths of the memory the process may use; past it the proof is too large
// to build (MemoryError), found before the allocator fails.  The rest is
// left to the interpreter, the index's growth and the procedure.
inline constexpr std::uint64_t kLjtProofMemoryEighths = 5;
// The blocks of the arena that holds a guided search's nodes: the first is
// small, so that a small proof takes little; each next one doubles, up to
// the largest, so that a large proof takes few.
inline constexpr std::size_t kArenaFirstBlock = std::size_t{64} << 10;
inline constexpr std::size_t kArenaLargestBlock = std::size_t{16} << 20;
// Unguided, proofs found in fewer sequents are not shared: searching them
// again costs less than a memory that large proofs would fill with them,
// whose every lookup then misses the cache.
inline constexpr std::uint64_t kLjtSharedUnguided = 256;
// Sequents the quick search may take before the procedure is asked: about
// as long as the procedure needs to start and answer a small problem.  (A
// second quick search of a sequent the procedure proved, before the guided
// search, was measured to lose more on the problems that outgrow it than it
// won on the others.)
inline constexpr std::uint64_t kLjtQuickSteps = 200;
// Proof nodes of an abandoned search worth a thread of their own to release,
// so that an interrupt is answered at once.
inline constexpr std::size_t kReleaseInBackground = std::size_t{1} << 16;
// Sequents a plain search may take to settle a choice of the guided search
// before the procedure is asked: about the cost of one question to the
// procedure on small problems.
inline constexpr std::uint64_t kLjtProbeSteps = 48;
// Positions and clauses of a prefixed-search level worth a thread of their
// own to release, so that the next level or an interrupt need not wait.
inline constexpr std::size_t kPrefixedReleaseInBackground = std::size_t{1} << 14;

// ---------------------------------------------------------------------------
// Walks over shared trees
// ---------------------------------------------------------------------------
// Walks start plain (no memory of the nodes seen, which small trees, the
// usual case, do not need) and begin to remember after this many steps, so
// that a heavily shared tree costs its distinct nodes rather than its
// unfolded size.
inline constexpr std::int64_t kMemoPlainSteps = std::int64_t{1} << 20;
// The same for a walk whose every step builds a node: it remembers early,
// since what it built would be built again.
inline constexpr std::int64_t kMemoPlainBuildingSteps = std::int64_t{1} << 12;
// Steps of the quick measure (depth, size) without a memory; within it no
// sum can leave the 64-bit range.
inline constexpr std::int64_t kQuickMeasureSteps = std::int64_t{1} << 20;
// Node pairs a structural comparison checks before it remembers them.
inline constexpr std::size_t kPlainComparisonSteps = 4096;
// Term pairs a unification takes apart before it remembers them.
inline constexpr std::size_t kPlainUnifierPairs = 4096;
// Subterm occurrences counted by a plain walk before a counting that shares.
inline constexpr std::uint64_t kPlainOccurrenceWalk = 4096;

// ---------------------------------------------------------------------------
// Small containers
// ---------------------------------------------------------------------------
// Members of an insertion-ordered set or map scanned linearly before it
// builds a hash index: a branch rarely holds more than a dozen worlds.
inline constexpr std::size_t kOrderedScanLimit = 12;
// Terms of a unification's bank beyond which the bank is let go instead of
// kept for the thread's next unification: the spare stays small.
inline constexpr std::size_t kKeptWorkspaceTerms = 4096;

// ---------------------------------------------------------------------------
// The stack
// ---------------------------------------------------------------------------
// Stack kept free below the deepest guarded frame, for the frames that the
// walk's own callees (allocation, string building, the interpreter) need;
// a thread stack smaller than four times this keeps a quarter of it.
inline constexpr std::uintptr_t kStackReserve = std::uintptr_t{512} << 10;
inline constexpr std::uintptr_t kSmallStackReserveDivisor = 4;
// Stack a guarded walk may use when the thread's stack bounds cannot be read.
inline constexpr std::uintptr_t kFallbackStackBudget = std::uintptr_t{2} << 20;

// ---------------------------------------------------------------------------
// Interrupts and deadlines
// ---------------------------------------------------------------------------
// A poller counts loop steps down a stride and reads the clock at its end;
// the stride doubles while clock reads come sooner than kPollTooSoon and
// halves when they come later than kPollTooLate, so that the clock is read
// every half to five milliseconds whatever a step costs.
inline constexpr std::int64_t kFirstPollStride = 64;
inline constexpr std::int64_t kMinPollStride = 1;
inline constexpr std::int64_t kMaxPollStride = std::int64_t{1} << 12;
inline constexpr std::chrono::microseconds kPollTooSoon{500};
inline constexpr std::chrono::milliseconds kPollTooLate{5};
// The host is asked whether to stop (Ctrl-C) this often: well within the
// tenth of a second in which an interrupt is answered, and rarely enough that
// asking costs nothing.
inline constexpr std::chrono::milliseconds kInterruptCheckInterval{20};
// A time limit of a year or more is no deadline (and cannot overflow the clock).
inline constexpr double kNoDeadlineSeconds = 365.0 * 24 * 3600;
// Conclusions the classical engine derives between two checks of its limits
// (an inference can derive many).
inline constexpr std::uint32_t kConclusionsPerLimitCheck = 64;
// Work charges of the prefixed search between two reads of the clock.
inline constexpr std::uint64_t kSearchChargesPerClockRead = 16;

// ---------------------------------------------------------------------------
// Clausification by names
// ---------------------------------------------------------------------------
// A disjunction whose sides' clause counts multiply past this is not
// distributed: the larger side is named, when naming it makes fewer clauses.
inline constexpr std::uint64_t kCnfProductToName = 8;
// A subformula that occurs again is named when its tree is larger than this.
inline constexpr std::uint64_t kCnfSharedSizeToName = 8;

}  // namespace core::limits
