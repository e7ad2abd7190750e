# The packages a user installs, checked with the platforms' own validators.
if(NOT CMAKE_CROSSCOMPILING AND TARGET MirelFirmwareUpdate AND DEFINED MIREL_SOURCE_DATE_EPOCH)
  add_test(NAME linux_package
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/packaging/linux_package_test.sh ${PROJECT_SOURCE_DIR}
                   ${PROJECT_BINARY_DIR} ${PROJECT_BINARY_DIR}/linux-package-test ${MIREL_SOURCE_DATE_EPOCH})
  rodiz_test_environment(_environment linux_package)
  set_tests_properties(linux_package PROPERTIES TIMEOUT 300 LABELS packaging FIXTURES_REQUIRED test_home
                       ENVIRONMENT "${_environment}")
endif()

if(CMAKE_CROSSCOMPILING AND MIREL_MAKENSIS AND TARGET package_windows)
  add_test(NAME windows_packages
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/packaging/windows_installer_test.sh ${RODIZ_XVFB_STATE}
                   ${RODIZ_WINEPREFIX} ${RODIZ_WINE64} ${MIREL_INSTALLER} ${MIREL_ZIP}
                   ${MIREL_PROGRAM_EXE} ${PROJECT_SOURCE_DIR}/packaging/windows/make_zip.cmake
                   ${MIREL_SOURCE_DATE_EPOCH} ${PROJECT_BINARY_DIR}/windows-packages-test)
  set_tests_properties(windows_packages PROPERTIES TIMEOUT 300 LABELS packaging
                       FIXTURES_REQUIRED "test_home;xvfb;wine")
endif()
