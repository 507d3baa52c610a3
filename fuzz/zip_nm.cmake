# The gateway's network-management replies, through the dispatcher and the
# white-list parsers.
if(TARGET zw_hcapi_zip)
  set(zw_fuzz_nm_dtls_stand_in)
  if(NOT EXISTS ${CMAKE_SOURCE_DIR}/hcapi/zip/zip_dtls.cpp)
    set(zw_fuzz_nm_dtls_stand_in ${CMAKE_SOURCE_DIR}/tests/hcapi/zip/dtls_stand_in.cpp)
  endif()
  zw_fuzz(NAME fuzz_zip_nm SOURCES ${CMAKE_SOURCE_DIR}/fuzz/zip_nm_fuzz.cpp ${zw_fuzz_nm_dtls_stand_in}
          LIBS zw_hcapi_zip SECONDS 20)
endif()
