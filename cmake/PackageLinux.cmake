# What a user installs on Linux: the program, its udev rule, the desktop entry,
# the AppStream metainfo, the icon in the hicolor theme, the man page and the
# package documents; and the Debian package made of them by CPack
# (`cpack -G DEB` in the build folder, or the target `package_deb`).
set(MIREL_APP_ID com.orvantis.MirelFirmwareUpdate)
set(MIREL_PACKAGE_NAME mirel-firmware-update)
set(_linux ${PROJECT_SOURCE_DIR}/packaging/linux)
set(_staged ${PROJECT_BINARY_DIR}/packaging)

# One timestamp for everything a package records: the commit's, so that the
# same commit packs into the same bytes.
include(${PROJECT_SOURCE_DIR}/cmake/SourceDateEpoch.cmake)
set(_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} ${MIREL_SOURCE_DATE_EPOCH})
string(TIMESTAMP MIREL_RELEASE_DATE "%Y-%m-%d" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${_saved_epoch}")

install(TARGETS MirelFirmwareUpdate RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)

# The package's rule goes where packages keep theirs; the `udev` component
# (README) still puts a hand-installed copy in /etc.
install(FILES ${_linux}/70-mirel-mouse.rules DESTINATION lib/udev/rules.d COMPONENT package_udev)

install(FILES ${_linux}/${MIREL_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        COMPONENT desktop)
configure_file(${_linux}/${MIREL_APP_ID}.metainfo.xml.in ${_staged}/${MIREL_APP_ID}.metainfo.xml @ONLY)
install(FILES ${_staged}/${MIREL_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        COMPONENT desktop)

# The icon: its SVG source, and the PNG sizes that tools/render_icons.py
# renders from it (committed beside it, so the build needs no image tools).
set(_icons ${PROJECT_SOURCE_DIR}/app/res/icons)
install(FILES ${_icons}/mirel-app.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        RENAME ${MIREL_APP_ID}.svg COMPONENT desktop)
set(MIREL_ICON_SIZES 16 32 48 128 256)
foreach(size IN LISTS MIREL_ICON_SIZES)
  install(FILES ${_icons}/mirel-app-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME ${MIREL_APP_ID}.png COMPONENT desktop)
endforeach()

# Compressed as Debian wants them: at the highest level, without a name or a
# time in the header (-n), so that the bytes depend on the text only.
find_program(MIREL_GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${_staged}/MirelFirmwareUpdate.1.gz
                   COMMAND ${MIREL_GZIP} -9n -c ${_linux}/MirelFirmwareUpdate.1 > ${_staged}/MirelFirmwareUpdate.1.gz
                   DEPENDS ${_linux}/MirelFirmwareUpdate.1 VERBATIM)
add_custom_command(OUTPUT ${_staged}/changelog.gz
                   COMMAND ${MIREL_GZIP} -9n -c ${_linux}/changelog > ${_staged}/changelog.gz
                   DEPENDS ${_linux}/changelog VERBATIM)
add_custom_target(mirel_package_files ALL DEPENDS ${_staged}/MirelFirmwareUpdate.1.gz ${_staged}/changelog.gz)
install(FILES ${_staged}/MirelFirmwareUpdate.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT desktop)
install(FILES ${_linux}/copyright ${_staged}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${MIREL_PACKAGE_NAME} COMPONENT desktop)

# The Debian package: the components above in one package.
set(CPACK_PACKAGE_NAME ${MIREL_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Orvantis")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Orvantis <support@orvantis.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware update for the Mirel VELOXA wireless mouse")
set(CPACK_PACKAGE_DESCRIPTION
    "Brings a Mirel VELOXA wireless gaming mouse, connected by its USB cable,
to firmware ${PROJECT_VERSION}. The mouse's onboard profiles and LED setting
are saved before the update and written back after it; an interrupted run
is finished by the next one. The update is shown in a window or in the
terminal. A udev rule lets the user at the seat open the mouse.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL program package_udev desktop)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://support.orvantis.example/mirel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Without a time in the compressed stream, unlike gzip's.
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_linux}/postinst ${_linux}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_GENERATOR DEB)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/packages)
include(CPack)

add_custom_target(package_deb
                  COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${MIREL_SOURCE_DATE_EPOCH}
                          ${CMAKE_CPACK_COMMAND} -G DEB --config ${PROJECT_BINARY_DIR}/CPackConfig.cmake
                  WORKING_DIRECTORY ${PROJECT_BINARY_DIR} USES_TERMINAL)
add_dependencies(package_deb MirelFirmwareUpdate mirel_package_files)
