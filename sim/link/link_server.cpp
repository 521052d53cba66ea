#include "sim/link/link_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <vector>

#include "platform/vlink/frame.h"
#include "platform/vlink/hex.h"
#include "platform/vlink/proof.h"
#include "platform/vlink/sha256.h"
#include "platform/vlink/socket_send.h"
#include "platform/vlink/tcp_entry.h"
#include "sim/link/key_watch.h"

namespace qksim::link {

namespace vlink = qk::platform::vlink;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kOpenPayloadLocal = 2;  // version, share mode
constexpr size_t kOpenPayloadTcp = kOpenPayloadLocal + vlink::kNonceSize;
constexpr size_t kReceiveChunk = 4096;
// Bytes taken from one connection per turn of the loop, so one busy peer
// cannot starve the others.
constexpr size_t kReceivePerTurn = 64 * 1024;
constexpr size_t kMaxNameLength = 64;
// Far more than the connections held in their open (the kernel caps it at
// its own limit): a flood's connects wait in the queue, to be taken in and
// made room for at once (below), instead of the owner's connect being
// dropped while the queue is full.
constexpr int kListenBacklog = 4096;
constexpr size_t kMaxAcceptsPerTurn = 64;
static_assert(kListenBacklog >= static_cast<int>(kMaxPendingConnections), "the queue fits the cap");

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

void CloseFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

bool SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
         fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

bool FillLocalAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Whether something answers at the socket `path` (a server already running).
bool LocalSocketAnswers(const std::string& path) {
  sockaddr_un address;
  if (!FillLocalAddress(path, &address)) return false;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool answers = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return answers;
}

bool LoopbackPortAnswers(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool answers = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return answers;
}

// A .tcp entry left by a server that is gone may be replaced; one whose
// port still answers belongs to a running server.
bool TcpEntryIsLive(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  char text[vlink::kMaxTcpFileSize];
  const ssize_t n = read(fd, text, sizeof text);
  close(fd);
  vlink::TcpEndpoint endpoint;
  if (n <= 0 || !vlink::ParseTcpFile(text, static_cast<size_t>(n), &endpoint)) return false;
  return LoopbackPortAnswers(endpoint.port);
}

std::string TempNameFor(const std::string& directory, const std::string& name) {
  uint8_t random[6];
  if (!vlink::SystemRandom(random, sizeof random)) std::memset(random, 0, sizeof random);
  // A leading dot and no listed suffix: listing never sees a half-made entry.
  return directory + "/." + name + "." + vlink::Hex(random, sizeof random) + ".tmp";
}

}  // namespace

bool IsValidTokenName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameLength || name[0] == '.') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
  });
}

// ---- The loop --------------------------------------------------------------

struct LoopContext {
  Token& token;
  FaultInjector& faults;
  const LinkOptions& options;
  const uint8_t* secret;
  int listenFd;
  int wakeFd;
  std::atomic<bool>& stopping;
  std::atomic<size_t>& openConnections;
};

class LinkServerLoop {
 public:
  explicit LinkServerLoop(LoopContext context) : c_(context) {}
  void Run();

 private:
  struct Connection {
    uint64_t id = 0;
    int fd = -1;
    vlink::FrameReader reader;
    bool opened = false;
    bool proving = false;  // TCP: the token's proof sent, the client's awaited
    bool heard = false;    // has sent at least one byte
    bool exclusive = false;
    bool closing = false;  // send what is queued, then close; read nothing more
    bool dead = false;
    Clock::time_point openDeadline;
    uint8_t clientNonce[vlink::kNonceSize] = {};
    uint8_t tokenNonce[vlink::kNonceSize] = {};
    std::deque<std::vector<uint8_t>> out;
    size_t frontSent = 0;
    size_t queuedBytes = 0;
  };
  struct Delivery {
    Clock::time_point due;
    std::vector<uint64_t> targets;  // others first, the sender last
    std::vector<uint8_t> bytes;
    uint64_t hangUp = 0;  // connection to close after this send; 0 for none
  };

