// Everything the token keeps across power cycles (what the image file holds).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sim/filesystem.h"
#include "sim/random.h"

namespace qksim {

constexpr size_t kMaxPinLength = 24;
constexpr uint8_t kDefaultPinLimit = 15;

struct PinRecord {
  std::vector<uint8_t> value;            // 1..kMaxPinLength bytes
  uint8_t limit = kDefaultPinLimit;      // tries allowed after a success (1..254)
  uint8_t remaining = kDefaultPinLimit;  // tries left; 0 = blocked
};

struct TokenState {
  FileSystem fileSystem;
  PinRecord userPin;
  PinRecord developerPin;
  std::array<uint8_t, 8> serial{};  // information record bytes 26-33
  std::array<uint8_t, 16> value{};  // set by INS 0x25; information record bytes 4-19
  uint8_t infoByte = 0x01;          // information record byte 0 (INS 0xE7 sets it)
  uint8_t indicator = 0x00;         // information record byte 1 (INS 0x50 mode 3 sets it)
};

PinRecord DefaultUserPin();
PinRecord DefaultDeveloperPin();
// The file system as shipped: root 3F00 holding the executable 0001 (the
// 16-bit adder sample).
void InstallDefaultFileSystem(FileSystem* fileSystem);
// A token as shipped, with a fresh random serial number.
TokenState DefaultState(Random* random);

}  // namespace qksim
