# The worker layer: device operations, send and receive workers, frame rings.
find_package(PkgConfig REQUIRED)
pkg_check_modules(VELK_GLIB REQUIRED IMPORTED_TARGET glib-2.0)
find_package(Threads REQUIRED)

# The transmit list (entries, list file, scheduler): no GLib, so that the
# command-line tools can link it too.
add_library(velk_txlist STATIC
  ${CMAKE_CURRENT_LIST_DIR}/transmit_entry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/transmit_list_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tx_scheduler.cpp)
target_include_directories(velk_txlist PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(velk_txlist PUBLIC velk_2_static velk_trace velk_dbc Threads::Threads)

add_library(velk_apipart STATIC
  ${CMAKE_CURRENT_LIST_DIR}/device_ops.cpp
  ${CMAKE_CURRENT_LIST_DIR}/workers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/status_sink.cpp)
target_include_directories(velk_apipart PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(velk_apipart PUBLIC velk_txlist velk_2_static PkgConfig::VELK_GLIB Threads::Threads)
