# DES engine and the key-chained report cipher; OpenSSL serves as the oracle
# (native builds only: there is no OpenSSL for the Windows cross builds).
if(TARGET OpenSSL::Crypto)
  qk_add_test(NAME des_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/des_test.cpp LIBS OpenSSL::Crypto)
  target_compile_options(des_test PRIVATE -Wno-deprecated-declarations)
endif()
