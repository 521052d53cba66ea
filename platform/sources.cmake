# Sources of the platform layer: the common front (native + virtual link),
# then one folder per native backend.
set(QK_PLATFORM_SOURCES
  platform/platform.cpp
)
if(WIN32)
  list(APPEND QK_PLATFORM_SOURCES
    # platform/win32/...
  )
else()
  list(APPEND QK_PLATFORM_SOURCES
    # platform/linux/...
  )
endif()
# The virtual link (portable: Unix-domain sockets where available, loopback TCP everywhere).
list(APPEND QK_PLATFORM_SOURCES
  # platform/virtual/...
)
