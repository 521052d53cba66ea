# Tests of the test driver: its helpers and its scenario against a scripted token.
qk_add_test(NAME driver_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/driver_test.cpp ${CMAKE_CURRENT_LIST_DIR}/scenario_test.cpp
  LIBS qkdriver_scenario)
