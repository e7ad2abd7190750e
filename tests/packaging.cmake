# The packages a user installs, checked with the platforms' own validators.
if(NOT CMAKE_CROSSCOMPILING AND TARGET MirelFirmwareUpdate AND DEFINED MIREL_SOURCE_DATE_EPOCH)
  add_test(NAME linux_package
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/packaging/linux_package_test.sh ${PROJECT_SOURCE_DIR}
                   ${PROJECT_BINARY_DIR} ${PROJECT_BINARY_DIR}/linux-package-test ${MIREL_SOURCE_DATE_EPOCH})
  set_tests_properties(linux_package PROPERTIES TIMEOUT 300 LABELS packaging FIXTURES_REQUIRED test_home
                       ENVIRONMENT "${RODIZ_TEST_ENVIRONMENT}")
endif()
