# What a Windows user installs: an installer made with NSIS (makensis, on the
# build machine) and a plain ZIP of the program, both in <build>/packages.
# Built with the target `package_windows`; the ZIP is stamped with
# SOURCE_DATE_EPOCH (the commit's time unless given) so that it is the same
# bytes for the same commit.
include(${PROJECT_SOURCE_DIR}/cmake/SourceDateEpoch.cmake)

set(MIREL_PACKAGES_DIR ${PROJECT_BINARY_DIR}/packages)
set(MIREL_INSTALLER ${MIREL_PACKAGES_DIR}/MirelFirmwareUpdate-${PROJECT_VERSION}-setup.exe)
set(MIREL_ZIP ${MIREL_PACKAGES_DIR}/MirelFirmwareUpdate-${PROJECT_VERSION}-win64.zip)
# The packages carry the program without its debugging information.
set(MIREL_PROGRAM_EXE ${PROJECT_BINARY_DIR}/packaging/MirelFirmwareUpdate.exe)
add_custom_command(OUTPUT ${MIREL_PROGRAM_EXE}
                   COMMAND ${CMAKE_STRIP} --strip-all -o ${MIREL_PROGRAM_EXE} $<TARGET_FILE:MirelFirmwareUpdate>
                   DEPENDS MirelFirmwareUpdate VERBATIM)
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/installer.nsi.in
               ${PROJECT_BINARY_DIR}/packaging/installer.nsi @ONLY)

find_program(MIREL_MAKENSIS makensis)
set(_outputs ${MIREL_ZIP})
add_custom_command(OUTPUT ${MIREL_ZIP}
                   COMMAND ${CMAKE_COMMAND} -DOUTPUT=${MIREL_ZIP} -DFILES=${MIREL_PROGRAM_EXE}
                           -DSOURCE_DATE_EPOCH=${MIREL_SOURCE_DATE_EPOCH}
                           -P ${PROJECT_SOURCE_DIR}/packaging/windows/make_zip.cmake
                   DEPENDS ${MIREL_PROGRAM_EXE} ${PROJECT_SOURCE_DIR}/packaging/windows/make_zip.cmake VERBATIM)
if(MIREL_MAKENSIS)
  add_custom_command(OUTPUT ${MIREL_INSTALLER}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${MIREL_PACKAGES_DIR}
                     COMMAND ${MIREL_MAKENSIS} -V2 -NOCD ${PROJECT_BINARY_DIR}/packaging/installer.nsi
                     DEPENDS ${MIREL_PROGRAM_EXE} ${PROJECT_BINARY_DIR}/packaging/installer.nsi
                             ${PROJECT_SOURCE_DIR}/app/res/icons/mirel-app.ico VERBATIM)
  list(APPEND _outputs ${MIREL_INSTALLER})
else()
  message(STATUS "makensis not found: no Windows installer (Debian package nsis)")
endif()
# Part of every build, so that the tests under Wine find both packages.
add_custom_target(package_windows ALL DEPENDS ${_outputs})
