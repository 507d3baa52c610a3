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
# The same messages of the real kestrund, python3-avro on its socket, in a
# network namespace of its own (discovery needs usable interface addresses).
if(TARGET kestrund AND TARGET zipgw-sim)
  zw_script_test(NAME kestrund_iface_test
    COMMAND /usr/bin/unshare -n /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/iface_kestrund_test.py
            $<TARGET_FILE:kestrund> $<TARGET_FILE:zipgw-sim> ${CMAKE_SOURCE_DIR}/avi/zwave.avsc
    LABELS e2e threaded TIMEOUT 240)
endif()
