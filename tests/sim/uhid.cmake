# The /dev/uhid bridge, against a socket pair standing in for the kernel (Linux).
if(TARGET qktoken_simuhid)
  qk_add_test(NAME sim_uhid_test SOURCES uhid_test.cpp LIBS qktoken_simuhid)
endif()
