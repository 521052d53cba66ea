// The simulated token's report intake: arbitrary report sequences from three
// hosts on one token, which keeps one session for all of them. Each host
// first agrees a session key the way the host does, so the fuzz bytes can
// reach the token's deciphered paths: the harness enciphers them with the
// host's last key and the token deciphers them under its own (the same key
// unless another host agreed one since). Every answer report must be well
// formed.
//
// Input: a sequence of operations, one byte each plus its operands:
//   op % 3          the host it acts on;
//   (op / 4) % 5    0: a raw 65-byte report, handed over as it is;
//                   1: a 64-byte report body, enciphered here;
//                   2: a whole command (length 2 bytes, then the bytes),
//                      cut into reports and enciphered as the host does;
//                   3: the plain session-key command (a new key);
//                   4: forget the host's key and agree a new one.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "fuzz/input_reader.h"
#include "include/qkrsa.h"
#include "sim/framing.h"
#include "sim/token.h"
#include "transport/des.h"
#include "transport/maker_key.h"

namespace {

using qksim::Report;

constexpr size_t kSessions = 3;
constexpr size_t kMaxOperations = 64;
constexpr size_t kChunk = qksim::kChunkSize;

struct HostSession {
  std::array<uint8_t, 8> key{};
  bool keyed = false;
};

size_t Be16(const uint8_t* p) { return size_t{p[0]} << 8 | p[1]; }

// Checks the answer report bodies of one answer and returns the answer
// (data + status word) they carry.
std::vector<uint8_t> CheckAnswer(const std::vector<qksim::ReportBody>& bodies) {
  std::vector<uint8_t> answer;
  if (bodies.empty()) return answer;
  const size_t total = Be16(bodies[0].data());
  if (total < 2 || total > qksim::kMaxAnswerSize) qkfuzz::Fail("answer total out of range");
  if (bodies.size() != (total + kChunk - 1) / kChunk) qkfuzz::Fail("answer report count");
  for (const qksim::ReportBody& body : bodies) {
    const size_t offset = Be16(body.data() + 2), chunk = body[5];
    if (Be16(body.data()) != total || offset != answer.size() || body[4] != 0) {
      qkfuzz::Fail("answer report header");
    }
    if (chunk == 0 || chunk > kChunk || offset + chunk > total) qkfuzz::Fail("answer chunk");
    answer.insert(answer.end(), body.begin() + 6, body.begin() + 6 + static_cast<long>(chunk));
  }
  return answer;
}

class Harness {
 public:
  Harness() {
    for (HostSession& session : sessions) Reopen(&session);
  }

  void Deliver(HostSession* session, const Report& report) {
    // The token looks only at reports with identifier 0.
    const bool plainKeyCommand = report[0] == 0 && qksim::IsPlainSessionKeyReport(report.data());
    if (!plainKeyCommand && tokenKeyed_ && report[0] == 0 && WouldRunSlowCommand(report)) {
      return Rekey(session);
    }
    std::vector<Report> answers;
    token_.HandleReport(report, &answers);
    std::vector<qksim::ReportBody> bodies(answers.size());
    for (size_t i = 0; i < answers.size(); ++i) {
      if (answers[i][0] != 0) qkfuzz::Fail("answer report identifier");
      if (plainKeyCommand) {
        std::memcpy(bodies[i].data(), answers[i].data() + 1, bodies[i].size());
      } else {
        // Answers are enciphered under the token's key, whichever host asked.
        qk::ChainDecrypt(answers[i].data() + 1, bodies[i].data(), tokenKey_.data(), 64);
      }
    }
    const std::vector<uint8_t> answer = CheckAnswer(bodies);
    if (plainKeyCommand) TakeKey(session, answer);
  }

  // The plain session-key command, as the host sends it.
  void Rekey(HostSession* session) {
    Report report{};
    const uint8_t body[12] = {0x00, 0x06, 0x00, 0x00, 0x00, 0x06, 0x00, 0x47, 0x47, 0x4B, 0, 0};
    std::memcpy(report.data() + 1, body, sizeof body);
    Deliver(session, report);
  }

