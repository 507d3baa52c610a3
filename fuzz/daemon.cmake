# kestrund's parser of outside bytes: the request frames on its socket.
if(TARGET zw_daemon_messages)
  zw_fuzz(NAME fuzz_daemon_request SOURCES ${CMAKE_CURRENT_LIST_DIR}/daemon_request_fuzz.cpp LIBS zw_daemon_messages)
  if(TARGET fuzz_daemon_request)
    target_compile_definitions(fuzz_daemon_request PRIVATE ZW_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  endif()
endif()
# Its frame reader: the length prefix and the segments a client sends.
if(TARGET zw_daemon)
  zw_fuzz(NAME fuzz_daemon_frame SOURCES ${CMAKE_CURRENT_LIST_DIR}/daemon_frame_fuzz.cpp LIBS zw_daemon)
endif()
# The stored gateway file.
if(TARGET zw_daemon)
  zw_fuzz(NAME fuzz_daemon_zip_server SOURCES ${CMAKE_CURRENT_LIST_DIR}/daemon_zip_server_fuzz.cpp LIBS zw_daemon)
endif()
