# Sources of the platform layer: the common front (native + virtual link),
# then one folder per native backend.
set(QK_PLATFORM_SOURCES
  platform/platform.cpp
  platform/debug_log.cpp  # QK_DEBUG lines under QKTOKEN_DEBUG
)
if(WIN32)
  list(APPEND QK_PLATFORM_SOURCES
    platform/win32/win32_backend.cpp   # HID interface listing, opening paths
    platform/win32/win32_device.cpp    # HID queries, overlapped report transfers
    platform/win32/win32_sync.cpp      # named mutexes, system version
  )
else()
  list(APPEND QK_PLATFORM_SOURCES
    platform/linux/hidraw_backend.cpp     # listing /sys/class/hidraw, opening nodes
    platform/linux/hidraw_device.cpp      # report I/O, flush, identifiers
    platform/linux/report_descriptor.cpp  # feature-report length from the descriptor
    platform/linux/sysfs_identity.cpp     # a node's HID identity from sysfs, without opening it
    platform/linux/named_lock.cpp         # lock files + flock: CreateNamedMutex
    platform/linux/os_version.cpp         # GetOsVersion (none outside Windows)
  )
endif()
# The virtual link (portable: Unix-domain sockets where available, loopback TCP everywhere).
list(APPEND QK_PLATFORM_SOURCES
  platform/virtual/frame.cpp           # frame encoding and defensive parsing
  platform/virtual/socket_io.cpp       # the socket calls, POSIX and Winsock
  platform/virtual/directory.cpp       # token directory: listing, trust checks, .tcp files
  platform/virtual/virtual_device.cpp  # connection, handshake, report I/O
  platform/virtual/proof.cpp           # the mutual proof of a TCP entry's secret
)
