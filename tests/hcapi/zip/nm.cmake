# Network management with the gateway: replies fed to the dispatcher as byte
# vectors, and every request and reply over real loopback UDP against the
# gateway simulator's network-management handlers.
set(zw_zip_nm_dir ${CMAKE_CURRENT_LIST_DIR})
zw_test(NAME zip_nm_parse_tests
  SOURCES ${zw_zip_nm_dir}/nm_parse_test.cpp
  LIBS zw_hcapi_zip LABELS unit threaded TIMEOUT 60)
if(TARGET zw_sim)
  zw_test(NAME zip_nm_sim_tests
    SOURCES ${zw_zip_nm_dir}/nm_sim_test.cpp
    LIBS zw_hcapi_zip zw_sim LABELS integration threaded TIMEOUT 240)
endif()
