# tovik_add_test(<name> SOURCES ... LIBS ... [LABELS unit|x11|e2e|netns] [IO <gtest filter>])
# One GoogleTest executable; each test case becomes a CTest test with the given labels (default unit).
# The cases that the IO filter matches (gtest syntax, "Suite.Case:Other.*") use real sockets,
# processes or namespaces: they get the label io instead, so `ctest -L unit` stays pure.
function(tovik_add_test name)
  cmake_parse_arguments(T "" "IO" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  add_executable(${name} ${T_SOURCES})
  tovik_warnings(${name})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${T_LIBS} tovik_test_support GTest::gtest GTest::gmock GTest::gtest_main)
  include(GoogleTest)
  if(T_IO)
    gtest_discover_tests(${name} TEST_FILTER "-${T_IO}" TEST_LIST ${name}_pure
      PROPERTIES LABELS "${T_LABELS}" DISCOVERY_TIMEOUT 60)
    gtest_discover_tests(${name} TEST_FILTER "${T_IO}" TEST_LIST ${name}_io
      PROPERTIES LABELS io DISCOVERY_TIMEOUT 60)
  else()
    gtest_discover_tests(${name} PROPERTIES LABELS "${T_LABELS}" DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
