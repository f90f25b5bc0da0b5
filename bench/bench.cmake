# Benchmarks: each prints ROW lines that scripts/bench collects into one table.
foreach(b decode_rate receive_paced send_rate)
  add_executable(bench_${b} ${CMAKE_CURRENT_LIST_DIR}/${b}.cpp)
  target_link_libraries(bench_${b} PRIVATE velk_2_static velk_sim_lib)
  target_include_directories(bench_${b} PRIVATE ${CMAKE_CURRENT_LIST_DIR} ${PROJECT_SOURCE_DIR}/lib)
endforeach()

# These measure the worker layer too.
if(TARGET velk_apipart)
  foreach(b ring_e2e connect_probe)
    add_executable(bench_${b} ${CMAKE_CURRENT_LIST_DIR}/${b}.cpp)
    target_link_libraries(bench_${b} PRIVATE velk_apipart velk_sim_lib)
    target_include_directories(bench_${b} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  endforeach()
endif()

# The transmit list's scheduler on the adapter's timestamps.
if(TARGET velk_txlist)
  add_executable(bench_txlist_timing ${CMAKE_CURRENT_LIST_DIR}/txlist_timing.cpp)
  target_link_libraries(bench_txlist_timing PRIVATE velk_txlist velk_sim_lib)
  target_include_directories(bench_txlist_timing PRIVATE ${CMAKE_CURRENT_LIST_DIR} ${PROJECT_SOURCE_DIR}/lib)
endif()

# ISO-TP between two emulated adapters, and its state machines' CPU time.
if(TARGET velk_isotp_lib)
  add_executable(bench_isotp_rate ${CMAKE_CURRENT_LIST_DIR}/isotp_rate.cpp)
  target_link_libraries(bench_isotp_rate PRIVATE velk_isotp_lib velk_2_static velk_sim_lib)
  target_include_directories(bench_isotp_rate PRIVATE ${CMAKE_CURRENT_LIST_DIR} ${PROJECT_SOURCE_DIR}/lib)
endif()

# The utility under load, idle, memory and the soak: the real start-up and
# main loop in-process, against a velk_sim child process.
if(TARGET velk_gui AND TARGET velk_sim)
  set(VELK_BENCH_UI_DIR ${CMAKE_CURRENT_BINARY_DIR}/ui)
  add_custom_target(bench_ui ALL
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${PROJECT_SOURCE_DIR}/ui ${VELK_BENCH_UI_DIR}
    COMMENT "Copying the layout files for the utility benchmark")
  # The GUI tests' widget helpers answer the file choosers as a user would.
  add_executable(bench_utility ${CMAKE_CURRENT_LIST_DIR}/utility_load.cpp ${PROJECT_SOURCE_DIR}/tests/gui_widgets.cpp)
  target_link_libraries(bench_utility PRIVATE velk_gui velk_sim_lib)
  target_include_directories(bench_utility PRIVATE ${CMAKE_CURRENT_LIST_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(bench_utility PRIVATE VELK_BENCH_UI_DIR="${VELK_BENCH_UI_DIR}"
    VELK_SIM_PATH="$<TARGET_FILE:velk_sim>")
  set_target_properties(bench_utility PROPERTIES ENABLE_EXPORTS ON)
  add_dependencies(bench_utility bench_ui velk_sim)
endif()

# velk_dump, the real program, recording a .log under load.
if(TARGET velk_dump AND TARGET velk_trace)
  add_executable(bench_dump_rate ${CMAKE_CURRENT_LIST_DIR}/dump_rate.cpp)
  target_link_libraries(bench_dump_rate PRIVATE velk_2_static velk_sim_lib velk_trace)
  target_include_directories(bench_dump_rate PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  target_compile_definitions(bench_dump_rate PRIVATE VELK_DUMP_PATH="$<TARGET_FILE:velk_dump>")
  add_dependencies(bench_dump_rate velk_dump)
endif()

# The DBC module against its targets and python3-canmatrix.
if(TARGET velk_dbc)
  add_executable(bench_dbc_rate ${CMAKE_CURRENT_LIST_DIR}/dbc_rate.cpp)
  target_link_libraries(bench_dbc_rate PRIVATE velk_dbc)
  target_include_directories(bench_dbc_rate PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  target_compile_definitions(bench_dbc_rate PRIVATE VELK_BENCH_DIR="${CMAKE_CURRENT_LIST_DIR}")
endif()

# The network server against velk_dump on the same streams.
if(TARGET velk_netd AND TARGET velk_dump)
  add_executable(bench_socketcand_rate ${CMAKE_CURRENT_LIST_DIR}/socketcand_rate.cpp)
  target_link_libraries(bench_socketcand_rate PRIVATE velk_netd velk_sim_lib)
  target_include_directories(bench_socketcand_rate PRIVATE ${CMAKE_CURRENT_LIST_DIR} ${PROJECT_SOURCE_DIR}/sim)
  target_compile_definitions(bench_socketcand_rate PRIVATE VELK_DUMP_PATH="$<TARGET_FILE:velk_dump>")
  add_dependencies(bench_socketcand_rate velk_dump)
endif()

# velk_decode --lake against --json, and DuckDB over both (scripts/lake-readers).
if(TARGET velk_decode AND TARGET velk_trace)
  add_executable(bench_lake_rate ${CMAKE_CURRENT_LIST_DIR}/lake_rate.cpp)
  target_link_libraries(bench_lake_rate PRIVATE velk_trace)
  target_include_directories(bench_lake_rate PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  target_compile_definitions(bench_lake_rate PRIVATE VELK_DECODE_PATH="$<TARGET_FILE:velk_decode>"
    VELK_BENCH_DIR="${CMAKE_CURRENT_LIST_DIR}" VELK_LAKE_READERS_DEFAULT="${PROJECT_SOURCE_DIR}/build/lake-readers")
  add_dependencies(bench_lake_rate velk_decode)
endif()

# The trace formats on one large file: read rates against python-can and
# zlib, velk_convert against cat.
if(TARGET velk_convert AND TARGET velk_trace)
  find_package(ZLIB REQUIRED)
  add_executable(bench_trace_rate ${CMAKE_CURRENT_LIST_DIR}/trace_rate.cpp)
  target_link_libraries(bench_trace_rate PRIVATE velk_trace ZLIB::ZLIB)
  target_include_directories(bench_trace_rate PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  target_compile_definitions(bench_trace_rate PRIVATE VELK_CONVERT_PATH="$<TARGET_FILE:velk_convert>")
  add_dependencies(bench_trace_rate velk_convert)
endif()

# The trace view's index: first rows, indexing rate, memory, Go to.
if(TARGET velk_trace)
  add_executable(bench_trace_view ${CMAKE_CURRENT_LIST_DIR}/trace_view.cpp)
  target_link_libraries(bench_trace_view PRIVATE velk_trace)
  target_include_directories(bench_trace_view PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  # Filters, plots and jumps through the view's own code, where it is built.
  if(TARGET velk_gui)
    target_link_libraries(bench_trace_view PRIVATE velk_gui)
    target_compile_definitions(bench_trace_view PRIVATE VELK_BENCH_VIEW)
  endif()
endif()
