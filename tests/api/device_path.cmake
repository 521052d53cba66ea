# QKGetDevicePath against a fake device listing.
qk_add_test(NAME device_path_test SOURCES device_path_test.cpp LIBS qk_fake_device)
