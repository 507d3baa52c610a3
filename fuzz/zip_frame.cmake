# The frame layer's reading of every datagram the gateway (or anyone on the
# LAN) sends: packet parser, option search and the receive handler.
if(TARGET zw_hcapi_zip)
  set(zw_fuzz_frm_dtls_stand_in)
  if(NOT EXISTS ${CMAKE_SOURCE_DIR}/hcapi/zip/zip_dtls.cpp)
    set(zw_fuzz_frm_dtls_stand_in ${CMAKE_SOURCE_DIR}/tests/hcapi/zip/dtls_stand_in.cpp)
  endif()
  zw_fuzz(NAME fuzz_zip_frame
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/zip_frame_fuzz.cpp ${zw_fuzz_frm_dtls_stand_in}
    LIBS zw_hcapi_zip)
endif()
