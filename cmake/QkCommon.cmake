# Compiler settings shared by every target of the project.

function(qk_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
    if(QK_WERROR)
      target_compile_options(${target} PRIVATE /WX)
    endif()
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wconversion
      -Wno-sign-conversion -Wformat=2 -Wundef)
    if(QK_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()

if(QK_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
    -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(QK_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(WIN32)
  set(QK_PLATFORM_LIBS setupapi hid ws2_32)
else()
  find_package(Threads REQUIRED)
  set(QK_PLATFORM_LIBS Threads::Threads)
endif()

# qk_add_test(NAME name SOURCES ... [LIBS ...] [LABELS ...]): one GoogleTest
# executable, registered with CTest test by test. Every test carries the label
# of its folder under tests/ (ctest -L api runs the api layer's tests); the
# label "concurrency" marks the tests that the ThreadSanitizer stage runs.
function(qk_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE qktoken_internal ${T_LIBS} GTest::gtest_main)
  qk_warnings(${T_NAME})
  qk_folder_label(folder)
  list(APPEND T_LABELS ${folder})
  if(CMAKE_CROSSCOMPILING)
    # Discovery would have to run the Windows program; register it whole.
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  else()
    gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# The first folder under tests/ of the calling CMakeLists.txt, as a test label.
function(qk_folder_label out)
  file(RELATIVE_PATH relative ${PROJECT_SOURCE_DIR}/tests ${CMAKE_CURRENT_SOURCE_DIR})
  string(REGEX REPLACE "/.*" "" folder "${relative}")
  set(${out} ${folder} PARENT_SCOPE)
endfunction()
