# The HID transports: the report-descriptor parser everywhere, the hidraw bus
# and channel on Linux (through a fake of their system seam).
set(RODIZ_HID_TEST_SOURCES transport/HidReportDescriptorTest.cpp)
if(NOT WIN32)
  list(APPEND RODIZ_HID_TEST_SOURCES Linux/FakeHidrawSystem.cpp Linux/HidrawTest.cpp Linux/HidrawResumeTest.cpp)
endif()
rodiz_add_test(hid_tests SOURCES ${RODIZ_HID_TEST_SOURCES} LABELS "hid;concurrency")

# The Bluetooth buses against BlueZ as python-dbusmock plays it, on a private
# system bus; the GATT framing and the address texts.
if(NOT WIN32)
  rodiz_add_test(bluez_tests
    SOURCES Linux/BluezBusTest.cpp Linux/BluezMock.cpp Linux/BluezTextTest.cpp Linux/FakeHidrawSystem.cpp
    LABELS "hid;bluetooth;concurrency")
endif()

# The real hidraw transports against umockdev's emulated nodes, under its
# LD_PRELOAD library. AddressSanitizer wants to be first in the library list;
# with the preload library ahead of it, it is told not to insist.
if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(RODIZ_UMOCKDEV IMPORTED_TARGET umockdev-1.0)
  find_program(RODIZ_UMOCKDEV_WRAPPER umockdev-wrapper)
  if(RODIZ_UMOCKDEV_FOUND AND RODIZ_UMOCKDEV_WRAPPER)
    add_executable(hidraw_umockdev_tests Linux/HidrawUmockdevTest.cpp Linux/HidrawTestbed.cpp Linux/EmulatedHidrawNode.cpp)
    target_link_libraries(hidraw_umockdev_tests PRIVATE rodiz_test_support PkgConfig::RODIZ_UMOCKDEV rodiz_warnings)
    add_test(NAME hidraw_umockdev_tests
             COMMAND ${RODIZ_UMOCKDEV_WRAPPER} $<TARGET_FILE:hidraw_umockdev_tests> --gtest_brief=1)
    rodiz_test_environment(_environment hidraw_umockdev_tests)
    set_tests_properties(hidraw_umockdev_tests PROPERTIES TIMEOUT 120 LABELS "hid;umockdev"
                         ENVIRONMENT "${_environment};ASAN_OPTIONS=verify_asan_link_order=0"
                         FIXTURES_REQUIRED test_home)

    # The whole program against the simulated mouse on emulated nodes. The
    # testbed needs the preload library in the test's process too; the test
    # starts the program with the sanitizer's runtime ahead of it.
    if(TARGET short_image_program)
      add_executable(hidraw_program_tests
        Linux/HidrawProgramTest.cpp
        Linux/EmulatedMouse.cpp
        Linux/HidrawTestbed.cpp
        Linux/EmulatedHidrawNode.cpp
        app/ProgramProcess.cpp)
      target_link_libraries(hidraw_program_tests PRIVATE rodiz_test_support rodiz_sim PkgConfig::RODIZ_UMOCKDEV
                            rodiz_warnings)
      target_compile_definitions(hidraw_program_tests PRIVATE MIREL_PROGRAM="$<TARGET_FILE:MirelFirmwareUpdate>"
        MIREL_SHORT_IMAGE_PROGRAM="$<TARGET_FILE:short_image_program>" MIREL_SHORT_IMAGE_1="${MIREL_SHORT_IMAGE_1}"
        MIREL_SHORT_IMAGE_2="${MIREL_SHORT_IMAGE_2}")
      add_dependencies(hidraw_program_tests short_image_program)
      add_test(NAME hidraw_program_tests
               COMMAND ${RODIZ_UMOCKDEV_WRAPPER} $<TARGET_FILE:hidraw_program_tests> --gtest_brief=1)
      rodiz_test_environment(_environment hidraw_program_tests)
      set_tests_properties(hidraw_program_tests PROPERTIES TIMEOUT 900 LABELS "hid;umockdev;app"
                           ENVIRONMENT "${_environment};ASAN_OPTIONS=verify_asan_link_order=0"
                           FIXTURES_REQUIRED test_home)
    endif()
  else()
    message(STATUS "umockdev not found: the hidraw emulation test is skipped (tools/setup.sh installs it)")
  endif()
endif()