  void Accept();
  // Closes one connection still in its open when the pending ones are at
  // their limit; false when none may be closed for room.
  bool MakeRoomForOneMore();
  bool HasWaitingBytes(Connection* conn);
  void Receive(Connection* conn);
  void HandleFrame(Connection* conn, const vlink::Frame& frame);
  void HandleOpen(Connection* conn, const vlink::Frame& frame);
  void HandleClientProof(Connection* conn, const vlink::Frame& frame);
  void Admit(Connection* conn);
  size_t CountOpened() const;
  void HandleReport(Connection* conn, const vlink::Frame& frame);
  void Refuse(Connection* conn, uint32_t reason);
  void Schedule(const AnswerPlan& plan, uint64_t sender);
  void ReleaseDue(Clock::time_point now);
  void Queue(Connection* conn, std::vector<uint8_t> bytes);
  void Flush(Connection* conn);
  void Kill(Connection* conn);
  void Reap();
  void CloseAll();
  Connection* Find(uint64_t id);
  int PollTimeoutMs(Clock::time_point now) const;

  LoopContext c_;
  std::vector<std::unique_ptr<Connection>> connections_;
  std::deque<Delivery> deliveries_;
  // The token's one session key, as the link can learn it: whoever asked
  // for it, every connection's reports are enciphered under it.
  KeyWatch keys_;
  size_t scheduledBytes_ = 0;
  uint64_t nextId_ = 1;
};

void LinkServerLoop::Run() {
  std::vector<pollfd> fds;
  while (!c_.stopping.load()) {
    const Clock::time_point now = Clock::now();
    ReleaseDue(now);
    for (auto& conn : connections_) {
      if (!conn->opened && !conn->dead && now >= conn->openDeadline) Kill(conn.get());
    }
    Reap();

    fds.clear();
    fds.push_back({c_.wakeFd, POLLIN, 0});
    fds.push_back({c_.listenFd, POLLIN, 0});
    for (auto& conn : connections_) {
      short events = conn->closing ? 0 : POLLIN;
      if (!conn->out.empty()) events = static_cast<short>(events | POLLOUT);
      fds.push_back({conn->fd, events, 0});
    }
    const int ready = poll(fds.data(), static_cast<nfds_t>(fds.size()), PollTimeoutMs(now));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if (fds[0].revents != 0) {
      uint8_t drain[64];
      while (read(c_.wakeFd, drain, sizeof drain) > 0) {
      }
    }
    // Connections accepted below are polled from the next turn on; the
    // descriptors polled now are the first `polled` connections.
    const size_t polled = fds.size() - 2;
    for (size_t i = 0; i < polled; ++i) {
      Connection* conn = connections_[i].get();
      const short revents = fds[i + 2].revents;
      if (conn->dead || revents == 0) continue;
      if ((revents & POLLOUT) != 0) Flush(conn);
      if (!conn->dead && (revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        if (conn->closing) {
          if ((revents & (POLLHUP | POLLERR)) != 0) Kill(conn);
        } else {
          Receive(conn);
        }
      }
    }
    if ((fds[1].revents & POLLIN) != 0) Accept();
  }
  CloseAll();
}

int LinkServerLoop::PollTimeoutMs(Clock::time_point now) const {
  Clock::time_point wake = now + std::chrono::seconds(1);
  if (!deliveries_.empty()) wake = std::min(wake, deliveries_.front().due);
  for (const auto& conn : connections_) {
    if (!conn->opened) wake = std::min(wake, conn->openDeadline);
  }
  if (wake <= now) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wake - now).count());
}

