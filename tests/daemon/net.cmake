# The network record (start, stop, operation status, waits), the descriptor
# tree, gateway selection and the scene-library hooks, against the
# host-controller library and the gateway simulator over real loopback UDP.
if(TARGET zw_sim)
  zw_test(NAME daemon_net_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/net_record_test.cpp ${CMAKE_CURRENT_LIST_DIR}/net_gateway_test.cpp
    LIBS zw_daemon zw_sim LABELS integration threaded TIMEOUT 300)
endif()
# The real kestrund with the simulator as its gateway, each part in a
# network namespace of its own (discovery needs usable interface addresses).
if(TARGET kestrund AND TARGET zipgw-sim)
  foreach(part stored discover stop nodes restart)
    zw_script_test(NAME kestrund_net_${part}_test
      COMMAND /usr/bin/unshare -n /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/net_kestrund_test.py
              $<TARGET_FILE:kestrund> $<TARGET_FILE:zipgw-sim> ${CMAKE_SOURCE_DIR}/avi/zwave.avsc ${part}
      LABELS e2e threaded TIMEOUT 240)
    if(TEST kestrund_net_${part}_test)
      set_tests_properties(kestrund_net_${part}_test PROPERTIES SKIP_RETURN_CODE 77)
    endif()
  endforeach()
endif()
# The network operation and whitelist messages of the real kestrund: a
# Security 2 inclusion step by step and the gateway's provisioning list.
if(TARGET kestrund AND TARGET zipgw-sim)
  foreach(part incl whitelist learn)
    zw_script_test(NAME kestrund_ops_${part}_test
      COMMAND /usr/bin/unshare -n /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/ops_kestrund_test.py
              $<TARGET_FILE:kestrund> $<TARGET_FILE:zipgw-sim> ${CMAKE_SOURCE_DIR}/avi/zwave.avsc ${part}
      LABELS e2e threaded TIMEOUT 300)
  endforeach()
endif()
