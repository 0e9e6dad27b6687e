# What `cmake --install` puts where, besides the programs (their install() rules stand next to
# their targets): the desktop entry, its icons and its AppStream metadata, the man pages, the
# shell completions, the documentation; then the Debian package (QuillonPackage.cmake).
# Included last, once every target exists.
include(GNUInstallDirs)

set(QUILLON_PACKAGE_NAME quillon-reconfigurator)
set(QUILLON_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${QUILLON_PACKAGE_NAME})
set(QUILLON_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)

install(FILES ${CMAKE_SOURCE_DIR}/README.md ${QUILLON_PACKAGING_DIR}/copyright
        DESTINATION ${QUILLON_DOC_DIR})

if(WIN32)
  return()
endif()

# Man pages and the changelog are installed gzipped (-n: no name or time stamp, so that the
# package is the same from build to build).
find_program(QUILLON_GZIP gzip REQUIRED)
# quillon_gzip(SOURCE OUT): OUT names packaging/gz/<name of SOURCE>.gz in the build tree.
set(quillon_gzipped)
function(quillon_gzip source out)
  get_filename_component(name ${source} NAME)
  set(plain ${CMAKE_CURRENT_BINARY_DIR}/packaging/gz/${name})
  add_custom_command(
    OUTPUT ${plain}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${plain}
    COMMAND ${QUILLON_GZIP} -9nf ${plain}
    DEPENDS ${source}
    COMMENT "Compressing ${name}"
    VERBATIM)
  set(quillon_gzipped ${quillon_gzipped} ${plain}.gz PARENT_SCOPE)
  set(${out} ${plain}.gz PARENT_SCOPE)
endfunction()

set(quillon_programs quillon-reconfigurator-cli)
if(TARGET quillon-reconfigurator)
  list(APPEND quillon_programs quillon-reconfigurator)
endif()
if(TARGET quillon-simulator)
  list(APPEND quillon_programs quillon-simulator)
endif()
foreach(program ${quillon_programs})
  quillon_gzip(${QUILLON_PACKAGING_DIR}/man/${program}.1 page)
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

# A native package: its changelog is changelog.gz, with the project's version. Its date is the
# build's (SOURCE_DATE_EPOCH when set: scripts/package.sh sets the last commit's).
set(QUILLON_PACKAGE_MAINTAINER
    "Quillon Reconfigurator maintainers <maintainers@quillon-reconfigurator.invalid>"
    CACHE STRING "The maintainer named by the Debian package and its changelog")
string(TIMESTAMP QUILLON_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${QUILLON_PACKAGING_DIR}/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog
               @ONLY)
quillon_gzip(${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog changelog)
install(FILES ${changelog} DESTINATION ${QUILLON_DOC_DIR})
add_custom_target(quillon_packaging_files ALL DEPENDS ${quillon_gzipped})

if(TARGET quillon-reconfigurator)
  install(FILES ${QUILLON_PACKAGING_DIR}/quillon-reconfigurator.desktop
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
  foreach(size 16 32 48 256)
    install(FILES ${QUILLON_PACKAGING_DIR}/icons/quillon-reconfigurator-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${size}x${size}/apps
            RENAME quillon-reconfigurator.png)
  endforeach()

  # The dialog's entry for software centres. Its id is reverse-DNS of the project's domain (a
  # hyphen is no part of an AppStream id); the desktop entry keeps its name, which menus and
  # users' favourites know, and the metadata names it as its launchable. The release date is the
  # changelog's, the build's (SOURCE_DATE_EPOCH when set), so a rebuild of a commit gives the
  # same file. The screenshot, docs/dialog.png, must be a web address: where it is published.
  set(QUILLON_APPSTREAM_ID invalid.quillon_reconfigurator.reconfigurator)
  set(QUILLON_SCREENSHOT_URL "https://quillon-reconfigurator.invalid/docs/dialog.png"
      CACHE STRING "Where the dialog's screenshot (docs/dialog.png) is published")
  string(TIMESTAMP QUILLON_RELEASE_DATE "%Y-%m-%d" UTC)
  set(QUILLON_METAINFO ${CMAKE_CURRENT_BINARY_DIR}/packaging/${QUILLON_APPSTREAM_ID}.metainfo.xml)
  configure_file(${QUILLON_PACKAGING_DIR}/metainfo.xml.in ${QUILLON_METAINFO} @ONLY)
  install(FILES ${QUILLON_METAINFO} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo)
endif()

add_subdirectory(${CMAKE_SOURCE_DIR}/tools/completions ${CMAKE_BINARY_DIR}/tools/completions)

# What lintian reports that stays as it is, each with its reason.
install(FILES ${QUILLON_PACKAGING_DIR}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME ${QUILLON_PACKAGE_NAME})

if(QUILLON_TESTS)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/packaging ${CMAKE_BINARY_DIR}/tests/packaging)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/QuillonPackage.cmake)
