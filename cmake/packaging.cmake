# Packages, made by `make package` into dist/:
#   native build:  a Debian package (CPack DEB) of what cmake/install.cmake installs;
#   Windows build: a plain zip (CPack ZIP) and a per-user NSIS installer
#                  (target zv_windows_installer, packaging/windows/zelvanor.nsi).

include(${CMAKE_CURRENT_LIST_DIR}/install.cmake)

# `cpack` packs what is built already: the Makefile builds zv_programs first, so packaging
# never waits on the unit tests.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

set(ZV_DIST_DIR ${PROJECT_SOURCE_DIR}/dist)
set(CPACK_PACKAGE_NAME zelvanor)
set(CPACK_PACKAGE_VENDOR "Zelvanor team")
set(CPACK_PACKAGE_CONTACT "Zelvanor team <zelvanor@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "network gateway for desktops, with a tray supervisor")
# Debian shows the description as it stands: lines under 80 characters.
set(CPACK_PACKAGE_DESCRIPTION "\
Quorvel is a gateway: configuration clients connect on TCP port 52554 and\n\
exchange framed text messages that it answers or relays, and on every local\n\
IPv4 address it announces itself on UDP port 12390.\n\
Tindrel keeps the gateway running from a tray icon, and quorvel-client talks\n\
to it from the command line. The systemd unit quorvel.service runs the\n\
gateway on headless hosts.")
set(CPACK_OUTPUT_FILE_PREFIX ${ZV_DIST_DIR})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME Zelvanor-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)

  find_program(ZV_MAKENSIS makensis)
  set(stage ${CMAKE_CURRENT_BINARY_DIR}/nsis-stage)
  set(nsis_defines -DVERSION=${PROJECT_VERSION} -DSTAGE=${stage}
      -DICON=${PROJECT_SOURCE_DIR}/tray/res/tindrel.ico
      -DOUTFILE=${ZV_DIST_DIR}/Zelvanor-${PROJECT_VERSION}-setup.exe)
  foreach(program IN LISTS ZV_PACKAGED_PROGRAMS)
    string(TOUPPER ${program} upper)
    string(REPLACE "-" "_" upper ${upper})
    list(APPEND nsis_defines -DWITH_${upper})
  endforeach()
  add_custom_target(zv_windows_installer
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
    COMMAND ${CMAKE_COMMAND} --install ${CMAKE_CURRENT_BINARY_DIR} --prefix ${stage} --strip
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ZV_DIST_DIR}
    COMMAND ${ZV_MAKENSIS} -V2 ${nsis_defines} ${PROJECT_SOURCE_DIR}/packaging/windows/zelvanor.nsi
    COMMENT "Windows installer: dist/Zelvanor-${PROJECT_VERSION}-setup.exe"
    VERBATIM)
  add_dependencies(zv_windows_installer zv_programs)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Permissions as Debian expects them, whatever the umask of the build.
  set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()

include(CPack)
