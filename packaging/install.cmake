# What `cmake --install` puts where, in two components that become the two Debian packages:
#   velmar  the headless service, velmar-passwd, the simulated server, their man pages, the
#           systemd unit and the demo home;
#   gui     the control window and its man page (package velmar-gui, which needs velmar).
# Each package carries its own copyright file and changelog; man pages and changelogs are
# installed compressed (gzip -9n: no name, no time stamp, so the bytes do not depend on when
# they were built).

set(velmar_staging ${PROJECT_BINARY_DIR}/packaging)

# velmar_install_gzipped(<source> <destination folder> <installed name> <component>)
function(velmar_install_gzipped source destination name component)
  set(gz ${velmar_staging}/${component}/${name})
  install(CODE "
    file(MAKE_DIRECTORY \"${velmar_staging}/${component}\")
    execute_process(COMMAND gzip -9n -c \"${source}\" OUTPUT_FILE \"${gz}\"
                    COMMAND_ERROR_IS_FATAL ANY)"
          COMPONENT ${component})
  install(FILES ${gz} DESTINATION ${destination} COMPONENT ${component})
endfunction()

# velmar_install_package_docs(<package> <component>): copyright and changelog.
function(velmar_install_package_docs package component)
  set(docdir ${CMAKE_INSTALL_DATADIR}/doc/${package})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${docdir}
          COMPONENT ${component})
  velmar_install_gzipped(${PROJECT_SOURCE_DIR}/packaging/changelog ${docdir} changelog.gz
                         ${component})
endfunction()

set(mandir ${CMAKE_INSTALL_MANDIR}/man1)

install(TARGETS velmar_headless velmar-passwd velmar-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT velmar)
foreach(page IN ITEMS velmar velmar-passwd velmar-sim)
  velmar_install_gzipped(${PROJECT_SOURCE_DIR}/docs/${page}.1 ${mandir} ${page}.1.gz velmar)
endforeach()
# The unit names the program by its installed path, which is known only at install time
# (a package installs below /usr whatever the configured prefix).
set(velmar_unit_in ${PROJECT_SOURCE_DIR}/packaging/velmar.service)
set(velmar_unit_out ${velmar_staging}/velmar.service)
install(CODE "
  set(VELMAR_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  configure_file(\"${velmar_unit_in}\" \"${velmar_unit_out}\" @ONLY)"
        COMPONENT velmar)
install(FILES ${velmar_unit_out} DESTINATION lib/systemd/system COMPONENT velmar)
install(FILES ${PROJECT_SOURCE_DIR}/sim/demo_home.json DESTINATION ${CMAKE_INSTALL_DATADIR}/velmar
        COMPONENT velmar)
velmar_install_package_docs(velmar velmar)

if(TARGET velmar-gui)
  install(TARGETS velmar-gui RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gui)
  velmar_install_gzipped(${PROJECT_SOURCE_DIR}/docs/velmar-gui.1 ${mandir} velmar-gui.1.gz gui)
  velmar_install_package_docs(velmar-gui gui)
endif()
