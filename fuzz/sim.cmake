# The simulator's Z/IP packet parser takes whatever the client under test sends.
if(TARGET zw_sim)
  zw_fuzz(NAME fuzz_sim_packet SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_packet_fuzz.cpp LIBS zw_sim)
endif()
