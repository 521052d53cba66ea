// Watching the attached tokens come and go, without listing them.
//
// A DeviceWatch holds the system's notification source open for the life of
// the process, so that what happens while nobody waits is queued by the
// system and seen by the next wait. Each backend keeps its own source:
// inotify on the device and token directories (Linux), device-interface
// notifications or a bounded rescan plus a directory change notification
// (Windows).
#pragma once

#include <cstdint>

namespace qk::platform {

// Ends one waiter's wait early (a cancel, or a change another waiter saw).
// Raised stays raised until cleared.
class WakeSignal {
 public:
  virtual ~WakeSignal() = default;
  virtual void Raise() = 0;
  virtual void Clear() = 0;
  // What the backend waits on: a descriptor (POSIX) or a HANDLE (Windows).
  virtual intptr_t NativeHandle() const = 0;
};

enum class WatchWait {
  kEvents,    // the source may have something: call Drain
  kWoken,     // the wake signal was raised
  kTimedOut,  // nothing within the time given
  kFailed,    // the wait itself failed
};

class DeviceWatch {
 public:
  virtual ~DeviceWatch() = default;
  // Blocks, without using the processor, until the source has something,
  // `wake` is raised, or timeoutMs passes. May return kEvents early when the
  // backend rescans on a timer. Any number of threads may wait at once.
  virtual WatchWait Wait(uint32_t timeoutMs, WakeSignal* wake) = 0;
  // Consumes what is pending without blocking; true when the set of attached
  // tokens may have changed since the last Drain (a token that came and went
  // in between counts). One thread at a time.
  virtual bool Drain() = 0;
};

// The process's watch of native and virtual tokens (QKTOKEN_VIRTUAL_DIR as
// it is now). Null when no source can be had.
DeviceWatch* CreateDeviceWatch();
WakeSignal* CreateWakeSignal();

}  // namespace qk::platform
