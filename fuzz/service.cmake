# trellan's parsers of outside bytes: the request (URI, user, cookie, body)
# and the cookie header.
if(TARGET zw_service)
  zw_fuzz(NAME fuzz_service_request SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_request_fuzz.cpp LIBS zw_service)
  target_compile_definitions(fuzz_service_request PRIVATE ZW_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  zw_fuzz(NAME fuzz_service_cookie SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_cookie_fuzz.cpp LIBS zw_service)
  # kestrund's reply, read into the web answer by the real message registry.
  zw_fuzz(NAME fuzz_service_reply SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_reply_fuzz.cpp LIBS zw_service SECONDS 20
          SEEDS ${CMAKE_CURRENT_LIST_DIR}/seeds/service_reply)
  if(TARGET fuzz_service_reply)
    target_compile_definitions(fuzz_service_reply PRIVATE ZW_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  endif()
endif()
