#include "sim/link/faults.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/vlink/frame.h"
#include "sim/framing.h"
#include "transport/des.h"

namespace qksim::link {
namespace {

namespace vlink = qk::platform::vlink;

struct KindName {
  FaultKind kind;
  const char* name;
  bool takesArg;
  bool needsArg;
};

constexpr KindName kKinds[] = {
    {FaultKind::kDrop, "drop", false, false},
    {FaultKind::kDelay, "delay", true, true},
    {FaultKind::kSlow, "slow", true, true},
    {FaultKind::kCorrupt, "corrupt", true, false},
    {FaultKind::kTruncate, "truncate", true, false},
    {FaultKind::kCut, "cut", false, false},
    {FaultKind::kRepeat, "repeat", true, false},
    {FaultKind::kBadTotal, "badtotal", true, false},
    {FaultKind::kBadOffset, "badoffset", true, false},
    {FaultKind::kHangUp, "hangup", false, false},
    {FaultKind::kSilent, "silent", false, false},
};

// Longest delay a rule may ask for: long enough to outlast any limit of the
// library, short enough that a served token never hangs for good.
constexpr uint32_t kMaxDelayMs = 600000;
constexpr uint32_t kMaxRepeat = 16;
constexpr size_t kBodySize = 64;
constexpr uint32_t kDefaultBadOffset = 0x0400;

bool ParseNumber(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 10) return false;
  int base = 10;
  std::string digits = text;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    digits = text.substr(2);
  }
  for (char c : digits) {
    const bool ok =
        base == 10 ? (c >= '0' && c <= '9')
                   : ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
    if (!ok) return false;
  }
  errno = 0;
  const unsigned long long parsed = std::strtoull(digits.c_str(), nullptr, base);
  if (errno != 0 || parsed > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(parsed);
  return true;
}

bool CheckArgument(FaultKind kind, uint32_t arg, std::string* error) {
  switch (kind) {
    case FaultKind::kDelay:
    case FaultKind::kSlow:
      if (arg > kMaxDelayMs) {
        *error = "a delay is at most " + std::to_string(kMaxDelayMs) + " ms";
        return false;
      }
      return true;
    case FaultKind::kCorrupt:
      if (arg < 1 || arg > kBodySize) {
        *error = "corrupt takes a report byte position from 1 to 64";
        return false;
      }
      return true;
    case FaultKind::kRepeat:
      if (arg < 1 || arg > kMaxRepeat) {
        *error = "repeat takes 1 to " + std::to_string(kMaxRepeat) + " extra copies";
        return false;
      }
      return true;
    case FaultKind::kBadTotal:
    case FaultKind::kBadOffset:
      if (arg > 0xFFFF) {
        *error = "a total length or offset is a 16-bit value";
        return false;
      }
      return true;
    default:
      return true;
  }
}

std::vector<uint8_t> FrameOf(const Report& report) {
  std::vector<uint8_t> bytes;
  vlink::AppendFrame(vlink::kFrameReport, report.data(), report.size(), &bytes);
  return bytes;
}

// Rewrites the plain header of an answer report; enciphered reports are
// opened and closed again under the session key, as the host and the token
// would do.
void RewriteHeader(Report* report, const FaultRule& rule, const AnswerCipher& cipher) {
  uint8_t* body = report->data() + 1;
  uint8_t plain[kBodySize];
  if (cipher.plain) {
    std::copy(body, body + kBodySize, plain);
  } else if (cipher.sessionKey != nullptr) {
    qk::ChainDecrypt(body, plain, cipher.sessionKey, kBodySize);
  } else {
    body[0] ^= 0xFF;  // the header is out of reach: spoil it blindly
    return;
  }
  ReportHeader header = ReadReportHeader(plain);
  if (rule.kind == FaultKind::kBadTotal) {
    header.total = rule.arg ? *rule.arg : header.total + kChunkSize;
  } else {
    header.offset = rule.arg ? *rule.arg : kDefaultBadOffset;
  }
  WriteReportHeader(header, plain);
  if (cipher.plain) {
    std::copy(plain, plain + kBodySize, body);
  } else {
    qk::TokenChainEncrypt(plain, body, cipher.sessionKey, kBodySize);
  }
}

}  // namespace

std::string FaultKindName(FaultKind kind) {
  for (const KindName& k : kKinds) {
    if (k.kind == kind) return k.name;
  }
  return "?";
}

