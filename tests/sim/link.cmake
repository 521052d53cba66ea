# The virtual-link server, its faults and trace, and the qktoken-sim tool.
if(TARGET qktoken_simlink)
  qk_add_test(NAME link_faults_test SOURCES link/faults_test.cpp LIBS qktoken_simlink)
  qk_add_test(NAME link_trace_test SOURCES link/trace_test.cpp LIBS qktoken_simlink)
  qk_add_test(NAME link_server_test SOURCES link/link_server_test.cpp LIBS qktoken_simlink
              LABELS concurrency)
endif()
if(TARGET qktoken-sim AND TARGET qktoken-driver)
  qk_add_test(NAME link_tool_test SOURCES link/tool_test.cpp LIBS qktoken_sim)
  add_dependencies(link_tool_test qktoken-sim qktoken-driver)
  target_compile_definitions(link_tool_test PRIVATE
    QK_SIM_TOOL="$<TARGET_FILE:qktoken-sim>"
    QK_DRIVER_TOOL="$<TARGET_FILE:qktoken-driver>")
endif()
