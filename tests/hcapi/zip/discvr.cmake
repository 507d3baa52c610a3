# Gateway discovery by probe and the address utilities: conversions checked
# against glibc, the answer matcher on byte vectors, and the discovery for
# real in network namespaces of its own against a python3 responder.
set(zw_zip_discvr_dir ${CMAKE_CURRENT_LIST_DIR})
zw_test(NAME zip_discvr_util_tests
  SOURCES ${zw_zip_discvr_dir}/discvr_util_test.cpp
  LIBS zw_hcapi_zip LABELS unit TIMEOUT 60)
zw_test(NAME zip_discvr_netns_tests
  SOURCES ${zw_zip_discvr_dir}/discvr_netns_test.cpp
  LIBS zw_hcapi_zip LABELS integration threaded TIMEOUT 180)
