# Message registry, network list, request decoding, dispatch and replies.
zw_test(NAME daemon_dispatch_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/dispatch_registry_test.cpp ${CMAKE_CURRENT_LIST_DIR}/dispatch_request_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/dispatch_net_list_test.cpp
  LIBS zw_daemon_messages LABELS unit threaded)
if(TARGET daemon_dispatch_tests)
  target_compile_definitions(daemon_dispatch_tests PRIVATE ZW_TEST_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endif()
# The real kestrund answering python3-avro on its socket.
zw_script_test(NAME kestrund_dispatch_test
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/dispatch_kestrund_test.py $<TARGET_FILE:kestrund>
          ${CMAKE_SOURCE_DIR}/avi/zwave.avsc
  LABELS integration threaded LOCKS kestrund_socket TIMEOUT 120)
