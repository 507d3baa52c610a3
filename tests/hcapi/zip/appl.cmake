# Session and application layers against the gateway simulator. The layer
# always sends to port 4123; each test's simulator binds it on a loopback
# network of its own (127.X.Y.0/24), and the lock keeps these away from
# tests that bind the port on every address.
set(zw_zip_appl_dir ${CMAKE_CURRENT_LIST_DIR})
if(TARGET zw_sim)
  zw_test(NAME zip_appl_sim_tests
    SOURCES ${zw_zip_appl_dir}/appl_sim_test.cpp
    LIBS zw_hcapi_zip zw_sim LABELS integration threaded LOCKS zip_udp_4123 TIMEOUT 300)
  # The reply-wait timer is made to fail through the platform's start seam;
  # in a binary of its own.
  zw_test(NAME zip_appl_fault_tests
    SOURCES ${zw_zip_appl_dir}/appl_fault_test.cpp
    LIBS zw_hcapi_zip zw_sim LABELS integration threaded LOCKS zip_udp_4123 TIMEOUT 120)
endif()
