# The manual page, and the Windows release zip (CPack). The Debian packages are not made here:
# debian/ builds them from the install rules above (scripts/package.sh runs dpkg-buildpackage).
#   Linux:   the manual page goes to share/man/man1 with the program.
#   Windows: one zip of the mingw-w64 build: bin/ (the .exe and kobas.dll), lib/ (the import
#            library, kobas.pc, the CMake package files), include/kobas.h, README.md, LICENSE and
#            doc/ (api.md, the manual page as plain text).
# scripts/package.sh configures, builds and packs the zip. Its version is project(VERSION).

set(KOBAS_MANPAGE ${CMAKE_CURRENT_SOURCE_DIR}/docs/tandrill-orbelwick-koba-http-file-server.1)

if(NOT WIN32)
  install(FILES ${KOBAS_MANPAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Runtime)
  return()
endif()

install(FILES LICENSE README.md DESTINATION . COMPONENT Runtime)
install(FILES docs/api.md DESTINATION doc COMPONENT Runtime)

# Windows has no man: the page goes in rendered as text, without the overstrikes and escape
# sequences a terminal pager would use (-P-cbou).
find_program(KOBAS_GROFF groff)
if(KOBAS_GROFF)
  set(KOBAS_MANPAGE_TXT ${CMAKE_CURRENT_BINARY_DIR}/tandrill-orbelwick-koba-http-file-server.txt)
  add_custom_command(OUTPUT ${KOBAS_MANPAGE_TXT}
    COMMAND ${KOBAS_GROFF} -man -Tascii -P-cbou ${KOBAS_MANPAGE} > ${KOBAS_MANPAGE_TXT}
    DEPENDS ${KOBAS_MANPAGE} VERBATIM)
  add_custom_target(kobas_manpage_txt ALL DEPENDS ${KOBAS_MANPAGE_TXT})
  install(FILES ${KOBAS_MANPAGE_TXT} DESTINATION doc COMPONENT Runtime)
else()
  message(STATUS "groff not found: the zip will lack the manual page as text")
endif()

set(CPACK_PACKAGE_NAME tandrill-kobas)
set(CPACK_PACKAGE_VENDOR "Tandrill Kobas Maintainers")
set(CPACK_PACKAGE_CONTACT "Tandrill Kobas Maintainers <kobas@tandrill.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL https://tandrill.org/kobas)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VERSION_MAJOR ${PROJECT_VERSION_MAJOR})
set(CPACK_PACKAGE_VERSION_MINOR ${PROJECT_VERSION_MINOR})
set(CPACK_PACKAGE_VERSION_PATCH ${PROJECT_VERSION_PATCH})
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${CMAKE_CURRENT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
# Only what the install rules name goes in; the test programs are never installed.
set(CPACK_COMPONENTS_ALL Runtime Development)
set(CPACK_GENERATOR ZIP)
# One zip with both components, under one top folder named like the zip.
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_FILE_NAME tandrill-kobas-${PROJECT_VERSION}-win64)

include(CPack)
