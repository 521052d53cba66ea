// Fault injection for a served token: rules that spoil the token's answers
// (or its silence) on purpose, so that the library's handling of a broken
// link can be exercised. Rules are switchable at run time, per token.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/token.h"

namespace qksim::link {

enum class FaultKind {
  kDrop,       // the command runs, its answer is thrown away
  kDelay,      // the whole answer goes out `arg` ms late
  kSlow,       // every answer report waits `arg` ms before it goes
  kCorrupt,    // report byte `arg` (1..64, default 1) of every answer report is inverted
  kTruncate,   // only the first `arg` answer reports go (default: all but the last)
  kCut,        // half of the first answer frame, then the sender's connection closes
  kRepeat,     // the whole answer is sent 1 + `arg` times (default 1 extra)
  kBadTotal,   // every answer report names total length `arg` (default: true total + 58)
  kBadOffset,  // every answer report names offset `arg` (default 0x0400)
  kHangUp,     // the sender's connection closes instead of answering
  kSilent,     // host reports are swallowed unread: the command never runs
};

struct FaultRule {
  FaultKind kind = FaultKind::kDrop;
  std::optional<uint32_t> arg;    // the kind's parameter, when given
  std::optional<uint32_t> times;  // answers (commands, for silent) it spoils; none: always
  uint32_t skip = 0;              // healthy answers let through before it starts
};

// Parses "KIND[:ARG][@COUNT|@always][+SKIP]", for example "drop", "slow:300",
// "corrupt:5@2", "truncate@1+3". Numbers are decimal (or 0x hex). False with
// a message in *error on anything else.
bool ParseFaultRule(const std::string& text, FaultRule* rule, std::string* error);
std::string FaultKindName(FaultKind kind);

// How one answer leaves the token.
struct PlannedSend {
  uint32_t delayMs = 0;        // after the previous send of the same answer
  std::vector<uint8_t> bytes;  // frame bytes, ready for the wire
};
struct AnswerPlan {
  std::vector<PlannedSend> sends;
  bool senderOnly = false;    // the sends go to the sender alone, not to every connection
  bool hangUpSender = false;  // close the sender's connection after the sends
};

// What the planner knows of the answer's encipherment: plain (the session-key
// answer), enciphered under a key the link learned, or enciphered under an
// unknown key (the length faults then fall back to corrupting the report).
struct AnswerCipher {
  bool plain = false;
  const uint8_t* sessionKey = nullptr;  // 8 bytes, or null
};

// The frames for `answers` as `rule` (null: no fault) spoils them.
AnswerPlan PlanAnswer(const std::vector<Report>& answers, const FaultRule* rule,
                      const AnswerCipher& cipher);

// The active rules of one token: a queue whose head applies until its count
// runs out. Thread-safe: tests and the command line change it while the
// token serves.
class FaultInjector {
 public:
  void Add(const FaultRule& rule);
  void Clear();
  size_t Count() const;

  // Called for every host report before the token sees it; true when the
  // token is silent and the report must be swallowed. `endsCommand` tells
  // whether the report completes a command (a swallowed command uses up one
  // of the rule's count).
  bool SwallowReport(bool endsCommand);
  // Called for every answer the token gives; the rule that spoils it, if any.
  std::optional<FaultRule> TakeForAnswer();

 private:
  // Drops rules whose count has run out.
  void Prune();

  mutable std::mutex mutex_;
  std::vector<FaultRule> rules_;
};

}  // namespace qksim::link
