# Benchmarks: each prints ROW lines that scripts/bench collects into one table.
foreach(b decode_rate send_rate connect_probe)
  add_executable(bench_${b} ${CMAKE_CURRENT_LIST_DIR}/${b}.cpp)
  target_link_libraries(bench_${b} PRIVATE velk_2_static velk_sim_lib)
  target_include_directories(bench_${b} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
endforeach()
