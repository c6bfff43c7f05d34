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
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/docs/manual.md)
  install(FILES docs/manual.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

install(EXPORT kivhnomTargets NAMESPACE kivhnom:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kivhnom)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/kivhnomConfig.cmake.in
  "@PACKAGE_INIT@\ninclude(\"\${CMAKE_CURRENT_LIST_DIR}/kivhnomTargets.cmake\")\n")
configure_package_config_file(${CMAKE_CURRENT_BINARY_DIR}/kivhnomConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kivhnomConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kivhnom)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kivhnomConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kivhnomConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/kivhnomConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kivhnom)

# The pkg-config file finds its prefix from where it lies, so that it stays
# true for `cmake --install --prefix DIR` and inside the Debian package,
# whatever prefix was configured.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(KIV_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(KIV_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH KIV_PC_UP "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
  string(REGEX REPLACE "/$" "" KIV_PC_UP "${KIV_PC_UP}")
  set(KIV_PC_PREFIX "\${pcfiledir}/${KIV_PC_UP}")
  set(KIV_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(KIV_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(KIV_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/kivhnom.pc.in [=[
prefix=@KIV_PC_PREFIX@
libdir=@KIV_PC_LIBDIR@
includedir=@KIV_PC_INCLUDEDIR@
# The driver is loaded with dlopen, not linked: hosts find it here.
driver=${libdir}/libkivhnom.so

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
set(CPACK_STRIP_FILES ON)  # the build's debug information stays out of the package
include(CPack)
