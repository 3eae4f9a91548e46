# Three Debian packages: libkwbase0.3 (the shared library), libkwbase-dev
# (headers, the .so link, the CMake package, kwbase.pc) and kwtool.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# The packages' prefix is /usr whatever the build's CMAKE_INSTALL_PREFIX, and
# kwbase.pc is written with the prefix of the install, so the staging install
# must see /usr (below DESTDIR), not its own folder.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# kwtool's dependency on the library's package comes from the component's; this lets
# dpkg-shlibdeps find the library while it works out the others.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# Debug information goes to -dbgsym packages; libdw finds it there by build
# ID, so call stacks keep their files and lines.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(kw_so_package libkwbase${KW_SOVERSION})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${kw_so_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "\
Base library of the Kestrelwright desktop client suite
Typed messages with one wire format, a shared-memory transport between two
processes, worker threads, named mutexes, exceptions with call stacks, a
logger with a trace file, and settings, file, path and identity tools.")
# The library's shlibs entry and an ldconfig trigger, rather than CPack's
# postinst and postrm scripts that call ldconfig.
configure_file(${CMAKE_CURRENT_LIST_DIR}/shlibs.in ${PROJECT_BINARY_DIR}/debian/shlibs @ONLY)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${PROJECT_BINARY_DIR}/debian/shlibs ${CMAKE_CURRENT_LIST_DIR}/triggers)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkwbase-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "\
Base library of the Kestrelwright suite - development files
Headers, the CMake package (find_package(kwbase), target kw::base) and the
pkg-config file kwbase.pc for programs that use kwbase.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kwtool)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "\
Command-line front end of the kwbase library
Encodes and decodes messages, sends and receives them through the shared-
memory transport, reads and writes settings, prints trace files and
registers the suite's components.")

# Every package carries its copyright file and changelog.
string(TIMESTAMP kw_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
foreach(component runtime dev tools)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  set(doc ${PROJECT_BINARY_DIR}/debian/${package})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${doc}/changelog @ONLY)
  execute_process(COMMAND gzip -9nf ${doc}/changelog RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip of ${package}'s changelog failed")
  endif()
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${doc}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()
