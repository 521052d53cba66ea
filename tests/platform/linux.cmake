# The Linux hidraw backend and the POSIX named lock.
if(NOT WIN32)
  qk_add_test(NAME platform_linux_test SOURCES
    hidraw_backend_test.cpp named_lock_test.cpp inotify_watch_test.cpp debug_log_test.cpp)
endif()
