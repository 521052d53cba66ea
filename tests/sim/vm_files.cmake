# The virtual machine's file reading, its sample program and the token's execute rules for it.
if(TARGET qktoken_sim)
  qk_add_test(NAME vm_files_test SOURCES vm_files_test.cpp LIBS qktoken_sim)
  target_compile_definitions(vm_files_test PRIVATE
    QK_SAMPLE_DIR="${PROJECT_SOURCE_DIR}/sim/programs")
endif()
