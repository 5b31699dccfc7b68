# SPDX-License-Identifier: MIT
# Installing like any Linux program: the executable, the desktop entry, the icon in the hicolor theme
# (the SVG and PNGs drawn from it at build time), the AppStream metainfo and the man page; and a .deb of
# all that through CPack, its dependencies taken from the libraries the program links.
include(GNUInstallDirs)

set(CHIMELY_APP_ID com.vantorell.Chimely)
set(CHIMELY_ICON_SIZES 16 22 24 32 48 64 128 256)

find_program(RSVG_CONVERT rsvg-convert REQUIRED)
set(icon_outputs)
foreach(size ${CHIMELY_ICON_SIZES})
    set(png ${CMAKE_BINARY_DIR}/icons/${size}x${size}/chimely.png)
    add_custom_command(OUTPUT ${png}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons/${size}x${size}
        COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${CMAKE_SOURCE_DIR}/src/res/chimely.svg
        DEPENDS ${CMAKE_SOURCE_DIR}/src/res/chimely.svg
        COMMENT "Icon ${size}x${size}" VERBATIM)
    list(APPEND icon_outputs ${png})
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
add_custom_target(icons ALL DEPENDS ${icon_outputs})

# The man page goes compressed, as Debian's policy wants it.
find_program(GZIP gzip REQUIRED)
set(manpage ${CMAKE_BINARY_DIR}/man/chimely.1.gz)
add_custom_command(OUTPUT ${manpage}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${GZIP} -9 -n -c ${CMAKE_SOURCE_DIR}/docs/chimely.1 > ${manpage}
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/chimely.1
    COMMENT "Man page chimely(1)")
add_custom_target(manpage ALL DEPENDS ${manpage})

install(TARGETS chimely RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES src/res/${CHIMELY_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES src/res/${CHIMELY_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES src/res/chimely.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${manpage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Debian wants a changelog in every package (changelog.gz: the package is its own upstream); one entry a
# release.
set(CPACK_PACKAGE_CONTACT "Vantorell Chimely maintainers <chimely@vantorell.com>")
set(CHIMELY_CHANGELOG_DATE "Wed, 09 Dec 2026 00:00:00 +0000")
configure_file(debian/changelog.in ${CMAKE_BINARY_DIR}/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
    COMMAND ${GZIP} -9 -n -c ${CMAKE_BINARY_DIR}/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
    DEPENDS ${CMAKE_BINARY_DIR}/changelog)
add_custom_target(debian_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME chimely)
set(CPACK_PACKAGE_VENDOR Vantorell)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop SIP text-messaging agent")
set(CPACK_PACKAGE_INSTALL_DIRECTORY /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.vantorell.com/chimely")
# The summary above is the synopsis; CPack puts it in front of this.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Chimely signs one user in to a SIP registrar with digest authentication,
sends short text messages to one SIP address at a time and shows every text
that arrives in a box of its own. It lives in the notification area and
answers presence subscriptions as available.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The history of texts loads SQLite itself on first use (the program does not link it): shlibdeps cannot
# see it. FTS5, which the history's search needs, is in every SQLite Debian 12 has.
# The program defines some of sofia-sip's functions in their place, each checked against one build of the
# library (src/sip/ReplacedFunctions.cpp, whose table names it): the package depends on that Debian revision
# and its stable updates, and claims nothing for later ones (where those definitions would be off).
file(STRINGS ${CMAKE_SOURCE_DIR}/src/sip/ReplacedFunctions.cpp checked_line REGEX "kCheckedPackage = \"[^\"]+\"")
string(REGEX REPLACE ".*kCheckedPackage = \"([^\"]+)\".*" "\\1" CHIMELY_SOFIA_CHECKED "${checked_line}")
if(NOT CHIMELY_SOFIA_CHECKED)
    message(FATAL_ERROR "src/sip/ReplacedFunctions.cpp names no checked build of sofia-sip (kCheckedPackage)")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsqlite3-0 (>= 3.40), libsofia-sip-ua0 (>= ${CHIMELY_SOFIA_CHECKED}), \
libsofia-sip-ua0 (<< ${CHIMELY_SOFIA_CHECKED}.1~)")
# The window shows on Wayland too when Qt's Wayland platform plugin is there.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};Unspecified;/")
include(CPack)
