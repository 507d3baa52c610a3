# Platform layer, lists, tick comparisons, worker loops and text conversion.
# All of them are threaded (or cheap), so they also run under ThreadSanitizer.
set(zw_zip_plt_dir ${CMAKE_CURRENT_LIST_DIR})
zw_test(NAME zip_plt_timer_tests
  SOURCES ${zw_zip_plt_dir}/plt_timer_test.cpp
  LIBS zw_hcapi_zip LABELS unit threaded TIMEOUT 120)
zw_test(NAME zip_plt_sync_tests
  SOURCES ${zw_zip_plt_dir}/plt_sync_test.cpp
  LIBS zw_hcapi_zip LABELS unit threaded TIMEOUT 120)
zw_test(NAME zip_util_tests
  SOURCES ${zw_zip_plt_dir}/util_list_test.cpp ${zw_zip_plt_dir}/util_msg_loop_test.cpp
          ${zw_zip_plt_dir}/util_utf_test.cpp
  LIBS zw_hcapi_zip LABELS unit threaded TIMEOUT 120)
# Replaces pthread_create to refuse threads: kept in a binary of its own.
zw_test(NAME zip_plt_fault_tests
  SOURCES ${zw_zip_plt_dir}/plt_fault_test.cpp
  LIBS zw_hcapi_zip ${CMAKE_DL_LIBS} LABELS unit threaded TIMEOUT 60)
