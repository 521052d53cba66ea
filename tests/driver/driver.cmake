# Tests of the test driver: its scenario against a scripted token, and its exit status.
qk_add_test(NAME driver_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/scenario_test.cpp
  LIBS qkdriver_scenario)