void LinkServerLoop::Accept() {
  // A bounded number per turn, so that a flood of connects cannot keep the
  // loop from the connections already there.
  for (size_t taken = 0; taken < kMaxAcceptsPerTurn; ++taken) {
    const int fd = accept(c_.listenFd, nullptr, nullptr);
    if (fd < 0) return;  // EAGAIN: all taken; anything else: try again next turn
    if (!SetNonBlocking(fd)) {
      close(fd);
      continue;
    }
    // Connections still in their open are held apart from the opened ones
    // and bounded on their own. When too many wait, room is made by closing
    // the oldest that has sent nothing at all, else the oldest that has sent
    // only part of its open; one in the middle of its proof (the owner,
    // most likely) is never closed for room. When nothing can go, the
    // newcomer does.
    if (!MakeRoomForOneMore()) {
      close(fd);
      continue;
    }
    if (c_.options.tcp) {
      const int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    auto conn = std::make_unique<Connection>();
    conn->id = nextId_++;
    conn->fd = fd;
    conn->openDeadline = Clock::now() + std::chrono::milliseconds(kOpenFrameWaitMs);
    connections_.push_back(std::move(conn));
  }
}

bool LinkServerLoop::MakeRoomForOneMore() {
  size_t pending = 0;
  Connection* silent = nullptr;   // the oldest that has sent nothing
  Connection* partial = nullptr;  // the oldest with part of an open
  for (const auto& conn : connections_) {
    if (conn->opened || conn->dead) continue;
    ++pending;
    if (conn->proving) continue;
    Connection*& slot = conn->heard || HasWaitingBytes(conn.get()) ? partial : silent;
    if (slot == nullptr || conn->openDeadline < slot->openDeadline) slot = conn.get();
  }
  if (pending < kMaxPendingConnections) return true;
  Connection* victim = silent != nullptr ? silent : partial;
  if (victim == nullptr) return false;
  Kill(victim);
  return true;
}

// Whether a connection's peer has sent bytes not read yet: such a one has
// spoken (its open is likely complete), it only waits for its turn.
bool LinkServerLoop::HasWaitingBytes(Connection* conn) {
  uint8_t byte = 0;
  const ssize_t n = recv(conn->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n > 0) conn->heard = true;
  return n > 0;
}

void LinkServerLoop::Receive(Connection* conn) {
  uint8_t buffer[kReceiveChunk];
  size_t taken = 0;
  while (taken < kReceivePerTurn && !conn->dead && !conn->closing) {
    const ssize_t n = recv(conn->fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      Kill(conn);
      return;
    }
    taken += static_cast<size_t>(n);
    conn->heard = true;
    conn->reader.Feed(buffer, static_cast<size_t>(n));
    vlink::Frame frame;
    for (;;) {
      const vlink::FrameReader::Result result = conn->reader.Next(&frame);
      if (result == vlink::FrameReader::Result::kNeedMore) break;
      if (result == vlink::FrameReader::Result::kError) {
        Kill(conn);
        return;
      }
      HandleFrame(conn, frame);
      if (conn->dead || conn->closing) return;
    }
  }
}

void LinkServerLoop::HandleFrame(Connection* conn, const vlink::Frame& frame) {
  if (conn->proving) {
    HandleClientProof(conn, frame);
  } else if (!conn->opened) {
    HandleOpen(conn, frame);
  } else if (frame.type == vlink::kFrameReport) {
    HandleReport(conn, frame);
  } else {
    Kill(conn);  // a second open, or a frame only a token sends
  }
}

void LinkServerLoop::HandleOpen(Connection* conn, const vlink::Frame& frame) {
  const std::vector<uint8_t>& p = frame.payload;
  const size_t expected = c_.options.tcp ? kOpenPayloadTcp : kOpenPayloadLocal;
  if (frame.type != vlink::kFrameOpen) return Kill(conn);
  // Over TCP an open without a nonce is let in no more than a wrong proof.
  const bool missingNonce = c_.options.tcp && p.size() == kOpenPayloadLocal;
  if (p.size() != expected && !missingNonce) return Kill(conn);
  if (p[0] != vlink::kProtocolVersion || p[1] > 1) return Kill(conn);
  conn->exclusive = p[1] == 1;
  if (!c_.options.tcp) return Admit(conn);
  if (missingNonce) return Refuse(conn, vlink::kRefusedAccessDenied);
  // The token proves first that it holds the secret, over the client's
  // nonce and a fresh one of its own; the client answers in kind.
  std::copy(p.begin() + kOpenPayloadLocal, p.end(), conn->clientNonce);
  if (!vlink::SystemRandom(conn->tokenNonce, sizeof conn->tokenNonce)) return Kill(conn);
  const qk::Sha256Digest proof = vlink::TokenProof(c_.secret, conn->clientNonce, conn->tokenNonce);
  std::vector<uint8_t> payload(conn->tokenNonce, conn->tokenNonce + vlink::kNonceSize);
  payload.insert(payload.end(), proof.begin(), proof.end());
  std::vector<uint8_t> bytes;
  vlink::AppendFrame(vlink::kFrameProof, payload.data(), payload.size(), &bytes);
  conn->proving = true;
  Queue(conn, std::move(bytes));
  Flush(conn);
}

void LinkServerLoop::HandleClientProof(Connection* conn, const vlink::Frame& frame) {
  if (frame.type != vlink::kFrameProof || frame.payload.size() != vlink::kClientProofPayload) {
    return Kill(conn);
  }
  const qk::Sha256Digest expected =
      vlink::ClientProof(c_.secret, conn->clientNonce, conn->tokenNonce);
  if (!qk::SameDigest(expected.data(), frame.payload.data(), expected.size())) {
    return Refuse(conn, vlink::kRefusedAccessDenied);
  }
  conn->proving = false;
  Admit(conn);
}

size_t LinkServerLoop::CountOpened() const {
  size_t opened = 0;
  for (const auto& conn : connections_) {
    if (conn->opened && !conn->dead) ++opened;
  }
  return opened;
}

void LinkServerLoop::Admit(Connection* conn) {
  const bool exclusive = conn->exclusive;
  for (const auto& other : connections_) {
    if (other.get() == conn || !other->opened || other->dead) continue;
    // Windows sharing: an exclusive open needs nobody else there, and
    // nobody gets in beside an exclusive one.
    if (exclusive || other->exclusive) return Refuse(conn, vlink::kRefusedSharingViolation);
  }
  // Only opened connections count towards the limit; a connection that
  // would pass it is closed, as a device with too many handles refuses one.
  if (CountOpened() >= kMaxConnections) return Kill(conn);
  conn->opened = true;
  c_.openConnections.fetch_add(1);
  const Identity& id = c_.options.identity;
  const uint8_t identity[vlink::kIdentityPayload] = {
      vlink::kProtocolVersion,
      static_cast<uint8_t>(id.vendorId >> 8),
      static_cast<uint8_t>(id.vendorId),
      static_cast<uint8_t>(id.productId >> 8),
      static_cast<uint8_t>(id.productId),
      static_cast<uint8_t>(id.featureReportLength >> 8),
      static_cast<uint8_t>(id.featureReportLength)};
  std::vector<uint8_t> bytes;
  vlink::AppendFrame(vlink::kFrameIdentity, identity, sizeof identity, &bytes);
  Queue(conn, std::move(bytes));
  Flush(conn);
}

void LinkServerLoop::Refuse(Connection* conn, uint32_t reason) {
  const uint8_t payload[vlink::kRefusedPayload] = {
      static_cast<uint8_t>(reason >> 24), static_cast<uint8_t>(reason >> 16),
      static_cast<uint8_t>(reason >> 8), static_cast<uint8_t>(reason)};
  std::vector<uint8_t> bytes;
  vlink::AppendFrame(vlink::kFrameRefused, payload, sizeof payload, &bytes);
  Queue(conn, std::move(bytes));
  conn->closing = true;
  Flush(conn);
}

void LinkServerLoop::HandleReport(Connection* conn, const vlink::Frame& frame) {
  Report report;
  std::copy(frame.payload.begin(), frame.payload.end(), report.begin());
  if (c_.faults.SwallowReport(keys_.EndsCommand(report))) return;
  std::vector<Report> answers;
  c_.token.HandleReport(report, &answers);
  if (answers.empty()) return;
  keys_.ObserveAnswer(report, answers);
  const AnswerCipher cipher{KeyWatch::IsSessionKeyRequest(report), keys_.Key()};
  const std::optional<FaultRule> rule = c_.faults.TakeForAnswer();
  Schedule(PlanAnswer(answers, rule ? &*rule : nullptr, cipher), conn->id);
}

void LinkServerLoop::Schedule(const AnswerPlan& plan, uint64_t sender) {
  std::vector<uint64_t> targets;
  if (!plan.senderOnly) {
    for (const auto& conn : connections_) {
      if (conn->opened && !conn->dead && conn->id != sender) targets.push_back(conn->id);
    }
  }
  targets.push_back(sender);

  size_t bytes = 0;
  for (const PlannedSend& send : plan.sends) bytes += send.bytes.size();
  if (scheduledBytes_ + bytes > kMaxScheduledBytes) {
    // Commands pour in faster than slowed answers leave: the sender floods.
    if (Connection* conn = Find(sender)) Kill(conn);
    return;
  }
  // Answers leave in the order the commands came, however they are delayed.
  Clock::time_point at = Clock::now();
  if (!deliveries_.empty()) at = std::max(at, deliveries_.back().due);
  for (size_t i = 0; i < plan.sends.size(); ++i) {
    at += std::chrono::milliseconds(plan.sends[i].delayMs);
    Delivery delivery{at, targets, plan.sends[i].bytes, 0};
    if (i + 1 == plan.sends.size() && plan.hangUpSender) delivery.hangUp = sender;
    scheduledBytes_ += delivery.bytes.size();
    deliveries_.push_back(std::move(delivery));
  }
  if (plan.sends.empty() && plan.hangUpSender) {
    deliveries_.push_back(Delivery{at, {}, {}, sender});
  }
  ReleaseDue(Clock::now());
}

void LinkServerLoop::ReleaseDue(Clock::time_point now) {
  while (!deliveries_.empty() && deliveries_.front().due <= now) {
    Delivery delivery = std::move(deliveries_.front());
    deliveries_.pop_front();
    scheduledBytes_ -= delivery.bytes.size();
    for (uint64_t id : delivery.targets) {
      Connection* conn = Find(id);
      if (conn == nullptr || conn->closing) continue;
      // A copy for a handle that is not reading goes only where it fits now:
      // queued behind a full socket it would arrive after that handle's next
      // flush and be taken for its next answer. A full HID input buffer loses
      // reports the same way.
      const bool sender = id == delivery.targets.back();
      if (!sender && !conn->out.empty()) continue;
      Queue(conn, delivery.bytes);
      Flush(conn);
      if (!sender && !conn->dead && conn->frontSent == 0 && !conn->out.empty()) {
        // Not one byte of it fit: drop it rather than send it late. A frame
        // that has begun must be finished, or the stream falls out of step.
        conn->queuedBytes -= conn->out.front().size();
        conn->out.pop_front();
      }
    }
    if (delivery.hangUp != 0) {
      if (Connection* conn = Find(delivery.hangUp)) {
        conn->closing = true;
        Flush(conn);
      }
    }
  }
}

void LinkServerLoop::Queue(Connection* conn, std::vector<uint8_t> bytes) {
  if (bytes.empty()) return;
  conn->queuedBytes += bytes.size();
  conn->out.push_back(std::move(bytes));
  // A full input queue loses its oldest reports, as a HID device's does; a
  // frame already begun on the wire is kept whole.
  while (conn->queuedBytes > kMaxQueuedOutputPerConnection && conn->out.size() > 1) {
    const size_t victim = conn->frontSent > 0 ? 1 : 0;
    conn->queuedBytes -= conn->out[victim].size() - (victim == 0 ? conn->frontSent : 0);
    conn->out.erase(conn->out.begin() + static_cast<std::ptrdiff_t>(victim));
  }
}

void LinkServerLoop::Flush(Connection* conn) {
  while (!conn->dead && !conn->out.empty()) {
    const std::vector<uint8_t>& front = conn->out.front();
    const long n = vlink::SendNoSignal(conn->fd, front.data() + conn->frontSent,
                                       front.size() - conn->frontSent);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      Kill(conn);
      return;
    }
    conn->frontSent += static_cast<size_t>(n);
    conn->queuedBytes -= static_cast<size_t>(n);
    if (conn->frontSent == front.size()) {
      conn->out.pop_front();
      conn->frontSent = 0;
    }
  }
  if (conn->closing && conn->out.empty()) Kill(conn);
}

