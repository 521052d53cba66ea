// The token a command works on: listed, opened inside one transaction (so no
// other program's command falls between this command's steps), logged in,
// and closed again whatever happens.
#include <cstdio>
#include <cstring>

#include "cli.h"

namespace qktool {

namespace {

std::string PathOf(const QKContext& context) {
  char path[512];
  if (QKGetDevicePath(&context, path, sizeof path, nullptr) != QK_E_SUCCESS) return "";
  return path;
}

}  // namespace

uint32_t BeginTransaction(QKContext* context, bool* held) {
  const uint32_t rc = QKBeginTransaction(context, QK_WAIT_DEFAULT);
  *held = rc == QK_E_SUCCESS;
  return rc;
}

Session::Session(const Options& options) : options_(options) {}

Session::~Session() {
  // Errors here cannot change the outcome any more; the token forgets the
  // session's PIN state at close.
  if (open_) QKCloseDevice(&context_);
  if (inTransaction_) QKEndTransaction(&context_);
}

void Session::Check(const std::string& step, uint32_t result) {
  if (result != QK_E_SUCCESS) throw TokenError(step, result);
}

std::vector<QKContext> Session::List(uint32_t* failure) {
  uint32_t count = 0;
  uint32_t rc = QKListDevices(nullptr, &count);
  if (failure != nullptr) *failure = QK_E_SUCCESS;
  // A count query answers QK_E_BUFFER_TOO_SMALL when tokens exist; with none
  // it may answer the last listing error: an interface of the token's that
  // could not be opened (busy, refused, or closed on the listing).
  if (count == 0) {
    if (failure != nullptr) *failure = rc;
    return {};
  }
  if (rc != QK_E_BUFFER_TOO_SMALL && rc != QK_E_SUCCESS) throw TokenError("listing tokens", rc);
  std::vector<QKContext> contexts(count);
  rc = QKListDevices(contexts.data(), &count);
  if (rc != QK_E_SUCCESS) throw TokenError("listing tokens", rc);
  contexts.resize(count);
  return contexts;
}

void Session::Open() {
  const std::vector<QKContext> contexts = List();
  if (contexts.empty()) throw TokenError("finding a token", QK_E_DEVICE_NOT_CONNECTED);
  if (!options_.path.empty()) {
    bool found = false;
    for (const QKContext& c : contexts) {
      if (PathOf(c) == options_.path) {
        context_ = c;
        found = true;
      }
    }
    if (!found) throw UsageError("no token at --path '" + options_.path + "'");
  } else {
    const size_t index = options_.token < 0 ? 0 : static_cast<size_t>(options_.token);
    if (index >= contexts.size()) {
      throw UsageError("--token " + std::to_string(index) + ": only " +
                       std::to_string(contexts.size()) + " token(s) attached");
    }
    context_ = contexts[index];
  }
  Check("starting a transaction", BeginTransaction(&context_, &inTransaction_));
  Check("opening the token", QKOpenDevice(&context_));
  open_ = true;
  if (!options_.dir.empty())
    Check("selecting " + options_.dir, QKSelectDir(&context_, options_.dir.c_str()));
}

void Session::Login(PinNeed need) {
  if (options_.login == "none") need = PinNeed::kNone;
  if (options_.login == "user") need = PinNeed::kUser;
  if (options_.login == "dev") need = PinNeed::kDeveloper;
  if (need == PinNeed::kNone) return;
  const bool developer = need == PinNeed::kDeveloper;
  const std::string pin = developer ? ReadPin(options_, "QKTOOL_DEV_PIN", "developer PIN")
                                    : ReadPin(options_, "QKTOOL_USER_PIN", "user PIN");
  Check(developer ? "verifying the developer PIN" : "verifying the user PIN",
        QKVerifyPin(&context_, reinterpret_cast<const uint8_t*>(pin.data()),
                    static_cast<uint32_t>(pin.size()), developer ? QK_PIN_DEVELOPER : QK_PIN_USER));
}

void StoreWithProgress(Session& session, const Options& options, const std::string& fileId,
                       const std::vector<uint8_t>& data, bool create, uint32_t type) {
  constexpr size_t kChunk = 1020;  // what one write command carries
  if (data.empty() || data.size() > QK_MAX_FILE_SIZE) {
    throw UsageError(fileId + ": a file holds 1 to 65535 bytes, not " +
                     std::to_string(data.size()));
  }
  if (create) {
    session.Check("making file " + fileId, QKMakeFile(session.Context(), fileId.c_str(),
                                                      static_cast<uint32_t>(data.size()), type));
  }
  Progress progress(options, fileId, data.size(), kChunk);
  size_t done = 0;
  while (done < data.size()) {
    const size_t n = std::min(kChunk, data.size() - done);
    const uint32_t rc = QKStoreFile(session.Context(), fileId.c_str(), static_cast<uint32_t>(done),
                                    data.data() + done, static_cast<uint32_t>(n));
    if (rc != QK_E_SUCCESS) {
      progress.Finish();
      // Say plainly what is on the token now.
      throw TokenError("writing file " + fileId + " (" + std::to_string(done) + " of " +
                           std::to_string(data.size()) + " bytes written" +
                           (create ? ", the file was created" : "") + ")",
                       rc);
    }
    done += n;
    progress.Update(done);
  }
  progress.Finish();
}

}  // namespace qktool
