// Serves one simulated token on the virtual link: a Unix-domain socket
// DIR/NAME.sock, or loopback TCP announced by DIR/NAME.tcp ("port N",
// "secret HEX"), as programs using the library expect to find them.
//
// One thread per server runs a poll() loop over the listening socket and
// every connection. Every connection that completes its open talks to the
// token's one session, as every handle on a HID token does; every answer goes
// to every open connection, the sender's last. Everything a peer sends is judged hostile: a
// malformed frame closes its connection, and every buffer, queue and wait is bounded.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "sim/link/faults.h"
#include "sim/token.h"

namespace qksim::link {

struct LinkOptions {
  std::string directory;        // must exist; the entry is created in it
  std::string name = "token0";  // letters, digits, '.', '_', '-'; not starting with '.'
  bool tcp = false;             // loopback TCP instead of a Unix-domain socket
  Identity identity;            // what the open frame is answered with
};

// Limits of one server.
constexpr size_t kMaxConnections = 32;  // opened ones
// Connections not yet opened: held apart, the oldest closed beyond this.
constexpr size_t kMaxPendingConnections = 64;
constexpr uint32_t kOpenFrameWaitMs = 2000;  // connect to a completed open
constexpr size_t kMaxQueuedOutputPerConnection = 256 * 1024;
constexpr size_t kMaxScheduledBytes = 4 * 1024 * 1024;

class LinkServerLoop;

class LinkServer {
 public:
  // `token` must outlive the server.
  LinkServer(Token& token, LinkOptions options);
  ~LinkServer();
  LinkServer(const LinkServer&) = delete;
  LinkServer& operator=(const LinkServer&) = delete;

  // Creates the entry and starts serving. False with a message on failure
  // (nothing is left behind then).
  bool Start(std::string* error);
  // Removes the entry, closes every connection and stops the thread.
  void Stop();

  // The token's fault rules; may be changed while serving.
  FaultInjector& Faults() { return faults_; }
  // DIR/NAME.sock or DIR/NAME.tcp.
  std::string EntryPath() const;
  // Connections that completed their open (for tests and diagnosis).
  size_t OpenConnections() const { return openConnections_.load(); }

 private:
  bool CreateLocalEntry(std::string* error);
  bool CreateTcpEntry(std::string* error);
  void RemoveEntry();

  Token& token_;
  LinkOptions options_;
  FaultInjector faults_;
  int listenFd_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  uint8_t secret_[32] = {};
  uint64_t entryDevice_ = 0;
  uint64_t entryInode_ = 0;
  bool entryCreated_ = false;
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> openConnections_{0};
  std::unique_ptr<LinkServerLoop> loop_;
  std::thread thread_;
};

// True for a name the server accepts (and a trace line can carry).
bool IsValidTokenName(const std::string& name);

}  // namespace qksim::link
