# CAN databases (DBC files): a static library of its own, plain C++ on the
# standard library only, outside the device library and its Windows DLLs.
add_library(velk_dbc STATIC
  ${CMAKE_CURRENT_LIST_DIR}/tokenizer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/parser.cpp
  ${CMAKE_CURRENT_LIST_DIR}/database.cpp
  ${CMAKE_CURRENT_LIST_DIR}/layout.cpp
  ${CMAKE_CURRENT_LIST_DIR}/decode.cpp
  ${CMAKE_CURRENT_LIST_DIR}/encode.cpp
  ${CMAKE_CURRENT_LIST_DIR}/value_format.cpp)
target_include_directories(velk_dbc PUBLIC
  $<BUILD_INTERFACE:${CMAKE_CURRENT_LIST_DIR}>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/velk>)
set_target_properties(velk_dbc PROPERTIES POSITION_INDEPENDENT_CODE ON)

install(TARGETS velk_dbc ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/dbc.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velk COMPONENT dev)
