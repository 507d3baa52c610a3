# mDNS replies from the LAN: header, answer section and the receive pass.
if(TARGET zw_hcapi_zip)
  zw_fuzz(NAME fuzz_zip_mdns SOURCES ${CMAKE_SOURCE_DIR}/fuzz/zip_mdns_fuzz.cpp
          LIBS zw_hcapi_zip SECONDS 20)
endif()