void LinkServerLoop::Kill(Connection* conn) {
  if (conn->dead) return;
  conn->dead = true;
  CloseFd(&conn->fd);
  conn->out.clear();
  conn->queuedBytes = 0;
  if (conn->opened) c_.openConnections.fetch_sub(1);
}

void LinkServerLoop::Reap() {
  connections_.erase(
      std::remove_if(connections_.begin(), connections_.end(),
                     [](const std::unique_ptr<Connection>& conn) { return conn->dead; }),
      connections_.end());
}

void LinkServerLoop::CloseAll() {
  for (auto& conn : connections_) Kill(conn.get());
  connections_.clear();
  deliveries_.clear();
  scheduledBytes_ = 0;
}

LinkServerLoop::Connection* LinkServerLoop::Find(uint64_t id) {
  for (auto& conn : connections_) {
    if (conn->id == id && !conn->dead) return conn.get();
  }
  return nullptr;
}

// ---- The server --------------------------------------------------------------

LinkServer::LinkServer(Token& token, LinkOptions options)
    : token_(token), options_(std::move(options)) {}

LinkServer::~LinkServer() { Stop(); }

std::string LinkServer::EntryPath() const {
  return options_.directory + "/" + options_.name + (options_.tcp ? ".tcp" : ".sock");
}

