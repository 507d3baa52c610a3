# Shared build helpers.

# zw_test(NAME name SOURCES ... LIBS ... [LABELS ...] [LOCKS ...] [TIMEOUT s] [ENV k=v ...])
# One GoogleTest binary, registered as one CTest test. Label `unit`,
# `integration` or `e2e`; add `threaded` for tests that also run under TSan.
# LOCKS names resources (fixed ports, socket names) that tests must not share
# when CTest runs in parallel.
function(zw_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;LOCKS;ENV" ${ARGN})
  if(ZW_FUZZ)
    return()
  endif()
  if(ZW_SANITIZE STREQUAL "thread" AND NOT "threaded" IN_LIST T_LABELS)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "ZW_SOURCE_DIR=${CMAKE_SOURCE_DIR};ZW_BINARY_DIR=${CMAKE_BINARY_DIR};${T_ENV}")
  if(T_LOCKS)
    set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
  endif()
endfunction()

# zw_script_test(NAME name COMMAND ... [LABELS ...] [LOCKS ...] [TIMEOUT s] [DEPENDS targets])
# A test driven by a script (python3, bash) against the real programs.
function(zw_script_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "COMMAND;LABELS;LOCKS;ENV" ${ARGN})
  if(ZW_FUZZ)
    return()
  endif()
  if(ZW_SANITIZE STREQUAL "thread" AND NOT "threaded" IN_LIST T_LABELS)
    return()
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "ZW_SOURCE_DIR=${CMAKE_SOURCE_DIR};ZW_BINARY_DIR=${CMAKE_BINARY_DIR};${T_ENV}")
  if(T_LOCKS)
    set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
  endif()
endfunction()

# zw_fuzz(NAME name SOURCES ... LIBS ... [SECONDS n])
# A libFuzzer target, run by CTest for a bounded time in the fuzz build.
function(zw_fuzz)
  # SEEDS: a folder of seed inputs, read only (new inputs go to a folder of
  # the build).
  cmake_parse_arguments(F "" "NAME;SECONDS;SEEDS" "SOURCES;LIBS" ${ARGN})
  if(NOT ZW_FUZZ)
    return()
  endif()
  # A narrowed ZW_FOLDERS may leave out the library a target fuzzes.
  foreach(lib IN LISTS F_LIBS)
    if(NOT TARGET ${lib})
      return()
    endif()
  endforeach()
  if(NOT F_SECONDS)
    set(F_SECONDS 20)
  endif()
  add_executable(${F_NAME} ${F_SOURCES})
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS} Threads::Threads)
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  set(corpus)
  if(F_SEEDS)
    set(corpus ${CMAKE_CURRENT_BINARY_DIR}/${F_NAME}-corpus ${F_SEEDS})
    file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${F_NAME}-corpus)
  endif()
  add_test(NAME ${F_NAME} COMMAND ${F_NAME} -max_total_time=${F_SECONDS} -rss_limit_mb=2048 ${corpus})
  # libavro keeps a union's branch 4 bytes into the union, so pointers in a
  # value that a target keeps from one input to the next sit unaligned, and
  # the leak check libFuzzer runs between inputs would call their blocks lost.
  set_tests_properties(${F_NAME} PROPERTIES LABELS fuzz TIMEOUT ${F_SECONDS}0
    ENVIRONMENT "LSAN_OPTIONS=use_unaligned=1")
endfunction()
