# rw_add_test(NAME [MACHINE_STATE] SOURCES... LIBS ...): one test executable per library, run
# as one process (one Wine start) under ctest. MACHINE_STATE: the test changes what the whole
# Wine prefix shares (the machine's registry, moves at boot, work files in the drive root), so
# `ctest -j` never runs two such tests at once.
function(rw_add_test name)
  cmake_parse_arguments(ARG "MACHINE_STATE" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  # A hang fails the run instead of stalling it.
  set_tests_properties(${name} PROPERTIES TIMEOUT 900 ENVIRONMENT "RW_TEST_DATA=${PROJECT_SOURCE_DIR}/tests/data")
  if(ARG_MACHINE_STATE)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK wine_machine_state)
  endif()
endfunction()
