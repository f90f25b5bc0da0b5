# Trace files (candump log, Vector ASC, CSV, BLF, MF4, pcap/pcapng, TRC): a static library of its own,
# outside the device library and its Windows DLLs. It reads the library's
# public records (adapter_time.cpp) but calls none of its functions.
add_library(velk_trace STATIC
  ${CMAKE_CURRENT_LIST_DIR}/trace.cpp
  ${CMAKE_CURRENT_LIST_DIR}/candump_log.cpp
  ${CMAKE_CURRENT_LIST_DIR}/asc.cpp
  ${CMAKE_CURRENT_LIST_DIR}/csv.cpp
  ${CMAKE_CURRENT_LIST_DIR}/blf.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mf4.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pcapng.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trc.cpp
  ${CMAKE_CURRENT_LIST_DIR}/compressed.cpp
  ${CMAKE_CURRENT_LIST_DIR}/split.cpp
  ${CMAKE_CURRENT_LIST_DIR}/recorder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/index.cpp
  ${CMAKE_CURRENT_LIST_DIR}/adapter_time.cpp)
# adapter_time.h takes the library's public records, so its users see the
# public header too (header only, nothing linked).
target_include_directories(velk_trace PUBLIC ${CMAKE_CURRENT_LIST_DIR} ${PROJECT_SOURCE_DIR}/include)
find_package(ZLIB REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)
target_link_libraries(velk_trace PRIVATE ZLIB::ZLIB PkgConfig::ZSTD)
find_package(Threads REQUIRED)
target_link_libraries(velk_trace PUBLIC Threads::Threads)
