# Runs inside `cmake --install`: fills kobas.pc.in with the prefix of this install run and puts
# the result into LIBDIR/pkgconfig. The caller sets KOBAS_PC_IN, KOBAS_PC_OUT, KOBAS_PC_VERSION,
# KOBAS_PC_LIBDIR_REL and KOBAS_PC_INCLUDEDIR_REL (relative to the prefix, or absolute), and
# KOBAS_PC_RELOCATABLE: when true (and LIBDIR is relative), the prefix is written relative to the
# file's own folder, ${pcfiledir}, so an unpacked archive works wherever it lies;
# and KOBAS_PC_ZLIB_LINKAGE (static or shared).
set(KOBAS_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
if(KOBAS_PC_RELOCATABLE AND NOT IS_ABSOLUTE "${KOBAS_PC_LIBDIR_REL}")
  file(RELATIVE_PATH up "/p/${KOBAS_PC_LIBDIR_REL}/pkgconfig" "/p")
  string(REGEX REPLACE "/$" "" up "${up}")
  set(KOBAS_PC_PREFIX "\${pcfiledir}/${up}")
endif()

# A relative directory is written against ${prefix} so the file stays readable; an absolute one
# (a distribution's layout) is taken as it is.
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${KOBAS_PC_${kind}_REL}")
    set(KOBAS_PC_${kind} "${KOBAS_PC_${kind}_REL}")
  else()
    set(KOBAS_PC_${kind} "\${prefix}/${KOBAS_PC_${kind}_REL}")
  endif()
endforeach()

# With zlib as a shared library, a static link of libkobas needs it too; a static zlib is
# inside the library already and asks for nothing.
if(KOBAS_PC_ZLIB_LINKAGE STREQUAL "static")
  set(KOBAS_PC_REQUIRES_PRIVATE "")
else()
  set(KOBAS_PC_REQUIRES_PRIVATE "Requires.private: zlib")
endif()

configure_file("${KOBAS_PC_IN}" "${KOBAS_PC_OUT}" @ONLY)

if(IS_ABSOLUTE "${KOBAS_PC_LIBDIR_REL}")
  set(pc_dest "${KOBAS_PC_LIBDIR_REL}/pkgconfig")
else()
  set(pc_dest "${CMAKE_INSTALL_PREFIX}/${KOBAS_PC_LIBDIR_REL}/pkgconfig")
endif()
# file(INSTALL) honours DESTDIR and records the file in install_manifest.txt.
file(INSTALL DESTINATION "${pc_dest}" TYPE FILE FILES "${KOBAS_PC_OUT}")
