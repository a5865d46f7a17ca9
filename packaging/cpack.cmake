# Debian package of Velmar: the programs, the man page, the systemd unit and the demo tree.
# Build it from a configured build folder with: cpack -G DEB   (or: cmake --build . --target package)
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "velmar")
set(CPACK_PACKAGE_VENDOR "Velmar")
set(CPACK_PACKAGE_CONTACT "Velmar maintainers <velmar@velmar.dev>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Telnet shell for IP-Symcon home-automation servers")
set(CPACK_PACKAGE_DESCRIPTION
    "Velmar puts a Telnet shell on an IP-Symcon server: browse the object tree like\n"
    "directories, set variables, run scripts, search names, see uptimes and ping hosts,\n"
    "all through the server's JSON-RPC API. Includes the headless service (velmar), the\n"
    "control window (velmar-gui) and a simulated server for trying it out (velmar-sim).")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PROJECT_HOMEPAGE_URL}")
# Library dependencies (libcurl, Qt, ...) are worked out from the programs themselves.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
