// Catches torn writes and lost PIN counts: a server killed mid-storm comes
// back with each file the last acknowledged write or the one in flight.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <random>
#include <string>
#include <thread>

#include "tests/reliability/reliability_util.h"

namespace qktest {
namespace {

constexpr int kKills = 8;
constexpr size_t kFiles = 3;
constexpr uint32_t kFileSize = 1000;  // one write command per pattern

uint16_t FileId(size_t index) { return static_cast<uint16_t>(0x0100 + index); }

// The whole file: the 32-bit sequence number, big-endian, over and over.
Bytes Pattern(uint32_t sequence) {
  Bytes bytes(kFileSize);
  for (size_t i = 0; i < kFileSize; ++i) bytes[i] = uint8_t(sequence >> (8 * (3 - i % 4)));
  return bytes;
}

// Wrong user PIN tries left, from a rejected verify; -1 for anything else.
int TriesLeft(uint32_t rc) {
  return rc - QK_E_WRONG_PIN <= 0xFF ? static_cast<int>(rc - QK_E_WRONG_PIN) : -1;
}

// What the client knows for sure, and what was in flight when the link died.
struct Acknowledged {
  std::array<uint32_t, kFiles> sequence{};
  std::array<bool, kFiles> inFlight{};
  int triesLeft = 15;
  bool pinInFlight = false;
};

// Writes (and now and then spends a PIN try) until a call fails.
void Storm(QKContext* token, Acknowledged* ack, uint64_t* writes, std::mt19937* random) {
  for (uint32_t step = 0;; ++step) {
    if (step % 7 == 3 && ack->triesLeft > 2) {
      ack->pinInFlight = true;
      const int left = TriesLeft(VerifyUser(token, "00000000"));
      if (left < 0) return;
      ack->pinInFlight = false, ack->triesLeft = left;
      continue;
    }
    const size_t file = (*random)() % kFiles;
    const Bytes pattern = Pattern(ack->sequence[file] + 1);
    ack->inFlight[file] = true;
    if (QKStoreFile(token, IdText(FileId(file)).c_str(), 0, pattern.data(), kFileSize) != 0) return;
    ack->inFlight[file] = false;
    ++ack->sequence[file], ++*writes;
  }
}

TEST(Crash, KilledServerComesBackWithWholeWrites) {
  TempDir dir;
  const std::string image = dir.path() + "/token.img", served = dir.path() + "/link";
  setenv("QKTOKEN_VIRTUAL_DIR", served.c_str(), 1);
  QKContext token = {};
  {
    SimProcess sim(served, image);
    ASSERT_TRUE(sim.Start());
    ASSERT_EQ(OpenFirstToken(&token), QK_E_SUCCESS);
    ASSERT_EQ(VerifyDeveloper(&token), QK_E_SUCCESS);
    ASSERT_EQ(InstallReader(&token), QK_E_SUCCESS);
    for (size_t f = 0; f < kFiles; ++f) {
      const std::string id = IdText(FileId(f));
      ASSERT_EQ(QKMakeFile(&token, id.c_str(), kFileSize, kDataType), QK_E_SUCCESS);
      ASSERT_EQ(QKStoreFile(&token, id.c_str(), 0, Pattern(0).data(), kFileSize), QK_E_SUCCESS);
    }
    QKCloseDevice(&token);
    sim.Kill(SIGTERM);
  }
  Acknowledged ack;
  std::mt19937 random(20240611);
  uint64_t writes = 0;
  int inFlightLanded = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    SimProcess sim(served, image);
    ASSERT_TRUE(sim.Start()) << "the image must load after kill " << kill;
    ASSERT_EQ(OpenFirstToken(&token), QK_E_SUCCESS);
    ASSERT_EQ(VerifyDeveloper(&token), QK_E_SUCCESS);
    ASSERT_EQ(VerifyUser(&token), QK_E_SUCCESS);  // sets the counter back to its limit
    for (size_t f = 0; f < kFiles; ++f) {         // each file the acknowledged pattern or the next
      Bytes bytes;
      ASSERT_EQ(ReadWholeFile(&token, FileId(f), kFileSize, &bytes), QK_E_SUCCESS);
      const bool acknowledged = bytes == Pattern(ack.sequence[f]);
      const bool landed = ack.inFlight[f] && bytes == Pattern(ack.sequence[f] + 1);
      ASSERT_TRUE(acknowledged || landed) << "file " << f << " after kill " << kill;
      if (landed) ++inFlightLanded, ++ack.sequence[f];
      ack.inFlight[f] = false;
    }
    std::thread killer([pid = sim.Pid(), delay = std::chrono::milliseconds(50 + random() % 400)] {
      std::this_thread::sleep_for(delay);
      ::kill(pid, SIGKILL);
    });
    ack.triesLeft = 15;
    Storm(&token, &ack, &writes, &random);
    killer.join();
    QKCloseDevice(&token);
    sim.Kill(SIGKILL);  // reaps it

    // The counter as the image kept it, read with one more wrong try.
    SimProcess check(served, image);
    ASSERT_TRUE(check.Start()) << "the image must load after kill " << kill;
    ASSERT_EQ(OpenFirstToken(&token), QK_E_SUCCESS);
    const int left = TriesLeft(VerifyUser(&token, "00000000"));
    EXPECT_TRUE(left == ack.triesLeft - 1 || (ack.pinInFlight && left == ack.triesLeft - 2))
        << "tries left " << left << ", acknowledged " << ack.triesLeft;
    ack.pinInFlight = false;
    QKCloseDevice(&token);
    check.Kill(SIGTERM);
  }
  std::printf("[crash] %d kills, %llu acknowledged writes, %d in-flight writes found stored\n",
              kKills, static_cast<unsigned long long>(writes), inFlightLanded);
  EXPECT_GT(writes, static_cast<uint64_t>(kKills)) << "the storm must have run";
  unsetenv("QKTOKEN_VIRTUAL_DIR");
}

}  // namespace
}  // namespace qktest
