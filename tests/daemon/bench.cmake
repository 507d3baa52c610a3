# The load clients of scripts/bench: tools, not tests.
if(NOT ZW_FUZZ AND TARGET zw_avi)
  add_executable(kestrund_rpc_bench ${CMAKE_CURRENT_LIST_DIR}/bench_rpc.cpp)
  target_link_libraries(kestrund_rpc_bench PRIVATE zw_avi Threads::Threads)
  # The device road: the daemon to a simulated dimmer, and the bare UDP trip.
  add_executable(kestrund_device_bench ${CMAKE_CURRENT_LIST_DIR}/bench_device.cpp)
  target_link_libraries(kestrund_device_bench PRIVATE zw_avi)
endif()
# The library's report parser on one core.
if(NOT ZW_FUZZ AND TARGET zw_hcapi_core)
  add_executable(hcapi_rpt_parse_bench ${CMAKE_CURRENT_LIST_DIR}/bench_rpt_parse.cpp)
  target_link_libraries(hcapi_rpt_parse_bench PRIVATE zw_hcapi_core)
endif()
