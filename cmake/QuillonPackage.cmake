# The Debian package, built by CPack from the install rules (scripts/package.sh runs it):
#   dist/quillon-reconfigurator_<version>_<arch>.deb
# The version is project(VERSION); the dependencies come from the binaries (dpkg-shlibdeps).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${QUILLON_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quillon Reconfigurator maintainers")
set(CPACK_PACKAGE_CONTACT ${QUILLON_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service tool that reconfigures a Quillon's power module")
# Lines of at most 80 characters: the Debian control file keeps them as they are.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Finds one Quillon device by its serial number, on every serial port and by UDP\n"
       "broadcast on every local IPv4 network, checks that it is free and applicable,\n"
       "switches it into its service mode and writes its power-module record with a\n"
       "maximum adjustable high voltage of 5000 V; every other value of the device is\n"
       "carried over unchanged.\n"
       "\n"
       "The package holds the dialog (quillon-reconfigurator), the same procedure for\n"
       "scripts and remote shells (quillon-reconfigurator-cli) and a simulated Quillon\n"
       "on a pseudo-terminal and on UDP, for trying the tool without hardware\n"
       "(quillon-simulator).")
set(CPACK_PACKAGE_INSTALL_DIRECTORY ${QUILLON_PACKAGE_NAME})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Then the sections that stripping leaves and nothing reads (.comment, .note), as dh_strip does.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/QuillonStripSections.cmake)
set(CPACK_QUILLON_STRIP ${CMAKE_STRIP})
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/cpack)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QUILLON_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
