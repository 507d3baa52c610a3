# Frames that devices send: the class/command reader, the get/report table
# and the controller responder's look-ups.
if(TARGET zw_hcapi_core AND TARGET zw_hcapi_net)
  zw_fuzz(NAME fuzz_hcapi_frame
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hcapi_frame_fuzz.cpp
    LIBS zw_hcapi_core zw_hcapi_net)
endif()

# Frames through the report dispatcher, seeded with a golden frame of every
# report row (written into the build by a small program at each build).
if(TARGET zw_hcapi_core AND TARGET zw_hcapi_net)
  set(rpt_seeds ${CMAKE_CURRENT_BINARY_DIR}/fuzz_hcapi_rpt-seeds)
  zw_fuzz(NAME fuzz_hcapi_rpt
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hcapi_rpt_fuzz.cpp
    LIBS zw_hcapi_core zw_hcapi_net
    SEEDS ${rpt_seeds})
  if(TARGET fuzz_hcapi_rpt)
    add_executable(hcapi_rpt_seeds ${CMAKE_CURRENT_LIST_DIR}/hcapi_rpt_seeds.cpp)
    add_custom_command(TARGET fuzz_hcapi_rpt POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E make_directory ${rpt_seeds}
      COMMAND hcapi_rpt_seeds ${rpt_seeds}
      COMMENT "Seed corpus of fuzz_hcapi_rpt")
    add_dependencies(fuzz_hcapi_rpt hcapi_rpt_seeds)
  endif()
endif()

# Commands through command reception of a running network whose nodes have
# interfaces of many classes.
if(TARGET zw_hcapi_core AND TARGET zw_hcapi_net AND TARGET zw_sim)
  zw_fuzz(NAME fuzz_hcapi_rx
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hcapi_rx_fuzz.cpp
    LIBS zw_hcapi_core zw_hcapi_net zw_sim)
endif()
