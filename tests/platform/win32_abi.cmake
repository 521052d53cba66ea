# The public record layouts, checked on every target (native and Windows).
qk_add_test(NAME abi_test SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/abi_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/abi_layout.c)
