# qktoken-asm, the virtual-machine assembler's command line.
if(TARGET qktoken-asm AND NOT CMAKE_CROSSCOMPILING)
  qk_add_test(NAME asm_cli_test SOURCES asm_test.cpp LIBS qktoken_sim)
  add_dependencies(asm_cli_test qktoken-asm)
  target_compile_definitions(asm_cli_test PRIVATE
    QK_ASM_TOOL="$<TARGET_FILE:qktoken-asm>"
    QK_SAMPLE_DIR="${PROJECT_SOURCE_DIR}/sim/programs")
endif()
