# qktoken-info against a simulated token served over the virtual link.
if(NOT CMAKE_CROSSCOMPILING AND TARGET qktoken-sim AND TARGET qktoken-info)
  add_test(NAME QkTokenInfo.ReadsASimulatedToken
    COMMAND $<TARGET_FILE:qktoken-sim> run --tokens 2 -- $<TARGET_FILE:qktoken-info>)
  set_tests_properties(QkTokenInfo.ReadsASimulatedToken PROPERTIES
    PASS_REGULAR_EXPRESSION "token 1\n  infoWord" TIMEOUT 60)
endif()
