# Parsers of outside text in the shared utility library.
zw_fuzz(NAME fuzz_uri_decode SOURCES ${CMAKE_SOURCE_DIR}/fuzz/util_uri_decode.cpp LIBS zw_util SECONDS 15)
zw_fuzz(NAME fuzz_inet_pton SOURCES ${CMAKE_SOURCE_DIR}/fuzz/util_inet_pton.cpp LIBS zw_util SECONDS 15)
