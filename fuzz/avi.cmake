# The shared check of Avro binary from outside, on the project's protocol:
# whatever it accepts, the Avro library must decode without harm.
if(TARGET zw_avi)
  zw_fuzz(NAME fuzz_avro_check SOURCES ${CMAKE_CURRENT_LIST_DIR}/avro_check_fuzz.cpp LIBS zw_avi SECONDS 20)
  if(TARGET fuzz_avro_check)
    target_compile_definitions(fuzz_avro_check PRIVATE ZW_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  endif()
endif()
