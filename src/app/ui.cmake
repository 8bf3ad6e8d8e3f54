# The look and the owner-drawn controls, shared by the main window and the session windows.
if(TOVIK_BUILD_GUI)
  find_package(Qt6 REQUIRED COMPONENTS Widgets DBus)
  add_library(tovik_ui STATIC
    ${CMAKE_CURRENT_LIST_DIR}/TovikTheme.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TovikUi.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TovikButtons.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TovikTheme.h
    ${CMAKE_CURRENT_LIST_DIR}/TovikUi.h
    ${CMAKE_CURRENT_LIST_DIR}/TovikButtons.h
  )
  set_target_properties(tovik_ui PROPERTIES AUTOMOC ON)
  target_include_directories(tovik_ui PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(tovik_ui PUBLIC tovik_base Qt6::Widgets Qt6::DBus)
  tovik_warnings(tovik_ui)
endif()
