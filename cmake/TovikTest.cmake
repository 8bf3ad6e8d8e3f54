# tovik_add_test(<name> SOURCES ... LIBS ... [LABELS unit|x11|e2e|netns] [IO <gtest filter>]
#                [NETNS <test names>])
# One GoogleTest executable; each test case becomes a CTest test with the given labels (default unit).
# The cases that the IO filter matches (gtest syntax, "Suite.Case:Other.*") use real sockets,
# processes or namespaces: they get the label io instead, so `ctest -L unit` stays pure. NETNS names
# cases (full names, a subset of IO) that run in network namespaces of their own: io and netns.
function(tovik_add_test name)
  cmake_parse_arguments(T "" "IO;NETNS" "SOURCES;LIBS;LABELS" ${ARGN})
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
    if(T_NETNS)
      # Discovered tests take one label only: a file read after the discovered list gives these
      # both (only those that the list holds, so that an unbuilt executable breaks nothing).
      set(content "")
      foreach(t ${T_NETNS})
        string(APPEND content "list(FIND ${name}_io [=[${t}]=] at)\nif(NOT at EQUAL -1)\n"
                              "  set_tests_properties([=[${t}]=] PROPERTIES LABELS \"io;netns\")\nendif()\n")
      endforeach()
      set(labels_file "${CMAKE_CURRENT_BINARY_DIR}/${name}_netns_labels.cmake")
      file(WRITE "${labels_file}" "${content}")
      set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${labels_file}")
    endif()
  else()
    gtest_discover_tests(${name} PROPERTIES LABELS "${T_LABELS}" DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
