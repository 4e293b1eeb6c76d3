# Release packages, made by CPack from the install rules above it in CMakeLists.txt:
#   Linux:   two Debian packages, tandrill-kobas (the command line and libkobas.so.1, component
#            Runtime) and libkobas-dev (kobas.h, libkobas.so, kobas.pc, the CMake package files,
#            component Development); `cpack -G DEB` in a build configured with
#            -DCMAKE_INSTALL_PREFIX=/usr (so the library lands in the multiarch folder).
#   Windows: one zip of the mingw-w64 build: bin/ (the .exe and kobas.dll), lib/ (the import
#            library, kobas.pc, the CMake package files), include/kobas.h, README.md, LICENSE.
# scripts/package.sh configures, builds and packs both. Every version below is project(VERSION).

set(KOBAS_PACKAGE_MAINTAINER "tandrill-kobas authors <maintainers@tandrill-kobas.invalid>"
  CACHE STRING "Maintainer named in the Debian packages and their changelog")

# ---- licence and Debian documentation files -------------------------------------------------------
if(WIN32)
  install(FILES LICENSE README.md DESTINATION . COMPONENT Runtime)
else()
  # /usr/share/doc/PACKAGE/copyright holds LICENSE in the machine-readable copyright format: each
  # line indented by one space, an empty line written as " .".
  file(READ ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE KOBAS_LICENSE_INDENTED)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
  string(REGEX REPLACE "\n+$" "" KOBAS_LICENSE_INDENTED "${KOBAS_LICENSE_INDENTED}")
  string(REPLACE "\n" "\n " KOBAS_LICENSE_INDENTED "${KOBAS_LICENSE_INDENTED}")
  string(REGEX REPLACE "\n \n" "\n .\n" KOBAS_LICENSE_INDENTED "${KOBAS_LICENSE_INDENTED}")
  string(REGEX REPLACE "\n \n" "\n .\n" KOBAS_LICENSE_INDENTED "${KOBAS_LICENSE_INDENTED}")
  # Its Copyright field is LICENSE's own copyright line.
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${KOBAS_LICENSE_INDENTED}")
  set(KOBAS_COPYRIGHT "${CMAKE_MATCH_1}")
  set(KOBAS_DEB_DIR ${CMAKE_CURRENT_BINARY_DIR}/debian)
  configure_file(cmake/debian/copyright.in ${KOBAS_DEB_DIR}/copyright @ONLY)

  # The changelog's newest entry carries project(VERSION). On a version change, add a new entry
  # on top with @PROJECT_VERSION@ and write the old entry's number out.
  configure_file(cmake/debian/changelog.in ${KOBAS_DEB_DIR}/changelog @ONLY)
  find_program(KOBAS_GZIP gzip REQUIRED)
  # -9n: the highest compression and no name or time stamp inside, as Debian expects.
  add_custom_command(OUTPUT ${KOBAS_DEB_DIR}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${KOBAS_DEB_DIR}/changelog ${KOBAS_DEB_DIR}/changelog.gz.in
    COMMAND ${KOBAS_GZIP} -9nf ${KOBAS_DEB_DIR}/changelog.gz.in
    COMMAND ${CMAKE_COMMAND} -E rename ${KOBAS_DEB_DIR}/changelog.gz.in.gz
            ${KOBAS_DEB_DIR}/changelog.gz
    DEPENDS ${KOBAS_DEB_DIR}/changelog VERBATIM)
  add_custom_target(kobas_debian_changelog ALL DEPENDS ${KOBAS_DEB_DIR}/changelog.gz)

  foreach(pair "Runtime;tandrill-kobas" "Development;libkobas-dev")
    list(GET pair 0 component)
    list(GET pair 1 package)
    install(FILES ${KOBAS_DEB_DIR}/copyright ${KOBAS_DEB_DIR}/changelog.gz
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  endforeach()
endif()

# ---- CPack -----------------------------------------------------------------------------------------
set(CPACK_PACKAGE_NAME tandrill-kobas)
set(CPACK_PACKAGE_VENDOR "the tandrill-kobas authors")
set(CPACK_PACKAGE_CONTACT "${KOBAS_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VERSION_MAJOR ${PROJECT_VERSION_MAJOR})
set(CPACK_PACKAGE_VERSION_MINOR ${PROJECT_VERSION_MINOR})
set(CPACK_PACKAGE_VERSION_PATCH ${PROJECT_VERSION_PATCH})
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: the Debian generator would put it above each package's own
# summary line (CPACK_DEBIAN_<COMPONENT>_DESCRIPTION below).
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${CMAKE_CURRENT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
# Only what the install rules name goes in; the test programs are never installed.
set(CPACK_COMPONENTS_ALL Runtime Development)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # One zip with both components, under one top folder named like the zip.
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_PACKAGE_FILE_NAME tandrill-kobas-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # kobas.pc is written at install time from CMAKE_INSTALL_PREFIX: stage with DESTDIR so that it
  # names /usr, not the staging folder.
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  # Depends: from dpkg-shlibdeps; a shlibs file so that programs linked against libkobas.so.1
  # depend on this package at this version or later.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME tandrill-kobas)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION httpd)
  # The dynamic linker's cache is refreshed by dpkg's ldconfig trigger. (CPack 3.25 also writes a
  # postinst and postrm calling ldconfig for any library under /usr/lib, with no switch to leave
  # them out: see docs/packaging.md.)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/triggers)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
"small HTTP/1.1 file server for sharing local media
A small, fast HTTP/1.1 file server that a desktop media player runs beside
itself to share local media with other devices on the network. Named roots
(a folder or one file) are served with byte ranges, so remote players can
seek in video; folders answer as an HTML index page or a paged JSON
listing. Access can require a Bearer key, and a change watcher tells the
controlling program which root changed.
.
This package holds the command tandrill-orbelwick-koba-http-file-server
and the shared library libkobas.so.1 it is built on.")

  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libkobas-dev)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "tandrill-kobas (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
"development files for libkobas, an embeddable HTTP/1.1 file server
libkobas is the tandrill-kobas HTTP/1.1 file server as a C library: a host
program such as a media player registers named roots, starts the server
and is told when a root changes.
.
This package holds the header kobas.h, the link library libkobas.so, the
pkg-config file kobas.pc and the CMake package files for
find_package(kobas) with the imported target kobas::kobas.")
endif()

include(CPack)
