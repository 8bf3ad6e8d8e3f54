# Tests of the look and the owner-drawn controls.
if(TOVIK_BUILD_GUI)
  find_package(Qt6 REQUIRED COMPONENTS Test)
  tovik_add_test(tovik_test_theme SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestTheme.cpp LIBS tovik_ui Qt6::Test LABELS unit)
  target_include_directories(tovik_test_theme PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  tovik_add_test(tovik_test_ui SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestUi.cpp LIBS tovik_ui Qt6::Test LABELS unit)
  target_include_directories(tovik_test_ui PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
