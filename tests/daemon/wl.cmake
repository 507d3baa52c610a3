zw_test(NAME daemon_wl_store_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/wl_store_test.cpp LIBS zw_daemon LABELS unit threaded)
