# The virtual link client. The frame and .tcp parsers are
# portable; the connection tests play the token over POSIX sockets.
if(WIN32)
  qk_add_test(NAME platform_virtual_test SOURCES tcp_entry_test.cpp entry_identity_test.cpp)
else()
  qk_add_test(NAME platform_virtual_test SOURCES
    tcp_entry_test.cpp entry_identity_test.cpp virtual_device_test.cpp)
endif()