bool LinkServer::CreateLocalEntry(std::string* error) {
  const std::string path = EntryPath();
  const std::string temp = TempNameFor(options_.directory, options_.name);
  sockaddr_un address;
  if (!FillLocalAddress(path, &address) || !FillLocalAddress(temp, &address)) {
    *error = "socket path too long: " + temp;
    return false;
  }
  struct stat info;
  if (lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      *error = path + " exists and is not a socket";
      return false;
    }
    if (LocalSocketAnswers(path)) {
      *error = path + " is already served";
      return false;
    }
  }
  listenFd_ = socket(AF_UNIX, SOCK_STREAM, 0);
  if (listenFd_ < 0) {
    *error = Errno("cannot create a socket");
    return false;
  }
  // Bound under a hidden name, made private and listening, then renamed:
  // the entry appears only when it can be used.
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    *error = Errno("cannot bind " + temp);
    return false;
  }
  if (chmod(temp.c_str(), 0600) != 0 || listen(listenFd_, kListenBacklog) != 0 ||
      rename(temp.c_str(), path.c_str()) != 0) {
    *error = Errno("cannot set up " + path);
    unlink(temp.c_str());
    return false;
  }
  if (lstat(path.c_str(), &info) != 0) {
    *error = Errno("cannot stat " + path);
    return false;
  }
  entryDevice_ = static_cast<uint64_t>(info.st_dev);
  entryInode_ = static_cast<uint64_t>(info.st_ino);
  entryCreated_ = true;
  return true;
}

