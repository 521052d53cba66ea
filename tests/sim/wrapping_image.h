// A crafted token state whose directory sizes sum to exactly 2^32: a 4 KiB
// root holding 256 subdirectories of 0xFFFFF0 bytes, each within the
// per-entry limits. A loader that sums in 32 bits sees 0 and accepts it.
#pragma once

#include <cstdint>

#include "sim/random.h"
#include "sim/state.h"

namespace qktest {

inline qksim::TokenState WrappingState() {
  qksim::Random random;
  qksim::TokenState state = qksim::DefaultState(&random);
  state.fileSystem.Format(256 * qksim::kEntryOverhead);
  for (uint16_t i = 0; i < 256; ++i) {
    qksim::Node directory;
    directory.isDirectory = true;
    directory.id = static_cast<uint16_t>(0x0100 + i);
    directory.capacity = 0xFFFFF0;
    state.fileSystem.Root().children.push_back(directory);
  }
  return state;
}

}  // namespace qktest
