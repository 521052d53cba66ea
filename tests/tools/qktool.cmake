# qktool: its JSON reader, and the program itself against simulated tokens.
if(TARGET qktool AND TARGET qktoken-sim AND NOT CMAKE_CROSSCOMPILING)
  qk_add_test(NAME qktool_json_test SOURCES qktool_json_test.cpp
    ${PROJECT_SOURCE_DIR}/tools/qktool/json.cpp)
  target_include_directories(qktool_json_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/qktool)
  qk_add_test(NAME qktool_test SOURCES qktool_test.cpp)
  add_dependencies(qktool_test qktool qktoken-sim)
  target_compile_definitions(qktool_test PRIVATE
    QK_TOOL="$<TARGET_FILE:qktool>"
    QK_SIM_TOOL="$<TARGET_FILE:qktoken-sim>"
    QK_SAMPLE_DIR="${PROJECT_SOURCE_DIR}/sim/programs")
endif()
