# The worker layer: device operations, send and receive workers, frame rings.
find_package(PkgConfig REQUIRED)
pkg_check_modules(VELK_GLIB REQUIRED IMPORTED_TARGET glib-2.0)
find_package(Threads REQUIRED)

add_library(velk_apipart STATIC
  ${CMAKE_CURRENT_LIST_DIR}/device_ops.cpp
  ${CMAKE_CURRENT_LIST_DIR}/workers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/status_sink.cpp)
target_include_directories(velk_apipart PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(velk_apipart PUBLIC velk_2_static PkgConfig::VELK_GLIB Threads::Threads)
