# What `cmake --install` puts where, and the Debian package CPack makes of it. Included after every
# program folder, so that each program is installed when its target exists in this build.
include(GNUInstallDirs)

foreach(program zelvora zelvora-gui zelvora-update-server)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

set(ZELVORA_DATA ${CMAKE_CURRENT_LIST_DIR}/../data)
set(ZELVORA_APP_ID com.tarvesk.zelvora)

# The desktop entry ("Open with" passes the files to zelvora-gui), its AppStream metadata and the icon.
install(FILES ${ZELVORA_DATA}/${ZELVORA_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# The metadata names the home page the program itself uses.
configure_file(${ZELVORA_DATA}/${ZELVORA_APP_ID}.metainfo.xml.in ${CMAKE_BINARY_DIR}/${ZELVORA_APP_ID}.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/${ZELVORA_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${ZELVORA_DATA}/icons/zelvora.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
set(ZELVORA_ICON_SIZES 16 22 24 32 48 64 128 256)
set(ZELVORA_ICON_DIR ${CMAKE_BINARY_DIR}/icons)
set(ZELVORA_ICON_FILES "")
foreach(size ${ZELVORA_ICON_SIZES})
  list(APPEND ZELVORA_ICON_FILES ${ZELVORA_ICON_DIR}/${size}x${size}/apps/zelvora.png)
endforeach()
find_package(Python3 COMPONENTS Interpreter REQUIRED)
add_custom_command(OUTPUT ${ZELVORA_ICON_FILES}
                   COMMAND Python3::Interpreter ${ZELVORA_DATA}/icons/make-icons.py ${ZELVORA_ICON_DIR} ${ZELVORA_ICON_SIZES}
                   DEPENDS ${ZELVORA_DATA}/icons/make-icons.py
                   COMMENT "Drawing the program icon")
# Drawn on demand only: the install and the package need them, the tests do not.
add_custom_target(zelvora_icons DEPENDS ${ZELVORA_ICON_FILES})
install(CODE "execute_process(COMMAND \"${CMAKE_COMMAND}\" --build \"${CMAKE_BINARY_DIR}\" --target zelvora_icons)")
foreach(size ${ZELVORA_ICON_SIZES})
  install(FILES ${ZELVORA_ICON_DIR}/${size}x${size}/apps/zelvora.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

install(FILES ${ZELVORA_DATA}/completions/zelvora DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
# Man pages go out compressed, as Debian policy wants; gzip -n keeps the package reproducible.
set(ZELVORA_MAN_PAGES zelvora)
if(TARGET zelvora-update-server)
  list(APPEND ZELVORA_MAN_PAGES zelvora-update-server)
endif()
if(TARGET zelvora-gui)
  list(APPEND ZELVORA_MAN_PAGES zelvora-gui)
endif()
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man)
foreach(page ${ZELVORA_MAN_PAGES})
  install(CODE "execute_process(COMMAND sh -c \"gzip -9n < '${ZELVORA_DATA}/man/${page}.1' > '${CMAKE_BINARY_DIR}/man/${page}.1.gz'\" COMMAND_ERROR_IS_FATAL ANY)")
  install(FILES ${CMAKE_BINARY_DIR}/man/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

# Debian package. The Depends are what the programs need at run time on Debian 12, named by hand
# because ffmpeg, the fonts and Qt's platform plugins are never found by dpkg-shlibdeps; the
# shared-library part is checked by shlibdeps too, which adds the version floors.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zelvora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tarvesk <packages@tarvesk.com>")
set(CPACK_PACKAGE_VENDOR Tarvesk)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "batch video converter for mobile playback")
set(CPACK_PACKAGE_DESCRIPTION
    "Zelvora Media Encoder collects video files in a list, shows what each\n"
    "file holds and converts the whole list into MP4, AVI or MKV files with\n"
    "one set of settings, running ffmpeg (or mencoder). The zelvora command\n"
    "does the same from a terminal and splits large batches over several\n"
    "machines.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${ZELVORA_HOME_PAGE}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(ZELVORA_DEB_DEPENDS "zlib1g, libmspack0, ffmpeg, fonts-nanum")
if(TARGET zelvora-gui)
  string(PREPEND ZELVORA_DEB_DEPENDS "libqt6widgets6, libqt6gui6, libqt6core6, qt6-qpa-plugins, ")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${ZELVORA_DEB_DEPENDS}")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "mencoder")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# A Debian package carries its copyright and changelog in its doc folder.
set(ZELVORA_DOC_DIR ${CMAKE_BINARY_DIR}/package-doc)
file(MAKE_DIRECTORY ${ZELVORA_DOC_DIR})
file(COPY_FILE ${ZELVORA_DATA}/copyright ${ZELVORA_DOC_DIR}/copyright ONLY_IF_DIFFERENT)
string(TIMESTAMP ZELVORA_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(CONFIGURE OUTPUT ${ZELVORA_DOC_DIR}/changelog
     CONTENT "zelvora (${PROJECT_VERSION}) unstable; urgency=medium\n\n  * Package built from the project's sources.\n\n -- ${CPACK_PACKAGE_CONTACT}  @ZELVORA_CHANGELOG_DATE@\n")
install(CODE "execute_process(COMMAND gzip -9nf -k \"${ZELVORA_DOC_DIR}/changelog\" COMMAND_ERROR_IS_FATAL ANY)")
install(FILES ${ZELVORA_DOC_DIR}/copyright ${ZELVORA_DOC_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zelvora)
include(CPack)
