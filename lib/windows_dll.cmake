# The library as a Windows shared library: lib_velk2_64.dll or
# lib_velk2_32.dll by the target's pointer width. Exports come from
# lib_velk2.def only; the C and C++ runtimes are linked in, so the DLL needs
# nothing beyond the Windows system libraries.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VELK_DLL_NAME lib_velk2_64)
else()
  set(VELK_DLL_NAME lib_velk2_32)
endif()

add_library(velk_dll SHARED
  ${VELK_LIB_COMMON} ${VELK_LIB_PLATFORM} device_win32.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/lib_velk2.def)
set_target_properties(velk_dll PROPERTIES
  PREFIX ""
  OUTPUT_NAME ${VELK_DLL_NAME}
  IMPORT_PREFIX ""
  IMPORT_SUFFIX ".dll.a")
target_include_directories(velk_dll PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>)
target_include_directories(velk_dll PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(velk_dll PRIVATE VELK_BUILDING_DLL WIN32_LEAN_AND_MEAN)
target_link_libraries(velk_dll PRIVATE winmm)
target_link_options(velk_dll PRIVATE -static -static-libgcc -static-libstdc++)

install(TARGETS velk_dll RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/lib_velk_2.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
