# Python tests: pytest with Debian's interpreter (it has python3-can), against
# velk_sim, using the package copy in the build tree.
if(TARGET velk_sim AND TARGET velk_2)
  add_executable(record_layout record_layout.c)
  target_include_directories(record_layout PRIVATE ${PROJECT_SOURCE_DIR}/include)

  set(py_env
    PYTHONPATH=${PROJECT_BINARY_DIR}/python
    VELK_SIM=$<TARGET_FILE:velk_sim>
    VELK_RECORD_LAYOUT=$<TARGET_FILE:record_layout>
    VELK_BUILD_DIR=${PROJECT_BINARY_DIR}
    PYTHONDONTWRITEBYTECODE=1)
  if(VELK_SANITIZE)
    # The library is built with the sanitizers; the interpreter is not.
    execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=libasan.so
      OUTPUT_VARIABLE asan_rt OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=libubsan.so
      OUTPUT_VARIABLE ubsan_rt OUTPUT_STRIP_TRAILING_WHITESPACE)
    list(APPEND py_env "LD_PRELOAD=${asan_rt} ${ubsan_rt}"
      ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)
  endif()
  set(py_labels python)
  if(VELK_TSAN)
    # Two buses read and send on one port from several threads.
    execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=libtsan.so
      OUTPUT_VARIABLE tsan_rt OUTPUT_STRIP_TRAILING_WHITESPACE)
    list(APPEND py_env LD_PRELOAD=${tsan_rt})
    set(py_labels "python;tsan")
  endif()
  if(TARGET velk_socketcand)
    list(APPEND py_env VELK_SOCKETCAND=$<TARGET_FILE:velk_socketcand>)
  endif()
  foreach(t binding bus shared_channel tools socketcand)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/python/test_${t}.py)
      add_test(NAME python_${t}
        COMMAND ${VELK_PYTHON} -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/python/test_${t}.py)
      set_tests_properties(python_${t} PROPERTIES LABELS "${py_labels}" ENVIRONMENT "${py_env}" TIMEOUT 300
        SKIP_REGULAR_EXPRESSION "[0-9]+ skipped")
    endif()
  endforeach()
  # The tools' end-to-end runs start several processes at once.
  if(TEST python_tools)
    set_property(TEST python_tools PROPERTY PROCESSORS 2)
  endif()
  if(TEST python_socketcand)
    set_property(TEST python_socketcand APPEND PROPERTY LABELS net)
  endif()
endif()
