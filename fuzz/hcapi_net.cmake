# Reports that nodes send to the node interview.
if(TARGET zw_hcapi_net)
  zw_fuzz(NAME fuzz_hcapi_ni_rpt
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hcapi_ni_rpt_fuzz.cpp
    LIBS zw_hcapi_net)
endif()
# The identification and gateway reports that network initialisation reads.
if(TARGET zw_hcapi_core AND TARGET zw_hcapi_net)
  zw_fuzz(NAME fuzz_hcapi_ident_rpt
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hcapi_ident_rpt_fuzz.cpp
    LIBS zw_hcapi_core zw_hcapi_net)
endif()
# Names and locations that devices send to the endpoint interview.
if(TARGET zw_hcapi_net)
  zw_fuzz(NAME fuzz_hcapi_ep_name
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hcapi_ep_name_fuzz.cpp
    LIBS zw_hcapi_net)
endif()
