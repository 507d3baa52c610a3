# UDP transport and Z/IP frame layer: packet parsing by byte vectors, and the
# layer on real loopback UDP against the gateway simulator.
set(zw_zip_frm_dir ${CMAKE_CURRENT_LIST_DIR})
zw_test(NAME zip_frm_parse_tests
  SOURCES ${zw_zip_frm_dir}/frm_parse_test.cpp
  LIBS zw_hcapi_zip LABELS unit TIMEOUT 60)
if(TARGET zw_sim)
  zw_test(NAME zip_frm_sim_tests
    SOURCES ${zw_zip_frm_dir}/frm_sim_test.cpp
    LIBS zw_hcapi_zip zw_sim LABELS integration threaded TIMEOUT 240)
endif()
