# Install layout, the CMake package (kw::base), kwbase.pc and CPack:
# Debian packages on Linux, one zip per Windows target.
include(CMakePackageConfigHelpers)

set(KW_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kwbase)

install(EXPORT kwbaseTargets NAMESPACE kw:: FILE kwbaseTargets.cmake
  DESTINATION ${KW_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kwbaseConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kwbaseConfig.cmake INSTALL_DESTINATION ${KW_CMAKE_DIR})
# 0.x: a new minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kwbaseConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kwbaseConfig.cmake ${PROJECT_BINARY_DIR}/kwbaseConfigVersion.cmake
  DESTINATION ${KW_CMAKE_DIR} COMPONENT dev)

# pkg-config
set(KW_PC_CFLAGS "")
set(KW_PC_REQUIRES_PRIVATE "")
set(KW_PC_LIBS_PRIVATE "")
if(NOT KW_SHARED)
  set(KW_PC_CFLAGS " -DKW_STATIC")
  if(WIN32)
    set(KW_PC_LIBS_PRIVATE "-ladvapi32 -lshell32 -lnetapi32 -lsecur32 -luser32")
  else()
    set(KW_PC_REQUIRES_PRIVATE "sqlite3 libunwind libdw libdeflate")
    set(KW_PC_LIBS_PRIVATE "-lpthread -ldl")
  endif()
endif()
if(WIN32)
  # A zip is unpacked anywhere: the prefix is found from the file's own place.
  file(RELATIVE_PATH kw_pc_up /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  set(KW_PC_PREFIX "\${pcfiledir}/${kw_pc_up}")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/kwbase.pc.in ${PROJECT_BINARY_DIR}/kwbase.pc @ONLY)
else()
  # The prefix is the one of the install itself (cmake --install --prefix,
  # or /usr for the Debian packages), filled in when installing.
  set(KW_PC_PREFIX "@KW_PC_PREFIX@")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/kwbase.pc.in ${PROJECT_BINARY_DIR}/kwbase.pc.in @ONLY)
  install(CODE "
    set(KW_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${PROJECT_BINARY_DIR}/kwbase.pc.in\" \"${PROJECT_BINARY_DIR}/kwbase.pc\" @ONLY)"
    COMPONENT dev)
endif()
install(FILES ${PROJECT_BINARY_DIR}/kwbase.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# Packages
set(CPACK_PACKAGE_NAME kwbase)
set(CPACK_PACKAGE_VENDOR Kestrelwright)
set(CPACK_PACKAGE_CONTACT "Kestrelwright maintainers <maintainers@kestrelwright.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)

if(WIN32)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Base library of the Kestrelwright desktop client suite")
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  # One zip with everything: DLL, import library, headers, CMake package, kwtool.exe.
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  set(CPACK_PACKAGE_FILE_NAME kwbase-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
else()
  include(${CMAKE_CURRENT_LIST_DIR}/packaging/Debian.cmake)
endif()

include(CPack)
