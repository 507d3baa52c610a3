# Daemon core: logger, runtime wrappers, configuration, RPC server, start-up.
zw_test(NAME daemon_core_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/core_log_test.cpp ${CMAKE_CURRENT_LIST_DIR}/core_runtime_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/core_config_test.cpp
  LIBS zw_daemon LABELS unit threaded)
zw_test(NAME daemon_aserver_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/core_aserver_test.cpp
  LIBS zw_daemon LABELS integration threaded LOCKS kestrund_socket TIMEOUT 120)
# The real kestrund, driven from python3 over its configuration file, its
# signals and its socket.
foreach(part startup socket clients hostile)
  zw_script_test(NAME kestrund_${part}_test
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/core_kestrund_test.py $<TARGET_FILE:kestrund> ${part}
    LABELS integration threaded LOCKS kestrund_socket TIMEOUT 120)
endforeach()
zw_script_test(NAME kestrund_syslog_test
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/core_syslog_test.py $<TARGET_FILE:kestrund>
  LABELS integration LOCKS kestrund_socket TIMEOUT 60)
if(TEST kestrund_syslog_test)
  set_tests_properties(kestrund_syslog_test PROPERTIES SKIP_RETURN_CODE 77)
endif()
# A few minutes of steady load with the worker pool churning; resident
# memory must stay flat. Plain builds only: sanitizers keep freed memory.
if(ZW_SANITIZE STREQUAL "")
  zw_test(NAME daemon_aserver_soak_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/core_soak_test.cpp
    LIBS zw_daemon LABELS integration soak LOCKS kestrund_socket TIMEOUT 600)
endif()
