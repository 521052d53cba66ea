#include "sim/random.h"

#include <chrono>
#include <vector>

namespace qksim {

Random::Random() {
#ifdef QKSIM_FUZZ_SHORTCUTS
  // Fuzz builds start every generator alike: an input then replays exactly,
  // and no input pays for reading the system's entropy source.
  engine_.seed(0x51A7E5EEDu);
#else
  std::random_device device;
  std::vector<uint32_t> seed;
  for (int i = 0; i < 8; ++i) seed.push_back(device());
  auto now =
      static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
  seed.push_back(static_cast<uint32_t>(now));
  seed.push_back(static_cast<uint32_t>(now >> 32));
  std::seed_seq sequence(seed.begin(), seed.end());
  engine_.seed(sequence);
#endif
}

void Random::Fill(uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; i += 8) {
    uint64_t word = engine_();
    for (size_t j = 0; j < 8 && i + j < count; ++j)
      bytes[i + j] = static_cast<uint8_t>(word >> (8 * j));
  }
}

uint32_t Random::Next32() { return static_cast<uint32_t>(engine_() >> 32); }

void Random::Stir(const uint8_t* bytes, size_t count) {
  std::vector<uint32_t> seed;
  for (int i = 0; i < 8; ++i) seed.push_back(static_cast<uint32_t>(engine_()));
  for (size_t i = 0; i < count; ++i) seed.push_back(bytes[i]);
  std::seed_seq sequence(seed.begin(), seed.end());
  engine_.seed(sequence);
}

}  // namespace qksim
