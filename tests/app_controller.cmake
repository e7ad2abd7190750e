# The update controller, its settings backup, the command line and whole updates.
rodiz_add_test(app_controller_tests
  SOURCES
    app/ControllerHarness.cpp
    app/ControllerTest.cpp
    app/CommandLineTest.cpp
    app/ConsoleIoTest.cpp
    app/ProfileBackupTest.cpp
    app/ScriptedMouse.cpp
    app/UpdateEndToEndTest.cpp
  LIBS mirel_app rodiz_sim
  LABELS app)
if(WIN32)
  mirel_add_firmware_resources(app_controller_tests)
  enable_language(RC)
  target_sources(app_controller_tests PRIVATE ${MIREL_STRINGS_RC})
  add_dependencies(app_controller_tests mirel_texts)
endif()

# The real program in child processes: pipes, signals, input and locks as a
# shell and other programs present them.
if(NOT WIN32)
  rodiz_add_test(app_program_tests
    SOURCES
      app/ProgramProcess.cpp
      app/ProgramProcessTest.cpp
    LABELS app)
  target_compile_definitions(app_program_tests PRIVATE MIREL_PROGRAM="$<TARGET_FILE:MirelFirmwareUpdate>")
  add_dependencies(app_program_tests MirelFirmwareUpdate)
endif()

# The kill-anywhere fault matrix, short form: the real program killed at
# chosen points of an update and started again on the same simulated mouse.
# The whole matrix: tests/recovery/fault_matrix.py --program <the program>.
if(NOT WIN32)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  add_test(NAME fault_matrix_quick
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/recovery/fault_matrix.py
                   --program $<TARGET_FILE:MirelFirmwareUpdate> --quick)
  set_tests_properties(fault_matrix_quick PROPERTIES LABELS app TIMEOUT 300
                       ENVIRONMENT "${RODIZ_TEST_ENVIRONMENT}" FIXTURES_REQUIRED test_home)
endif()
