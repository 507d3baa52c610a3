zw_test(NAME daemon_text_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/text_test.cpp LIBS zw_daemon LABELS unit)
