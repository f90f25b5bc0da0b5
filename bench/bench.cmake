# Benchmarks: each prints ROW lines that scripts/bench collects into one table.
foreach(b decode_rate receive_paced send_rate connect_probe)
  add_executable(bench_${b} ${CMAKE_CURRENT_LIST_DIR}/${b}.cpp)
  target_link_libraries(bench_${b} PRIVATE velk_2_static velk_sim_lib)
  target_include_directories(bench_${b} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
endforeach()

if(TARGET velk_apipart)
  add_executable(bench_ring_e2e ${CMAKE_CURRENT_LIST_DIR}/ring_e2e.cpp)
  target_link_libraries(bench_ring_e2e PRIVATE velk_apipart velk_sim_lib)
  target_include_directories(bench_ring_e2e PRIVATE ${CMAKE_CURRENT_LIST_DIR})
endif()

# The utility under load, idle, memory and the soak: the real start-up and
# main loop in-process, against a velk_sim child process.
if(TARGET velk_gui AND TARGET velk_sim)
  set(VELK_BENCH_UI_DIR ${CMAKE_CURRENT_BINARY_DIR}/ui)
  add_custom_target(bench_ui ALL
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${PROJECT_SOURCE_DIR}/ui ${VELK_BENCH_UI_DIR}
    COMMENT "Copying the layout files for the utility benchmark")
  add_executable(bench_utility ${CMAKE_CURRENT_LIST_DIR}/utility_load.cpp)
  target_link_libraries(bench_utility PRIVATE velk_gui velk_sim_lib)
  target_include_directories(bench_utility PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  target_compile_definitions(bench_utility PRIVATE VELK_BENCH_UI_DIR="${VELK_BENCH_UI_DIR}"
    VELK_SIM_PATH="$<TARGET_FILE:velk_sim>")
  set_target_properties(bench_utility PROPERTIES ENABLE_EXPORTS ON)
  add_dependencies(bench_utility bench_ui velk_sim)
endif()
