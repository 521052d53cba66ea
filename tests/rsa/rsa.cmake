# Software RSA: the arithmetic and the block operations, with OpenSSL as the
# oracle (native builds only).
if(TARGET OpenSSL::Crypto)
  set(_rsa_tests ${CMAKE_CURRENT_LIST_DIR})
  qk_add_test(NAME rsa_mp_test SOURCES ${_rsa_tests}/mp_test.cpp LIBS OpenSSL::Crypto)
  qk_add_test(NAME rsa_block_test SOURCES ${_rsa_tests}/rsa_test.cpp LIBS OpenSSL::Crypto)
  # The tests build reference keys with OpenSSL's RSA structure calls.
  target_compile_options(rsa_block_test PRIVATE -Wno-deprecated-declarations)
endif()
