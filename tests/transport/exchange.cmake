# The report exchange, the channel around it and the session key.
qk_add_test(NAME transport_exchange_test
  SOURCES exchange_test.cpp session_key_test.cpp channel_test.cpp
  LIBS qk_fake_device)
