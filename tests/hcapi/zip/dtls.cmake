# DTLS transport against real peers: openssl s_server / s_client and the
# gateway simulator in DTLS mode. Every peer takes DTLS on port 41230.
set(zw_zip_dtls_dir ${CMAKE_CURRENT_LIST_DIR})
if(TARGET zw_sim)
  zw_test(NAME zip_dtls_tests
    SOURCES ${zw_zip_dtls_dir}/dtls_test.cpp
    LIBS zw_hcapi_zip zw_sim LABELS integration threaded LOCKS zip_dtls_41230 TIMEOUT 300)
endif()
if(TARGET zw_sim AND EXISTS ${CMAKE_SOURCE_DIR}/hcapi/zip/zip_appl.cpp)
  zw_test(NAME zip_dtls_appl_tests
    SOURCES ${zw_zip_dtls_dir}/dtls_appl_test.cpp
    LIBS zw_hcapi_zip zw_sim LABELS integration threaded LOCKS zip_dtls_41230 TIMEOUT 120)
endif()
