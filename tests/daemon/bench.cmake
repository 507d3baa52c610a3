# The RPC load client of scripts/bench: a tool, not a test.
if(NOT ZW_FUZZ AND TARGET zw_avi)
  add_executable(kestrund_rpc_bench ${CMAKE_CURRENT_LIST_DIR}/bench_rpc.cpp)
  target_link_libraries(kestrund_rpc_bench PRIVATE zw_avi Threads::Threads)
endif()
