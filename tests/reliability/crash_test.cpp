// Crash consistency: a token server killed with SIGKILL in the middle of a
// storm of writes must come back from its image with every file holding the
// last acknowledged write or the one in flight, never a mixture, and with
// PIN retry counters that agree with what was acknowledged.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <random>
#include <string>
#include <thread>

#include "tests/reliability/reliability_util.h"

namespace qkrel {
namespace {

constexpr int kKills = 8;
constexpr int kFiles = 3;
constexpr uint32_t kFileSize = 1000;  // one write command per pattern
constexpr uint8_t kPinLimit = 15;     // the user PIN's tries after a success

uint16_t FileId(int index) { return static_cast<uint16_t>(0x0100 + index); }

// The whole file: the 32-bit sequence number, big-endian, over and over.
Bytes Pattern(uint32_t sequence) {
  Bytes bytes(kFileSize);
  for (size_t i = 0; i < kFileSize; ++i) {
    bytes[i] = static_cast<uint8_t>(sequence >> (8 * (3 - i % 4)));
  }
  return bytes;
}

// The sequence number a file's bytes spell, or -1 when they mix patterns.
long long SequenceOf(const Bytes& bytes) {
  if (bytes.size() != kFileSize) return -1;
  const uint32_t sequence = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                            (uint32_t{bytes[2]} << 8) | bytes[3];
  return bytes == Pattern(sequence) ? sequence : -1;
}

// What the client knows for sure: the last acknowledged write per file and
// the user PIN's tries left, and what was in flight when the link died.
struct Acknowledged {
  std::array<uint32_t, kFiles> sequence{};
  std::array<bool, kFiles> inFlight{};
  uint32_t triesLeft = kPinLimit;
  bool pinInFlight = false;
};

// Wrong user PIN tries left, from a rejected verify; -1 for anything else.
int TriesLeft(uint32_t rc) {
  if (rc >= QK_E_WRONG_PIN && rc <= QK_E_WRONG_PIN + 0xFF) return static_cast<int>(rc - QK_E_WRONG_PIN);
  return -1;
}

const uint8_t kWrongPin[] = {'0', '0', '0', '0', '0', '0', '0', '0'};

// Writes until a call fails (the server died under it).
void Storm(QKContext* token, Acknowledged* ack, uint64_t* writes, std::mt19937* random) {
  for (uint32_t step = 0;; ++step) {
    if (step % 7 == 3 && ack->triesLeft > 2) {
      ack->pinInFlight = true;
      const int left = TriesLeft(QKVerifyPin(token, kWrongPin, sizeof kWrongPin, QK_PIN_USER));
      if (left < 0) return;
      ack->pinInFlight = false;
      ack->triesLeft = static_cast<uint32_t>(left);
      continue;
    }
    const int file = static_cast<int>((*random)() % kFiles);
    const uint32_t next = ack->sequence[static_cast<size_t>(file)] + 1;
    const Bytes pattern = Pattern(next);
    ack->inFlight[static_cast<size_t>(file)] = true;
    if (QKStoreFile(token, IdText(FileId(file)).c_str(), 0, pattern.data(), kFileSize) !=
        QK_E_SUCCESS) {
      return;
    }
    ack->inFlight[static_cast<size_t>(file)] = false;
    ack->sequence[static_cast<size_t>(file)] = next;
    ++*writes;
  }
}

TEST(Crash, KilledServerComesBackWithWholeWrites) {
  TempDir dir;
  ASSERT_FALSE(dir.Path().empty());
  const std::string image = dir.Path() + "/token.img";
  const std::string served = dir.Path() + "/link";
  setenv("QKTOKEN_VIRTUAL_DIR", served.c_str(), 1);
  Acknowledged ack;
  {
    SimProcess sim(served, image);
    ASSERT_TRUE(sim.Start());
    QKContext token = {};
    ASSERT_EQ(OpenFirstToken(&token), QK_E_SUCCESS);
    ASSERT_EQ(VerifyDeveloper(&token), QK_E_SUCCESS);
    ASSERT_EQ(InstallReader(&token), QK_E_SUCCESS);
    for (int f = 0; f < kFiles; ++f) {
      const std::string id = IdText(FileId(f));
      ASSERT_EQ(QKMakeFile(&token, id.c_str(), kFileSize, kDataType), QK_E_SUCCESS);
      const Bytes zero = Pattern(0);
      ASSERT_EQ(QKStoreFile(&token, id.c_str(), 0, zero.data(), kFileSize), QK_E_SUCCESS);
    }
    QKCloseDevice(&token);
    sim.Kill(SIGTERM);
  }

  std::mt19937 random(20240611);
  uint64_t writes = 0;
  int inFlightLanded = 0;
  const auto start = Clock::now();
  for (int kill = 0; kill < kKills; ++kill) {
    SimProcess sim(served, image);
    ASSERT_TRUE(sim.Start()) << "the image must load after kill " << kill;
    QKContext token = {};
    ASSERT_EQ(OpenFirstToken(&token), QK_E_SUCCESS);
    ASSERT_EQ(VerifyDeveloper(&token), QK_E_SUCCESS);
    ASSERT_EQ(VerifyUser(&token), QK_E_SUCCESS);

    // What the image kept: each file the acknowledged pattern or the next.
    for (int f = 0; f < kFiles; ++f) {
      const auto index = static_cast<size_t>(f);
      Bytes bytes;
      ASSERT_EQ(ReadWholeFile(&token, FileId(f), kFileSize, &bytes), QK_E_SUCCESS);
      const long long found = SequenceOf(bytes);
      ASSERT_GE(found, 0) << "file " << f << " holds a mixture after kill " << kill;
      const bool acknowledged = found == ack.sequence[index];
      const bool landed = ack.inFlight[index] && found == ack.sequence[index] + 1;
      ASSERT_TRUE(acknowledged || landed)
          << "file " << f << ": " << found << ", acknowledged " << ack.sequence[index];
      if (landed) ++inFlightLanded;
      ack.sequence[index] = static_cast<uint32_t>(found);
      ack.inFlight[index] = false;
    }
    // The user verify above set the PIN counter back to its limit.
    // Storm until the killer strikes at a random moment.
    const auto delay = std::chrono::milliseconds(50 + random() % 400);
    const pid_t pid = sim.Pid();
    std::thread killer([pid, delay] {
      std::this_thread::sleep_for(delay);
      ::kill(pid, SIGKILL);
    });
    ack.triesLeft = kPinLimit;
    Storm(&token, &ack, &writes, &random);
    killer.join();
    QKCloseDevice(&token);
    sim.Kill(SIGKILL);  // reaps it

    // The PIN counter as the image kept it: read it with one more wrong try
    // on a fresh server, then the next round's verify restores it.
    SimProcess check(served, image);
    ASSERT_TRUE(check.Start()) << "the image must load after kill " << kill;
    ASSERT_EQ(OpenFirstToken(&token), QK_E_SUCCESS);
    const int left = TriesLeft(QKVerifyPin(&token, kWrongPin, sizeof kWrongPin, QK_PIN_USER));
    const int acknowledged = static_cast<int>(ack.triesLeft);
    EXPECT_TRUE(left == acknowledged - 1 || (ack.pinInFlight && left == acknowledged - 2))
        << "tries left " << left << ", acknowledged " << acknowledged;
    ack.pinInFlight = false;
    QKCloseDevice(&token);
    check.Kill(SIGTERM);
  }
  std::printf("[crash] %d kills, %llu acknowledged writes, %d in-flight writes found stored, "
              "%lld ms\n",
              kKills, static_cast<unsigned long long>(writes), inFlightLanded,
              MillisecondsSince(start));
  EXPECT_GT(writes, static_cast<uint64_t>(kKills)) << "the storm must have run";
  unsetenv("QKTOKEN_VIRTUAL_DIR");
}

}  // namespace
}  // namespace qkrel
