# The virtual machine's file reading, its sample program and the token's execute rules for it.
if(TARGET qktoken_sim)
  qk_add_test(NAME vm_files_test SOURCES vm_files_test.cpp LIBS qktoken_sim)
endif()
