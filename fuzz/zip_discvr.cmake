# The probe discovery's reading of every answer datagram from the LAN.
if(TARGET zw_hcapi_zip)
  zw_fuzz(NAME fuzz_zip_discvr
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/zip_discvr_fuzz.cpp
    LIBS zw_hcapi_zip)
endif()
