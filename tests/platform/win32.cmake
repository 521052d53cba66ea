# Tests of the Win32 backend; they run as Windows programs (under Wine on a
# Linux build host).
if(WIN32)
  qk_add_test(NAME win32_platform_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/win32_platform_test.cpp)
endif()

if(WIN32 AND TARGET qktoken)
  # Loads the DLL at run time, from its own directory.
  qk_add_test(NAME win32_dll_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/win32_dll_test.cpp)
  add_dependencies(win32_dll_test qktoken)
  add_custom_command(TARGET win32_dll_test POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:qktoken>
            $<TARGET_FILE_DIR:win32_dll_test>)
endif()
