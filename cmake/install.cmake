# What an install of Zelvanor puts where. Only the programs whose targets exist are
# installed, so that a tree with an unfinished program still packages.
#   Linux (prefix /usr in the .deb): programs in bin, the tray's launcher, desktop entry and
#     icon, the headless unit, the Debian documents.
#   Windows: the .exe files side by side at the top, which is how the tray finds the gateway.

set(ZV_PACKAGED_PROGRAMS)
foreach(program Quorvel Tindrel quorvel-client)
  if(TARGET ${program})
    list(APPEND ZV_PACKAGED_PROGRAMS ${program})
  endif()
endforeach()

# Builds exactly what the packages hold (the unit tests are not needed to package).
add_custom_target(zv_programs)
if(ZV_PACKAGED_PROGRAMS)
  add_dependencies(zv_programs ${ZV_PACKAGED_PROGRAMS})
endif()

set(zv_pkg_src ${PROJECT_SOURCE_DIR}/packaging)

if(WIN32)
  install(TARGETS ${ZV_PACKAGED_PROGRAMS} RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  return()
endif()

include(GNUInstallDirs)
install(TARGETS ${ZV_PACKAGED_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(TARGET Tindrel)
  install(PROGRAMS ${zv_pkg_src}/linux/zelvanor-tray DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${zv_pkg_src}/linux/zelvanor.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/tray/res/tindrel.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps RENAME zelvanor.png)
endif()

if(TARGET Quorvel)
  install(FILES ${zv_pkg_src}/linux/quorvel.service DESTINATION lib/systemd/system)
endif()

# Debian wants a copyright file and a compressed changelog in the package's doc folder.
set(zv_doc ${CMAKE_INSTALL_DATADIR}/doc/zelvanor)
configure_file(${zv_pkg_src}/linux/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog
               @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -n -9 -k -f changelog
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packaging
  VERBATIM)
add_custom_target(zv_changelog DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz)
add_dependencies(zv_programs zv_changelog)
install(FILES ${zv_pkg_src}/linux/copyright ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
              ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${zv_doc})
