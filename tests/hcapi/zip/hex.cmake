# Intel HEX reader, file names and writes, decimal texts. The HEX files come
# from objcopy and from hex_gen.py, so both must be on the path.
zw_test(NAME zip_hex_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/hex_test.cpp
  LIBS zw_hcapi_zip LABELS unit TIMEOUT 120)