bool ParseFaultRule(const std::string& text, FaultRule* rule, std::string* error) {
  std::string rest = text;
  FaultRule parsed;
  const size_t plus = rest.find('+');
  if (plus != std::string::npos) {
    if (!ParseNumber(rest.substr(plus + 1), &parsed.skip)) {
      *error = "bad skip count in fault '" + text + "'";
      return false;
    }
    rest.resize(plus);
  }
  const size_t at = rest.find('@');
  if (at != std::string::npos) {
    const std::string count = rest.substr(at + 1);
    uint32_t times = 0;
    if (count != "always") {
      if (!ParseNumber(count, &times) || times == 0) {
        *error = "bad count in fault '" + text + "' (a number above 0, or 'always')";
        return false;
      }
      parsed.times = times;
    }
    rest.resize(at);
  }
  std::string argText;
  const size_t colon = rest.find(':');
  const bool hasArg = colon != std::string::npos;
  if (hasArg) {
    argText = rest.substr(colon + 1);
    rest.resize(colon);
  }
  const KindName* found = nullptr;
  for (const KindName& k : kKinds) {
    if (rest == k.name) found = &k;
  }
  if (found == nullptr) {
    *error = "unknown fault kind '" + rest + "' in '" + text + "'";
    return false;
  }
  parsed.kind = found->kind;
  if (hasArg && !found->takesArg) {
    *error = "fault '" + rest + "' takes no argument";
    return false;
  }
  if (!hasArg && found->needsArg) {
    *error = "fault '" + rest + "' needs an argument in milliseconds, as in " + rest + ":300";
    return false;
  }
  if (hasArg) {
    uint32_t value = 0;
    if (!ParseNumber(argText, &value)) {
      *error = "bad argument '" + argText + "' in fault '" + text + "'";
      return false;
    }
    if (!CheckArgument(parsed.kind, value, error)) return false;
    parsed.arg = value;
  }
  *rule = parsed;
  return true;
}

AnswerPlan PlanAnswer(const std::vector<Report>& answers, const FaultRule* rule,
                      const AnswerCipher& cipher) {
  AnswerPlan plan;
  auto sendAll = [&plan](const std::vector<Report>& reports, uint32_t delayMs) {
    PlannedSend send;
    send.delayMs = delayMs;
    for (const Report& r : reports) {
      const std::vector<uint8_t> frame = FrameOf(r);
      send.bytes.insert(send.bytes.end(), frame.begin(), frame.end());
    }
    if (!send.bytes.empty()) plan.sends.push_back(std::move(send));
  };
  if (rule == nullptr) {
    sendAll(answers, 0);
    return plan;
  }
  std::vector<Report> reports = answers;
  switch (rule->kind) {
    case FaultKind::kDrop:
    case FaultKind::kSilent:  // nothing to answer: the command never ran
      break;
    case FaultKind::kDelay:
      sendAll(reports, rule->arg.value_or(0));
      break;
    case FaultKind::kSlow:
      for (const Report& r : reports) sendAll({r}, rule->arg.value_or(0));
      break;
    case FaultKind::kCorrupt: {
      const size_t position = rule->arg.value_or(1);
      for (Report& r : reports) r[position] ^= 0xFF;
      sendAll(reports, 0);
      break;
    }
    case FaultKind::kTruncate: {
      const size_t keep = rule->arg ? std::min<size_t>(*rule->arg, reports.size())
                                    : (reports.empty() ? 0 : reports.size() - 1);
      reports.resize(keep);
      sendAll(reports, 0);
      break;
    }
    case FaultKind::kCut:
      if (!reports.empty()) {
        std::vector<uint8_t> frame = FrameOf(reports.front());
        frame.resize(frame.size() / 2);
        plan.sends.push_back(PlannedSend{0, std::move(frame)});
      }
      plan.senderOnly = true;
      plan.hangUpSender = true;
      break;
    case FaultKind::kRepeat: {
      std::vector<Report> repeated;
      for (uint32_t i = 0; i <= rule->arg.value_or(1); ++i) {
        repeated.insert(repeated.end(), reports.begin(), reports.end());
      }
      sendAll(repeated, 0);
      break;
    }
    case FaultKind::kBadTotal:
    case FaultKind::kBadOffset:
      for (Report& r : reports) RewriteHeader(&r, *rule, cipher);
      sendAll(reports, 0);
      break;
    case FaultKind::kHangUp:
      plan.senderOnly = true;
      plan.hangUpSender = true;
      break;
  }
  return plan;
}

void FaultInjector::Add(const FaultRule& rule) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.push_back(rule);
}

void FaultInjector::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.clear();
}

size_t FaultInjector::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rules_.size();
}

void FaultInjector::Prune() {
  while (!rules_.empty() && rules_.front().times && *rules_.front().times == 0) {
    rules_.erase(rules_.begin());
  }
}

bool FaultInjector::SwallowReport(bool endsCommand) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (rules_.empty()) return false;
  FaultRule& head = rules_.front();
  if (head.kind != FaultKind::kSilent || head.skip > 0) return false;
  if (endsCommand && head.times) {
    --*head.times;
    Prune();
  }
  return true;
}

std::optional<FaultRule> FaultInjector::TakeForAnswer() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (rules_.empty()) return std::nullopt;
  FaultRule& head = rules_.front();
  if (head.skip > 0) {
    --head.skip;
    return std::nullopt;
  }
  // A silent token has no answer to spoil; one given anyway (a command that
  // was under way when silence began) goes out whole.
  if (head.kind == FaultKind::kSilent) return std::nullopt;
  FaultRule taken = head;
  if (head.times) {
    --*head.times;
    Prune();
  }
  return taken;
}

}  // namespace qksim::link
