#include "sim/state.h"

#include <cstring>

#include "sim/samples.h"

namespace qksim {
namespace {

PinRecord PinFromText(const char* text) {
  PinRecord pin;
  pin.value.assign(text, text + std::strlen(text));
  return pin;
}

}  // namespace

PinRecord DefaultUserPin() { return PinFromText("60719283"); }
PinRecord DefaultDeveloperPin() { return PinFromText("904817263590481726359048"); }

void InstallDefaultFileSystem(FileSystem* fileSystem) {
  fileSystem->Format(kTokenCapacity);
  const std::vector<uint8_t>& program = SampleAddProgram();
  Node file;
  file.id = 0x0001;
  file.type = kFileExecutable;
  file.data = program;
  if (file.data.empty()) file.data.assign(1, 0);  // a file has at least one byte
  if (file.data.size() > 0xFFFF) file.data.resize(0xFFFF);
  fileSystem->Root().children.push_back(std::move(file));
}

TokenState DefaultState(Random* random) {
  TokenState state;
  InstallDefaultFileSystem(&state.fileSystem);
  state.userPin = DefaultUserPin();
  state.developerPin = DefaultDeveloperPin();
  random->Fill(state.serial.data(), state.serial.size());
  return state;
}

}  // namespace qksim
