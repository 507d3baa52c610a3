# The node, endpoint and root gateway messages of the real kestrund, with
# the simulator as its gateways, each part in a network namespace of its own
# (discovery needs usable interface addresses).
if(TARGET kestrund AND TARGET zipgw-sim)
  foreach(part nodes gateway)
    zw_script_test(NAME kestrund_node_${part}_test
      COMMAND /usr/bin/unshare -n /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/node_kestrund_test.py
              $<TARGET_FILE:kestrund> $<TARGET_FILE:zipgw-sim> ${CMAKE_SOURCE_DIR}/avi/zwave.avsc ${part}
      LABELS e2e threaded TIMEOUT 300)
  endforeach()
endif()
zw_test(NAME daemon_node_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/node_root_test.cpp LIBS zw_daemon LABELS unit)
