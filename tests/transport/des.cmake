# DES engine and the key-chained report cipher; OpenSSL serves as the oracle.
find_package(OpenSSL REQUIRED)
qk_add_test(NAME des_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/des_test.cpp LIBS OpenSSL::Crypto)
target_compile_options(des_test PRIVATE -Wno-deprecated-declarations)
