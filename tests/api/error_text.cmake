# QKGetErrorText in every form, and the caller-set time limits.
qk_add_test(NAME error_text_test SOURCES error_text_test.cpp time_limits_test.cpp)
