# velk_bridge in the SocketCAN lab (label "lab"): one guest boot under QEMU
# runs every check against can-utils, python-can, the kernel's ISO-TP (also
# against velk_isotp) and tshark (tests/socketcan_lab_checks.sh). Where no
# guest can boot (no qemu, no kernel package to fetch) the test is skipped
# and says why. The kernel is fetched once into VELK_LAB_CACHE (default
# /var/cache/velk-lab).
if(TARGET velk_bridge AND TARGET velk_sim)
  add_test(NAME socketcan_lab_bridge
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/socketcan-lab -o ${CMAKE_CURRENT_BINARY_DIR}/socketcan-lab -t 840 --
            ${CMAKE_CURRENT_SOURCE_DIR}/socketcan_lab_checks.sh ${PROJECT_BINARY_DIR} 3000
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
  # The guest's two processors keep both cores busy.
  set_tests_properties(socketcan_lab_bridge PROPERTIES LABELS lab TIMEOUT 900 SKIP_RETURN_CODE 77
    PROCESSORS 2 FAIL_REGULAR_EXPRESSION "FAILED")
endif()
