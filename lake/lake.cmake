# Apache Parquet files for data lakes: a static library of its own, on the
# standard library, libzstd and zlib (Debian has no Parquet library for C++).
add_library(velk_lake STATIC
  ${CMAKE_CURRENT_LIST_DIR}/thrift.cpp
  ${CMAKE_CURRENT_LIST_DIR}/encoding.cpp
  ${CMAKE_CURRENT_LIST_DIR}/compress.cpp
  ${CMAKE_CURRENT_LIST_DIR}/column.cpp
  ${CMAKE_CURRENT_LIST_DIR}/footer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file.cpp)
target_include_directories(velk_lake PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_definitions(velk_lake PRIVATE VELK_VERSION="${PROJECT_VERSION}")
find_package(ZLIB REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(VELK_LAKE_ZSTD REQUIRED IMPORTED_TARGET GLOBAL libzstd)
target_link_libraries(velk_lake PRIVATE PkgConfig::VELK_LAKE_ZSTD ZLIB::ZLIB)
