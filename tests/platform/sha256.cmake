# SHA-256 and HMAC-SHA-256: published vectors everywhere, OpenSSL as an
# oracle on native builds.
if(TARGET OpenSSL::Crypto)
  qk_add_test(NAME sha256_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/sha256_test.cpp
              LIBS OpenSSL::Crypto)
  target_compile_definitions(sha256_test PRIVATE QK_HAVE_OPENSSL)
else()
  qk_add_test(NAME sha256_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/sha256_test.cpp)
endif()
