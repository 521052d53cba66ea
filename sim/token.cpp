// The token core: its one session, report decipherment and reassembly, dispatch to
// the command interpreter, persistence of every change, answer reports.
#include "sim/token.h"

#include <mutex>
#include <utility>

#include "sim/commands.h"
#include "sim/framing.h"
#include "sim/image.h"
#include "sim/session_key.h"
#include "sim/status_words.h"
#include "transport/des.h"

namespace qksim {

class TokenImpl {
 public:
  TokenImpl(TokenState initial, std::string imagePath)
      : state_(std::move(initial)), imagePath_(std::move(imagePath)) {
    session_.currentDirectory = state_.fileSystem.RootHandle();
  }

  void SetTraceSink(std::function<void(const TraceEvent&)> sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    sink_ = std::move(sink);
  }

  std::string Serial() {
    std::lock_guard<std::mutex> lock(mutex_);
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : state_.serial) {
      text.push_back(kHex[b >> 4]);
      text.push_back(kHex[b & 15]);
    }
    return text;
  }

  void HandleReport(const Report& report, std::vector<Report>* answers) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (report[0] != 0) return;  // another report identifier
    SessionState& session = session_;
    if (IsPlainSessionKeyReport(report.data())) {
      AnswerSessionKey(&session, answers);
      return;
    }
    if (!session.keyed) return;  // nothing to decipher with: a real token cannot answer either
    ReportBody body;
    qk::TokenChainDecrypt(report.data() + 1, body.data(), session.key.data(), 64);
    std::vector<uint8_t> command;
    if (session.reassembler.Add(body, &command) != Reassembler::Outcome::kComplete) return;

    Trace(true, RedactCommand(command));
    std::vector<uint8_t> answer = Run(command, &session);
    Trace(false, RedactAnswer(command, answer));
    for (const ReportBody& plain : FragmentAnswer(answer)) {
      Report out{};
      qk::TokenChainEncrypt(plain.data(), out.data() + 1, session.key.data(), 64);
      answers->push_back(out);
    }
  }

  // Persists the current state; used when an image is first created.
  bool Save(std::string* error) { return WriteImageFile(imagePath_, EncodeImage(state_), error); }

 private:
  // A session-key command starts the session afresh: new key, the root as
  // current directory, no PIN verified.
  void AnswerSessionKey(SessionState* session, std::vector<Report>* answers) {
    static const std::vector<uint8_t> kCommand = {0x00, 0x47, 0x47, 0x4B, 0x00, 0x00};
    ++sessionNumber_;
    Trace(true, kCommand);
    session->reassembler.Reset();
    std::array<uint8_t, 8> key{};
    std::vector<uint8_t> answer;
    if (MakeSessionKey(&random_, &key, &answer)) {
      session->keyed = true;
      session->key = key;
      session->currentDirectory = state_.fileSystem.RootHandle();
      session->userEpoch = 0;
      session->developerEpoch = 0;
      answer.push_back(0x90);
      answer.push_back(0x00);
    } else {
      answer = {static_cast<uint8_t>(kSwInternal >> 8), static_cast<uint8_t>(kSwInternal)};
    }
    Trace(false, answer);
    for (const ReportBody& plain : FragmentAnswer(answer)) {
      Report out{};
      std::copy(plain.begin(), plain.end(), out.begin() + 1);
      answers->push_back(out);
    }
  }

  // Runs a command; when it changed a persisted token, the change is stored
  // before the answer is given, and a failed store undoes it.
  std::vector<uint8_t> Run(const std::vector<uint8_t>& command, SessionState* session) {
    const bool persisted = !imagePath_.empty();
    TokenState stateBefore;
    SessionState sessionBefore;
    if (persisted) {
      stateBefore = state_;
      sessionBefore = *session;
    }
    CommandEnvironment env{&state_, session, &random_, epoch_};
    std::vector<uint8_t> answer = RunCommand(command, &env);
    if (env.stateChanged && persisted) {
      std::string error;
      if (!Save(&error)) {
        state_ = std::move(stateBefore);
        *session = std::move(sessionBefore);
        return {static_cast<uint8_t>(kSwStorageFailed >> 8),
                static_cast<uint8_t>(kSwStorageFailed)};
      }
    }
    if (env.epochAdvanced) ++epoch_;
    return answer;
  }

  void Trace(bool fromHost, std::vector<uint8_t> bytes) {
    if (sink_) sink_(TraceEvent{sessionNumber_, fromHost, std::move(bytes)});
  }

  std::mutex mutex_;
  TokenState state_;
  std::string imagePath_;  // empty: changes are kept in memory only
  Random random_;
  uint64_t epoch_ = 1;  // sessions hold 0 when nothing is verified
  SessionState session_;       // the one session every handle shares
  uint32_t sessionNumber_ = 0;  // keys agreed so far
  std::function<void(const TraceEvent&)> sink_;
};

namespace {

TokenState FreshState() {
  Random random;
  return DefaultState(&random);
}

}  // namespace

Token::Token() : impl_(std::make_unique<TokenImpl>(FreshState(), std::string())) {}

Token::Token(std::unique_ptr<TokenImpl> impl) : impl_(std::move(impl)) {}

Token::~Token() = default;

std::unique_ptr<Token> Token::OpenImage(const std::string& path, std::string* error) {
  std::string reason;
  std::vector<uint8_t> bytes;
  switch (ReadImageFile(path, &bytes, &reason)) {
    case ImageRead::kFailed:
      if (error != nullptr) *error = reason;
      return nullptr;
    case ImageRead::kMissing: {
      auto impl = std::make_unique<TokenImpl>(FreshState(), path);
      if (!impl->Save(&reason)) {
        if (error != nullptr) *error = "cannot create token image: " + reason;
        return nullptr;
      }
      return std::unique_ptr<Token>(new Token(std::move(impl)));
    }
    case ImageRead::kLoaded:
      break;
  }
  TokenState state;
  if (!DecodeImage(bytes, &state, &reason)) {
    if (error != nullptr) *error = path + ": " + reason + "; the image was left untouched";
    return nullptr;
  }
  return std::unique_ptr<Token>(new Token(std::make_unique<TokenImpl>(std::move(state), path)));
}

void Token::HandleReport(const Report& report, std::vector<Report>* answers) {
  impl_->HandleReport(report, answers);
}
void Token::SetTraceSink(std::function<void(const TraceEvent&)> sink) {
  impl_->SetTraceSink(std::move(sink));
}
std::string Token::Serial() const { return impl_->Serial(); }

}  // namespace qksim