bool LinkServer::CreateTcpEntry(std::string* error) {
  const std::string path = EntryPath();
  struct stat info;
  if (lstat(path.c_str(), &info) == 0 && (!S_ISREG(info.st_mode) || TcpEntryIsLive(path))) {
    *error = path + (S_ISREG(info.st_mode) ? " is already served" : " exists and is not a file");
    return false;
  }
  if (!vlink::SystemRandom(secret_, sizeof secret_)) {
    *error = "cannot read random bytes for the secret";
    return false;
  }
  listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
  if (listenFd_ < 0) {
    *error = Errno("cannot create a socket");
    return false;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listenFd_, kListenBacklog) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    *error = Errno("cannot listen on 127.0.0.1");
    return false;
  }
  const std::string text = "port " + std::to_string(ntohs(address.sin_port)) + "\nsecret " +
                           vlink::Hex(secret_, sizeof secret_) + "\n";
  const std::string temp = TempNameFor(options_.directory, options_.name);
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    *error = Errno("cannot create " + temp);
    return false;
  }
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                       fchmod(fd, 0600) == 0 && fsync(fd) == 0 && fstat(fd, &info) == 0;
  close(fd);
  if (!written || rename(temp.c_str(), path.c_str()) != 0) {
    *error = Errno("cannot write " + path);
    unlink(temp.c_str());
    return false;
  }
  entryDevice_ = static_cast<uint64_t>(info.st_dev);
  entryInode_ = static_cast<uint64_t>(info.st_ino);
  entryCreated_ = true;
  return true;
}

