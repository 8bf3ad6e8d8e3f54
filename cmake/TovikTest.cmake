# tovik_add_test(<name> SOURCES ... LIBS ... [LABELS unit|x11|e2e|slow|netns])
# One GoogleTest executable; each test case becomes a CTest test with the given labels.
function(tovik_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  add_executable(${name} ${T_SOURCES})
  tovik_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  include(GoogleTest)
  gtest_discover_tests(${name}
    PROPERTIES LABELS "${T_LABELS}"
    DISCOVERY_TIMEOUT 60)
endfunction()
