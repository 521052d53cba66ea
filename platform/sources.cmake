# Sources of the platform layer: the common front (native + virtual link),
# then one folder per native backend.
set(QK_PLATFORM_SOURCES
  platform/platform.cpp
  platform/debug_log.cpp   # QKTOKEN_DEBUG and the log's one writer
)
if(WIN32)
  list(APPEND QK_PLATFORM_SOURCES
    platform/win32/win32_backend.cpp   # HID interface listing, opening paths
    platform/win32/win32_device.cpp    # HID queries, overlapped report transfers
    platform/win32/win32_sync.cpp      # named mutexes, system version
    platform/win32/win32_watch.cpp     # device notifications, token directory changes
  )
else()
  list(APPEND QK_PLATFORM_SOURCES
    platform/linux/hidraw_backend.cpp     # listing /sys/class/hidraw, opening nodes
    platform/linux/hidraw_device.cpp      # report I/O, flush, identifiers
    platform/linux/report_descriptor.cpp  # feature-report length from the descriptor
    platform/linux/sysfs_identity.cpp     # a node's HID identity from sysfs, without opening it
    platform/linux/named_lock.cpp         # lock files + flock: CreateNamedMutex
    platform/linux/os_version.cpp         # GetOsVersion (none outside Windows)
    platform/linux/inotify_watch.cpp      # tokens arriving and leaving (inotify)
  )
endif()
# The virtual link's protocol, shared by the client below and the simulated
# token's server (sim/link): frames, .tcp entries, the proof and its SHA-256.
list(APPEND QK_PLATFORM_SOURCES
  platform/vlink/frame.cpp        # frame encoding and defensive parsing
  platform/vlink/tcp_entry.cpp    # the .tcp entry parser
  platform/vlink/proof.cpp        # the mutual proof of a TCP entry's secret
  platform/vlink/sha256.cpp       # SHA-256 and HMAC for the proof
  platform/vlink/hex.cpp          # hex digits of secrets and traces
  platform/vlink/socket_send.cpp  # one send() that never raises SIGPIPE
)
# The virtual link's client (portable: Unix-domain sockets where available,
# loopback TCP everywhere).
list(APPEND QK_PLATFORM_SOURCES
  platform/virtual/socket_io.cpp       # the socket calls, POSIX and Winsock
  platform/virtual/directory.cpp       # token directory: listing, trust checks
  platform/virtual/virtual_device.cpp  # connection, handshake, report I/O
)
