# The emulated adapter: a library for tests and the velk_sim program.
find_package(Threads REQUIRED)

# One file per job: the pty service (adapter.cpp), the command model, faults,
# the stream generator, loopback and bus, the record of host frames, and the
# encoding of reports.
add_library(velk_sim_lib STATIC
  ${CMAKE_CURRENT_LIST_DIR}/adapter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/command_model.cpp
  ${CMAKE_CURRENT_LIST_DIR}/faults.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stream.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bus.cpp
  ${CMAKE_CURRENT_LIST_DIR}/recording.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reports.cpp)
target_include_directories(velk_sim_lib PUBLIC ${CMAKE_CURRENT_LIST_DIR})
# The library's description of the wire (lib/wire.h) and the public header it uses.
target_include_directories(velk_sim_lib PRIVATE ${PROJECT_SOURCE_DIR}/lib ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(velk_sim_lib PUBLIC Threads::Threads util)

# The UDS server of --ecu, on the ISO-TP module: a library of its own, so the
# adapter's tests need neither.
add_library(velk_sim_ecu STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ecu.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ecu_file.cpp)
target_include_directories(velk_sim_ecu PRIVATE ${PROJECT_SOURCE_DIR}/lib ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(velk_sim_ecu PUBLIC velk_sim_lib velk_isotp_lib)

if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/velk_sim_main.cpp)
  add_executable(velk_sim ${CMAKE_CURRENT_LIST_DIR}/velk_sim_main.cpp)
  target_link_libraries(velk_sim PRIVATE velk_sim_lib velk_sim_ecu)
  install(TARGETS velk_sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
