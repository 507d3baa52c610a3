# Frames that devices send: the class/command reader, the get/report table
# and the controller responder's look-ups.
if(TARGET zw_hcapi_core AND TARGET zw_hcapi_net)
  zw_fuzz(NAME fuzz_hcapi_frame
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hcapi_frame_fuzz.cpp
    LIBS zw_hcapi_core zw_hcapi_net)
endif()

# Frames through the report dispatcher.
if(TARGET zw_hcapi_core AND TARGET zw_hcapi_net)
  zw_fuzz(NAME fuzz_hcapi_rpt
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hcapi_rpt_fuzz.cpp
    LIBS zw_hcapi_core zw_hcapi_net)
endif()

# Commands through command reception of a running network whose nodes have
# interfaces of many classes.
if(TARGET zw_hcapi_core AND TARGET zw_hcapi_net AND TARGET zw_sim)
  zw_fuzz(NAME fuzz_hcapi_rx
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hcapi_rx_fuzz.cpp
    LIBS zw_hcapi_core zw_hcapi_net zw_sim)
endif()
