# mDNS discovery: the DNS codec and the receive pass against byte tables, and
# a real discovery against a python3 responder in a second network namespace.
set(zw_zip_mdns_dir ${CMAKE_CURRENT_LIST_DIR})
zw_test(NAME zip_mdns_codec_tests
  SOURCES ${zw_zip_mdns_dir}/mdns_codec_test.cpp
  LIBS zw_hcapi_zip LABELS unit TIMEOUT 60)
zw_test(NAME zip_mdns_netns_tests
  SOURCES ${zw_zip_mdns_dir}/mdns_netns_test.cpp
  LIBS zw_hcapi_zip LABELS integration threaded TIMEOUT 120)