void LinkServer::RemoveEntry() {
  if (!entryCreated_) return;
  entryCreated_ = false;
  // Only our own entry: another server may have taken the name since.
  const std::string path = EntryPath();
  struct stat info;
  if (lstat(path.c_str(), &info) == 0 && static_cast<uint64_t>(info.st_dev) == entryDevice_ &&
      static_cast<uint64_t>(info.st_ino) == entryInode_) {
    unlink(path.c_str());
  }
}

bool LinkServer::Start(std::string* error) {
  if (thread_.joinable()) {
    *error = "already serving";
    return false;
  }
  if (!IsValidTokenName(options_.name)) {
    *error = "bad token name '" + options_.name +
             "' (letters, digits, '.', '_', '-'; at most 64; not starting with '.')";
    return false;
  }
  int pipeFds[2];
  if (pipe(pipeFds) != 0) {
    *error = Errno("cannot create a pipe");
    return false;
  }
  wakeRead_ = pipeFds[0];
  wakeWrite_ = pipeFds[1];
  const bool created = options_.tcp ? CreateTcpEntry(error) : CreateLocalEntry(error);
  if (!created || !SetNonBlocking(listenFd_) || !SetNonBlocking(wakeRead_) ||
      !SetNonBlocking(wakeWrite_)) {
    if (created) *error = Errno("cannot set up the sockets");
    RemoveEntry();
    CloseFd(&listenFd_);
    CloseFd(&wakeRead_);
    CloseFd(&wakeWrite_);
    return false;
  }
  stopping_.store(false);
  loop_ = std::make_unique<LinkServerLoop>(LoopContext{
      token_, faults_, options_, secret_, listenFd_, wakeRead_, stopping_, openConnections_});
  thread_ = std::thread([this] { loop_->Run(); });
  return true;
}

void LinkServer::Stop() {
  RemoveEntry();
  if (thread_.joinable()) {
    stopping_.store(true);
    const uint8_t wake = 1;
    while (write(wakeWrite_, &wake, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  loop_.reset();
  CloseFd(&listenFd_);
  CloseFd(&wakeRead_);
  CloseFd(&wakeWrite_);
  std::fill(std::begin(secret_), std::end(secret_), uint8_t{0});
}

}  // namespace qksim::link
