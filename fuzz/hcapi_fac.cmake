# DSK texts come from clients (inclusion, the white list).
if(TARGET zw_hcapi_fac)
  zw_fuzz(NAME fuzz_hcapi_dsk_text
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hcapi_dsk_text_fuzz.cpp
    LIBS zw_hcapi_fac)
endif()

# The node-information file and the device-specific configuration file are
# read from disk at every start.
if(TARGET zw_hcapi_fac)
  zw_fuzz(NAME fuzz_hcapi_nif
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hcapi_nif_fuzz.cpp
    LIBS zw_hcapi_fac)
  zw_fuzz(NAME fuzz_hcapi_devcfg
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hcapi_devcfg_fuzz.cpp
    LIBS zw_hcapi_fac)
endif()

# Received commands as the background facilities check them.
if(TARGET zw_hcapi_fac)
  zw_fuzz(NAME fuzz_hcapi_fac_rpt
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hcapi_fac_rpt_fuzz.cpp
    LIBS zw_hcapi_fac)
endif()
