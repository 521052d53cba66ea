# The simulated token's core: interpreter, framing, file system, image, keys.
find_package(OpenSSL QUIET)
set(QK_SIM_CORE_TESTS framing_test.cpp commands_test.cpp image_test.cpp token_test.cpp)
if(TARGET OpenSSL::Crypto)
  qk_add_test(NAME sim_core_test SOURCES ${QK_SIM_CORE_TESTS} keygen_test.cpp
              LIBS qktoken_sim OpenSSL::Crypto)
else()
  qk_add_test(NAME sim_core_test SOURCES ${QK_SIM_CORE_TESTS} LIBS qktoken_sim)
endif()

# The library's API against the simulated token, in-process.
if(TARGET qk_sim_backend)
  qk_add_test(NAME sim_end_to_end_test SOURCES end_to_end_test.cpp LIBS qk_sim_backend qktoken_sim)
endif()
