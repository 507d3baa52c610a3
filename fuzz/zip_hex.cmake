# Firmware images in Intel HEX come from files the user hands over.
if(TARGET zw_hcapi_zip)
  zw_fuzz(NAME fuzz_zip_hex
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/zip_hex_fuzz.cpp
    LIBS zw_hcapi_zip)
endif()
