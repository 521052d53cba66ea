# Result codes and messages, the device table, listing, open and close, and
# the token information queries.
qk_add_test(NAME core_messages_test SOURCES messages_test.cpp)
qk_add_test(NAME core_device_test
  SOURCES listing_test.cpp open_close_test.cpp mutex_name_test.cpp
  LIBS qk_fake_device)
# Waiting for tokens to arrive and leave.
qk_add_test(NAME device_watch_test SOURCES device_watch_test.cpp LABELS concurrency)
