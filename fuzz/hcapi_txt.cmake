# Texts that devices send, by character presentation.
if(TARGET zw_hcapi_core)
  zw_fuzz(NAME fuzz_hcapi_txt
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hcapi_txt_fuzz.cpp
    LIBS zw_hcapi_core)
endif()
