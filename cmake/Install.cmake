# Installation (cmake --install, GNUInstallDirs) and the Debian package
# (make package: CPack).
#
#   bin/salvitra, bin/salvitra-cli          RUNPATH $ORIGIN/<to the private folder>
#   <libdir>/salvitra/lib*.so               the libraries, RUNPATH $ORIGIN
#   share/salvitra/help/index.html          the help page
#   share/applications, share/metainfo      the menu entry and AppStream data
#   share/icons/hicolor/*/apps              the icon, 16 to 512 pixels and scalable
#   share/man/man1                          both manual pages
set(SALVITRA_APP_ID org.salvitra.Salvitra)
set(SALVITRA_RELEASE_DATE 2026-12-08)
set(SALVITRA_HOMEPAGE "https://salvitra.example.org" CACHE STRING
    "The project's web site (AppStream metainfo: home page and screenshots)")
set(SALVITRA_MAINTAINER "Salvitra maintainers <maintainers@users.noreply.c-seed-d3303708.example>")
set(SALVITRA_DATA ${CMAKE_SOURCE_DIR}/data)
set(SALVITRA_GEN ${CMAKE_BINARY_DIR}/data)
set(SALVITRA_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/salvitra)

get_property(_sv_libs GLOBAL PROPERTY SALVITRA_EXPORTING_LIBRARIES)
foreach(lib IN LISTS _sv_libs)
  set_target_properties(${lib} PROPERTIES INSTALL_RPATH "\$ORIGIN")
  install(TARGETS ${lib} LIBRARY DESTINATION ${SALVITRA_PRIVATE_LIBDIR})
endforeach()

set(_sv_programs salvitra-cli)
if(TARGET salvitra)
  list(APPEND _sv_programs salvitra)
endif()
set_target_properties(${_sv_programs} PROPERTIES INSTALL_RPATH "\$ORIGIN/${SALVITRA_LIBDIR_FROM_BIN}")
install(TARGETS ${_sv_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages and the changelog, compressed as Debian wants them
# (gzip -n: no name or time stamp, the same bytes on every build).
set(_sv_gz "")
foreach(page salvitra salvitra-cli)
  configure_file(${SALVITRA_DATA}/${page}.1 ${SALVITRA_GEN}/${page}.1 @ONLY)
  add_custom_command(OUTPUT ${SALVITRA_GEN}/${page}.1.gz
    COMMAND gzip -9nc ${SALVITRA_GEN}/${page}.1 > ${SALVITRA_GEN}/${page}.1.gz
    DEPENDS ${SALVITRA_GEN}/${page}.1)
  list(APPEND _sv_gz ${SALVITRA_GEN}/${page}.1.gz)
endforeach()
add_custom_command(OUTPUT ${SALVITRA_GEN}/changelog.gz
  COMMAND gzip -9nc ${SALVITRA_DATA}/changelog > ${SALVITRA_GEN}/changelog.gz
  DEPENDS ${SALVITRA_DATA}/changelog)
list(APPEND _sv_gz ${SALVITRA_GEN}/changelog.gz)
add_custom_target(salvitra_docs ALL DEPENDS ${_sv_gz})
install(FILES ${SALVITRA_GEN}/salvitra-cli.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${SALVITRA_DATA}/copyright ${SALVITRA_GEN}/changelog.gz DESTINATION ${SALVITRA_DOCDIR})

if(TARGET salvitra)
  install(FILES ${SALVITRA_GEN}/salvitra.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_SOURCE_DIR}/app/gui/help/index.html DESTINATION ${CMAKE_INSTALL_DATADIR}/salvitra/help)
  install(FILES ${SALVITRA_DATA}/${SALVITRA_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  configure_file(${SALVITRA_DATA}/${SALVITRA_APP_ID}.metainfo.xml.in
                 ${SALVITRA_GEN}/${SALVITRA_APP_ID}.metainfo.xml @ONLY)
  install(FILES ${SALVITRA_GEN}/${SALVITRA_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

  # The icon, painted by the artwork generator like the window's images.
  set(_sv_icons ${SALVITRA_GEN}/icons)
  add_custom_command(OUTPUT ${_sv_icons}/hicolor/scalable/apps/${SALVITRA_APP_ID}.svg
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
            $<TARGET_FILE:salvitra-artgen> --app-icons ${_sv_icons} ${SALVITRA_APP_ID}
    DEPENDS salvitra-artgen
    COMMENT "Painting the application icon")
  add_custom_target(salvitra_icons ALL DEPENDS ${_sv_icons}/hicolor/scalable/apps/${SALVITRA_APP_ID}.svg)
  install(DIRECTORY ${_sv_icons}/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
endif()

# ---- the Debian package ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME salvitra)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Salvitra developers")
set(CPACK_PACKAGE_CONTACT ${SALVITRA_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "recover deleted files from memory cards, USB sticks and disks")
set(CPACK_PACKAGE_DESCRIPTION
  "Salvitra finds the files that can still be read back from a memory card, a
USB stick, a disk or a disk image, and copies them into a folder of the user's
choice. A quick scan finds deleted files through the file system's own records
(FAT, exFAT, NTFS, ext2/3/4, HFS+); a deep scan finds photos, music, videos and
documents by their content. The scanned medium is only ever read.
.
The package holds the window program salvitra and the command line
salvitra-cli. Disks that only the administrator may read are opened through
udisks2 once polkit has authorised the user.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${SALVITRA_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${SALVITRA_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS usr/${SALVITRA_PRIVATE_LIBDIR})
# The disk service and the terminal's password agent (pkttyagent).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udisks2, polkitd")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
