# UDP transport and Z/IP frame layer: packet parsing by byte vectors, and the
# layer on real loopback UDP against the gateway simulator.
set(zw_zip_frm_dir ${CMAKE_CURRENT_LIST_DIR})
# Until the DTLS transport is in the library, the transport's calls into it
# resolve to a stand-in that refuses keys.
set(zw_zip_frm_dtls_stand_in)
if(NOT EXISTS ${CMAKE_SOURCE_DIR}/hcapi/zip/zip_dtls.cpp)
  set(zw_zip_frm_dtls_stand_in ${zw_zip_frm_dir}/dtls_stand_in.cpp)
endif()
zw_test(NAME zip_frm_parse_tests
  SOURCES ${zw_zip_frm_dir}/frm_parse_test.cpp ${zw_zip_frm_dtls_stand_in}
  LIBS zw_hcapi_zip LABELS unit TIMEOUT 60)
if(TARGET zw_sim)
  zw_test(NAME zip_frm_sim_tests
    SOURCES ${zw_zip_frm_dir}/frm_sim_test.cpp ${zw_zip_frm_dtls_stand_in}
    LIBS zw_hcapi_zip zw_sim LABELS integration threaded TIMEOUT 240)
endif()
