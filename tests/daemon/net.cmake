# The network record (start, stop, operation status, waits), the descriptor
# tree, gateway selection and the scene-library hooks, against the
# host-controller library and the gateway simulator over real loopback UDP.
if(TARGET zw_sim)
  zw_test(NAME daemon_net_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/net_record_test.cpp ${CMAKE_CURRENT_LIST_DIR}/net_gateway_test.cpp
    LIBS zw_daemon zw_sim LABELS integration threaded TIMEOUT 300)
endif()
