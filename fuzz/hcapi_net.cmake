# Reports that nodes send to the node interview.
if(TARGET zw_hcapi_net)
  zw_fuzz(NAME fuzz_hcapi_ni_rpt
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hcapi_ni_rpt_fuzz.cpp
    LIBS zw_hcapi_net)
endif()
