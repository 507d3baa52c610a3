# The interface message modules, through the daemon's own request path
# (decode, execute, reply) against the gateway simulator on loopback UDP.
if(TARGET zw_sim)
  zw_test(NAME daemon_iface_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/iface_value_test.cpp
    LIBS zw_daemon zw_sim LABELS integration threaded TIMEOUT 300)
  if(TARGET daemon_iface_tests)
    target_compile_definitions(daemon_iface_tests PRIVATE ZW_TEST_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  endif()
endif()
