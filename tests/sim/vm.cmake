# The token's virtual machine and its assembler.
if(TARGET qktoken_sim)
  qk_add_test(NAME vm_test SOURCES vm_test.cpp LIBS qktoken_sim)
  qk_add_test(NAME assembler_test SOURCES assembler_test.cpp LIBS qktoken_sim)
  target_compile_definitions(assembler_test PRIVATE
    QK_SAMPLE_DIR="${PROJECT_SOURCE_DIR}/sim/programs")
endif()
