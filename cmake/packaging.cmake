# Debian packages from the install components (scripts/package runs cpack on
# an existing build tree). Every install() names its component:
#   lib      libvelk2       the shared library's runtime files
#   dev      libvelk-dev    header, static library, link name, pkg-config file,
#                           section 3 manual pages
#   tools    velk-tools     command-line programs, their manual pages and
#                           anything that serves them (systemd units, completion)
#   utility  velk-utility   the GTK program, its data, menu entry and icons
#   python   python3-velk   the Python package and its python-can entry point
# An install() that names no component lands in tools.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "velk developers")
set(CPACK_PACKAGE_CONTACT "velk developers <velk@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev tools python)
if(TARGET velk_utility)
  list(APPEND CPACK_COMPONENTS_ALL utility)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/velk")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS OFF)
set(deb_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libvelk2)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# A shlibs file, so that packages linking libvelk_2.so.2 get their
# dependency from dpkg-shlibdeps, and the ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/libvelk2/triggers)
set(CPACK_COMPONENT_LIB_DESCRIPTION "driver library for the VELK USB-to-CAN FD adapter
libvelk_2 speaks the protocol of the two-channel USB-to-CAN and CAN FD
adapter over the serial port the host sees: connection, channel
configuration, transmit and receive of classic CAN and CAN FD frames.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvelk-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libvelk2 (= ${deb_version})")
set(CPACK_COMPONENT_DEV_DESCRIPTION "driver library for the VELK CAN FD adapter - development files
The header lib_velk_2.h, the static library, the pkg-config file velk_2.pc
and the manual page velk(3) for building programs that drive the adapter.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME velk-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "command-line tools for the VELK USB-to-CAN FD adapter
Programs in the habits of can-utils: list adapters (velk_list), print or
record received frames (velk_dump), send frames (velk_send), replay trace
files (velk_replay), serve the adapter's buses over TCP to socketcand
clients such as python-can (velk_socketcand, with an example systemd unit),
put the adapter on Linux CAN interfaces for SocketCAN programs (velk_bridge,
with the systemd template unit velk-bridge@.service), send, receive and list
ISO-TP diagnostic messages (velk_isotp), ask an ECU for UDS diagnostic services (velk_uds), and an emulated adapter
on a pseudo-terminal with an optional UDS server (velk_sim) for scripts and tests.")

set(CPACK_DEBIAN_UTILITY_PACKAGE_NAME velk-utility)
set(CPACK_DEBIAN_UTILITY_PACKAGE_SECTION electronics)
set(CPACK_COMPONENT_UTILITY_DESCRIPTION "desktop utility for the VELK USB-to-CAN FD adapter
A GTK 3 program to connect to the adapter, configure both channels, send
frames once or repeatedly and watch sent and received frames and the bus
status.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-velk)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
# The package loads libvelk_2.so.2 through ctypes, which dpkg-shlibdeps
# cannot see.
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3, python3-can, libvelk2 (>= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "Python binding and python-can interface for the VELK CAN FD adapter
The package velk wraps libvelk_2 and registers the python-can interface
\"velk\", so that can.Bus(interface=\"velk\", channel=...) drives the adapter.")

# Every package carries its copyright and changelog under share/doc.
set(changelog_gz ${PROJECT_BINARY_DIR}/packages/changelog.Debian.gz)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packages
  COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/cmake/debian/changelog > ${changelog_gz}
  DEPENDS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog VERBATIM)
add_custom_target(velk_changelog ALL DEPENDS ${changelog_gz})
foreach(c ${CPACK_COMPONENTS_ALL})
  string(TOUPPER ${c} C)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${changelog_gz}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${C}_PACKAGE_NAME} COMPONENT ${c})
endforeach()

include(CPack)
