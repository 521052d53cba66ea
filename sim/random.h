// The token's random source: a 64-bit Mersenne generator seeded from the
// operating system's entropy and the clock; hosts may stir in bytes of their
// own (INS 0xCB). Adequate for a simulator, not for a real key store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>

namespace qksim {

class Random {
 public:
  Random();
  void Fill(uint8_t* bytes, size_t count);
  uint32_t Next32();
  // Reseeds from the current state mixed with `bytes`.
  void Stir(const uint8_t* bytes, size_t count);

 private:
  std::mt19937_64 engine_;
};

}  // namespace qksim
