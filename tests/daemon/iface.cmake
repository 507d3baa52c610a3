# The interface message families, through the daemon's own request path
# (decode, execute, reply) against the gateway simulator on loopback UDP:
# one test program per family file (iface_<family>_test.cpp), so that the
# families run side by side.
if(TARGET zw_sim)
  file(GLOB zw_iface_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/iface_*_test.cpp)
  foreach(source IN LISTS zw_iface_tests)
    get_filename_component(family ${source} NAME_WE)
    string(REGEX REPLACE "^iface_(.*)_test$" "\\1" family ${family})
    zw_test(NAME daemon_iface_${family}_tests SOURCES ${source}
      LIBS zw_daemon_messages zw_sim LABELS integration threaded TIMEOUT 300)
    if(TARGET daemon_iface_${family}_tests)
      target_compile_definitions(daemon_iface_${family}_tests PRIVATE ZW_TEST_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    endif()
  endforeach()
endif()
# The same messages of the real kestrund, python3-avro on its socket, in a
# network namespace of its own (discovery needs usable interface addresses).
if(TARGET kestrund AND TARGET zipgw-sim)
  zw_script_test(NAME kestrund_iface_test
    COMMAND /usr/bin/unshare -n /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/iface_kestrund_test.py
            $<TARGET_FILE:kestrund> $<TARGET_FILE:zipgw-sim> ${CMAKE_SOURCE_DIR}/avi/zwave.avsc
    LABELS e2e threaded TIMEOUT 240)
  # The meter, sensor and light families, against the simulator's full set.
  zw_script_test(NAME kestrund_iface_devices_test
    COMMAND /usr/bin/unshare -n /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/iface_devices_kestrund_test.py
            $<TARGET_FILE:kestrund> $<TARGET_FILE:zipgw-sim> ${CMAKE_SOURCE_DIR}/avi/zwave.avsc
    LABELS e2e threaded TIMEOUT 300)
endif()
