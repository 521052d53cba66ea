# Tests of the command calls, against a scripted token behind the transport hook.
foreach(name file_id pin files keypair device_control)
  qk_add_test(NAME api_${name}_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/${name}_test.cpp)
endforeach()
