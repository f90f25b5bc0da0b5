# Trace files (candump log, Vector ASC, CSV): a static library of its own,
# outside the device library and its Windows DLLs.
add_library(velk_trace STATIC
  ${CMAKE_CURRENT_LIST_DIR}/trace.cpp
  ${CMAKE_CURRENT_LIST_DIR}/candump_log.cpp
  ${CMAKE_CURRENT_LIST_DIR}/asc.cpp
  ${CMAKE_CURRENT_LIST_DIR}/csv.cpp)
target_include_directories(velk_trace PUBLIC ${CMAKE_CURRENT_LIST_DIR})
# The DLC table of the library's public header (header only, nothing linked).
target_include_directories(velk_trace PRIVATE ${PROJECT_SOURCE_DIR}/include)
