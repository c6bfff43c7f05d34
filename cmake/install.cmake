# Installation: the driver, the host module, the headers, the tools, a
# pkg-config file and a CMake package; and a Debian package with CPack.
include(CMakePackageConfigHelpers)

install(TARGETS kivhnom morvek EXPORT kivhnomTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/kivhnom DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
foreach(tool hostlink-poll hostlink-sim)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
install(FILES examples/minimal_host.c README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

install(EXPORT kivhnomTargets NAMESPACE kivhnom:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kivhnom)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/kivhnomConfig.cmake.in
  "@PACKAGE_INIT@\ninclude(\"\${CMAKE_CURRENT_LIST_DIR}/kivhnomTargets.cmake\")\n")
configure_package_config_file(${CMAKE_CURRENT_BINARY_DIR}/kivhnomConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kivhnomConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kivhnom)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kivhnomConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kivhnomConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/kivhnomConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kivhnom)

file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/kivhnom.pc.in [=[
prefix=@CMAKE_INSTALL_PREFIX@
libdir=${prefix}/@CMAKE_INSTALL_LIBDIR@
includedir=${prefix}/@CMAKE_INSTALL_INCLUDEDIR@

Name: kivhnom
Description: Omron Host Link driver (KivMain) and its host module (err)
Version: @PROJECT_VERSION@
Libs: -L${libdir} -lmorvek -ldl
Cflags: -I${includedir}
]=])
configure_file(${CMAKE_CURRENT_BINARY_DIR}/kivhnom.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kivhnom.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kivhnom.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kivhnom)
set(CPACK_PACKAGE_CONTACT "KIVHNOM developers <dev@kivhnom.local>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Omron SYSMAC Host Link driver, poller and simulator")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
include(CPack)
