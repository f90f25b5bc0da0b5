# Benchmarks: each prints ROW lines that scripts/bench collects into one table.
foreach(b decode_rate send_rate connect_probe)
  add_executable(bench_${b} ${CMAKE_CURRENT_LIST_DIR}/${b}.cpp)
  target_link_libraries(bench_${b} PRIVATE velk_2_static velk_sim_lib)
  target_include_directories(bench_${b} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
endforeach()

if(TARGET velk_apipart)
  add_executable(bench_ring_e2e ${CMAKE_CURRENT_LIST_DIR}/ring_e2e.cpp)
  target_link_libraries(bench_ring_e2e PRIVATE velk_apipart velk_sim_lib)
  target_include_directories(bench_ring_e2e PRIVATE ${CMAKE_CURRENT_LIST_DIR})
endif()
