# Debian packages of Velmar, one per install component (packaging/install.cmake):
#   velmar      velmar, velmar-sim, the man pages, the systemd unit and the demo home;
#   velmar-gui  the control window; it depends on velmar, so a headless server needs no Qt.
# Build them from a configured and built build folder with: cpack -G DEB
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "velmar")
set(CPACK_PACKAGE_VENDOR "Velmar")
set(CPACK_PACKAGE_CONTACT "Velmar maintainers <velmar@velmar.dev>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PROJECT_HOMEPAGE_URL}")
# Library dependencies (libcurl, Qt, ...) are worked out from the programs themselves.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL velmar)
if(TARGET velmar-gui)
  list(APPEND CPACK_COMPONENTS_ALL gui)
endif()

# Descriptions: a synopsis line, then lines of at most 80 characters. Each is one string, so
# that no list separator reaches the control file. The package-wide summary stays empty, or
# CPack would put it in front of each package's own synopsis.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_DEBIAN_VELMAR_PACKAGE_NAME "velmar")
set(CPACK_COMPONENT_VELMAR_DESCRIPTION
    "Telnet shell for IP-Symcon home-automation servers
Velmar puts a Telnet shell on an IP-Symcon server: browse the object tree
like directories, set variables, run scripts, search names, see uptimes and
ping hosts, all through the server's JSON-RPC API.
.
This package holds the headless service (velmar) with its systemd unit and a
simulated server with a demo home for trying it out (velmar-sim).")

set(CPACK_DEBIAN_GUI_PACKAGE_NAME "velmar-gui")
set(CPACK_DEBIAN_GUI_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS "velmar (= ${CPACK_PACKAGE_VERSION})")
set(CPACK_COMPONENT_GUI_DESCRIPTION
    "control window for the Velmar Telnet shell for IP-Symcon
Velmar puts a Telnet shell on an IP-Symcon server. This package holds its
control window (velmar-gui, Qt 6): the connection fields, the Connect button
and the states of the listener and the server connection.")
include(CPack)