  void Reopen(HostSession* session) {
    *session = HostSession{};
    Rekey(session);
  }

  void SendBody(HostSession* session, const qksim::ReportBody& plain) {
    Report report{};
    qk::ChainEncrypt(plain.data(), report.data() + 1, session->key.data(), 64);
    Deliver(session, report);
  }

  void SendCommand(HostSession* session, const std::vector<uint8_t>& command) {
    const size_t total = command.size();
    size_t offset = 0;
    do {
      const size_t chunk = std::min(total - offset, kChunk);
      qksim::ReportBody body{};
      const uint8_t header[6] = {static_cast<uint8_t>(total >> 8),
                                 static_cast<uint8_t>(total),
                                 static_cast<uint8_t>(offset >> 8),
                                 static_cast<uint8_t>(offset),
                                 0,
                                 static_cast<uint8_t>(chunk)};
      std::memcpy(body.data(), header, sizeof header);
      if (chunk > 0) std::memcpy(body.data() + 6, command.data() + offset, chunk);
      SendBody(session, body);
      offset += chunk;
    } while (offset < total);
  }

  HostSession sessions[kSessions];

 private:
  // Opens the session-key answer with the maker's public key, as the host does.
  void TakeKey(HostSession* session, const std::vector<uint8_t>& answer) {
    if (answer.size() != 66 || answer[64] != 0x90 || answer[65] != 0x00) {
      qkfuzz::Fail("session-key answer malformed");
    }
    // The token draws its session keys from a small pool in fuzz builds, so
    // each block is opened once and remembered.
    static std::map<std::vector<uint8_t>, std::array<uint8_t, 8>> opened;
    const std::vector<uint8_t> block(answer.begin(), answer.begin() + 64);
    auto known = opened.find(block);
    if (known == opened.end()) {
      uint8_t plain[RSA_MAX_MODULUS_BYTES] = {};
      uint32_t length = 0;
      if (RsaPublicBlock(plain, &length, block.data(), 64, &qk::MakerPublicKey()) != 0 ||
          length != 64) {
        qkfuzz::Fail("session-key block does not open");
      }
      std::array<uint8_t, 8> key{};
      std::memcpy(key.data(), plain, key.size());
      known = opened.emplace(block, key).first;
    }
    session->key = known->second;
    session->keyed = true;
    tokenKey_ = session->key;
    tokenKeyed_ = true;
    shadow_.Reset();
  }

  // Mirrors the token's reassembly; true when this report would complete a
  // key-pair command (INS 0x46) for more than 512 bits (size code 1 at offset
  // 10). That costs seconds on the token, so it is swapped for a re-key.
  bool WouldRunSlowCommand(const Report& report) {
    qksim::ReportBody body{};
    qk::TokenChainDecrypt(report.data() + 1, body.data(), tokenKey_.data(), 64);
    std::vector<uint8_t> command;
    if (shadow_.Add(body, &command) != qksim::Reassembler::Outcome::kComplete) return false;
    return command.size() >= 11 && command[1] == 0x46 && command[10] != 0x01;
  }

  qksim::Token token_;
  std::array<uint8_t, 8> tokenKey_{};  // the key of the token's one session
  bool tokenKeyed_ = false;
  qksim::Reassembler shadow_;  // follows the token's reassembly
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qkfuzz::InputReader in(data, size);
  Harness harness;
  for (size_t step = 0; step < kMaxOperations && !in.Empty(); ++step) {
    const uint8_t op = in.U8();
    HostSession* session = &harness.sessions[op % kSessions];
    const int kind = (op / 4) % 5;
    if (kind == 0) {
      Report report{};
      in.Fill(report.data(), report.size());
      harness.Deliver(session, report);
    } else if (kind == 1) {
      qksim::ReportBody body{};
      in.Fill(body.data(), body.size());
      harness.SendBody(session, body);
    } else if (kind == 2) {
      harness.SendCommand(session, in.Take(in.U16() % (qksim::kMaxCommandSize + 1)));
    } else if (kind == 3) {
      harness.Rekey(session);
    } else {
      harness.Reopen(session);
    }
  }
  return 0;
}
