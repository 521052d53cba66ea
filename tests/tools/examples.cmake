# The C example against two simulated tokens.
if(NOT CMAKE_CROSSCOMPILING AND TARGET qktoken-sim AND TARGET list_tokens)
  add_test(NAME Examples.ListTokensReadsSimulatedTokens
    COMMAND $<TARGET_FILE:qktoken-sim> run --tokens 2 -- $<TARGET_FILE:list_tokens>)
  set_tests_properties(Examples.ListTokensReadsSimulatedTokens PROPERTIES
    PASS_REGULAR_EXPRESSION "token 1: model QK-SIM serial [0-9A-F]+\n" TIMEOUT 60 LABELS tools)
endif()
