# The transmit list (entries, list file, scheduler): a static library of its
# own on the library's public records, the trace and DBC modules; no GLib,
# so that the utility, velk_send --list and velk_socketcand all link it.
find_package(Threads REQUIRED)
add_library(velk_txlist STATIC
  ${CMAKE_CURRENT_LIST_DIR}/entry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cycle_changes.cpp
  ${CMAKE_CURRENT_LIST_DIR}/list_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/scheduler.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sender_thread.cpp)
target_include_directories(velk_txlist PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(velk_txlist PUBLIC velk_2_static velk_trace velk_dbc Threads::Threads)
