# What `cmake --install` puts where, and the Debian package `cpack` makes
# from it: build/portavik_<version>_amd64.deb. The version is project()'s.
include(GNUInstallDirs)

install(TARGETS portavik RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET portavik-device)
    install(TARGETS portavik-device RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME portavik)
set(CPACK_PACKAGE_VENDOR "Portavik")
set(CPACK_PACKAGE_CONTACT "Portavik developers <portavik@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Interactive serial-port console (Russian UI) with a simulated device")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Portavik talks to a device over a serial port by hand: a standard mode\n"
    "(text, HEX, HEX with CRC-16/MODBUS) and a ТИРК command mode.\n"
    "portavik-device simulates a device (Modbus RTU, ТИРК, echo, text) on a\n"
    "virtual port, for trying Portavik without hardware.")
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Runtime dependencies come from dpkg-shlibdeps on the installed
# executables, so they are right whether these are linked statically or not.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
