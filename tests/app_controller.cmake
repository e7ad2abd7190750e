# The update controller, its settings backup, the command line and whole updates.
rodiz_add_test(app_controller_tests
  SOURCES
    app/ControllerHarness.cpp
    app/ControllerTest.cpp
    app/ProgramRun.cpp
    app/CommandLineTest.cpp
    app/ConsoleIoTest.cpp
    app/FakeWin32HostSystem.cpp
    app/ProfileBackupTest.cpp
    app/ScriptedMouse.cpp
    app/UpdateEndToEndTest.cpp
    app/Win32HostSoftwareTest.cpp
  LIBS mirel_app rodiz_sim
  LABELS app)
if(WIN32)
  mirel_add_firmware_resources(app_controller_tests)
  enable_language(RC)
  target_sources(app_controller_tests PRIVATE ${MIREL_STRINGS_RC})
  add_dependencies(app_controller_tests mirel_texts)
endif()

# A stand-in for the host gaming software: "host_standin" on Linux, a
# "Moxel.exe" on Windows.
add_executable(host_standin app/HostStandIn.cpp)
target_link_libraries(host_standin PRIVATE rodiz_warnings)
if(WIN32)
  set_target_properties(host_standin PROPERTIES OUTPUT_NAME Moxel)
endif()

# The real program in child processes: pipes, signals, input and locks as a
# shell and other programs present them; the host software and the login
# manager's lock with real processes and a private D-Bus daemon. The program
# tests are the longest entry, so they run as two entries side by side: the
# interactive runs, and everything else (scripts, the login manager's lock).
if(NOT WIN32)
  rodiz_add_test(app_program_tests
    SOURCES
      app/ProgramProcess.cpp
      app/ProgramProcessTest.cpp
      app/ProgramScriptTest.cpp
    LABELS app
    ARGS --gtest_filter=ProgramTest.*)
  rodiz_register_test(app_program_script_tests app_program_tests app --gtest_brief=1 --gtest_filter=-ProgramTest.*)
  target_compile_definitions(app_program_tests PRIVATE MIREL_PROGRAM="$<TARGET_FILE:MirelFirmwareUpdate>")
  target_include_directories(app_program_tests SYSTEM PRIVATE ${MIREL_JSON_INCLUDE_DIR})
  add_dependencies(app_program_tests MirelFirmwareUpdate)

  rodiz_add_test(app_host_tests
    SOURCES
      Linux/LinuxHostSoftwareTest.cpp
      Linux/LogindInhibitorTest.cpp
    LIBS mirel_app
    LABELS app)
  target_compile_definitions(app_host_tests PRIVATE HOST_STANDIN="$<TARGET_FILE:host_standin>")
  add_dependencies(app_host_tests host_standin)
else()
  # Under Wine: the stand-in "Moxel.exe" found, asked, killed and started again.
  rodiz_add_test(app_host_tests
    SOURCES
      Windows/Win32HostSoftwareWineTest.cpp
    LIBS mirel_app
    LABELS app)
  target_compile_definitions(app_host_tests PRIVATE HOST_STANDIN="$<TARGET_FILE_NAME:host_standin>")
  add_dependencies(app_host_tests host_standin)
endif()

# The kill-anywhere fault matrix, short form: the real program killed at
# chosen points of an update and started again on the same simulated mouse.
# The whole matrix: tests/recovery/fault_matrix.py --program <the program>.
if(NOT WIN32)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  add_test(NAME fault_matrix_quick
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/recovery/fault_matrix.py
                   --program $<TARGET_FILE:MirelFirmwareUpdate> --quick)
  rodiz_test_environment(_environment fault_matrix_quick)
  set_tests_properties(fault_matrix_quick PROPERTIES LABELS app TIMEOUT 900
                       ENVIRONMENT "${_environment}" FIXTURES_REQUIRED test_home)
endif()

# Many whole updates with random faults in one process (short form; the long
# one is described in the test).
if(NOT WIN32)
  rodiz_add_test(app_soak_tests
    SOURCES
      app/ControllerHarness.cpp
      app/ProgramRun.cpp
      app/SoakTest.cpp
    LIBS mirel_app rodiz_sim
    LABELS app)
endif()
