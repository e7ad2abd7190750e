# The Qt window, on Qt's offscreen platform: the dialog against the controller
# and the simulated mouse, its event-loop adapter, and the view the real
# program chooses.
if(TARGET mirel_qt)
  find_package(Qt6 REQUIRED COMPONENTS Test)
  rodiz_add_test(app_qt_tests OWN_FLAGS
    SOURCES
      app/qt/QtTestApplication.cpp
      app/qt/QtControllerLoopTest.cpp
      app/qt/QtDialogViewTest.cpp
      app/qt/QtProgramTest.cpp
      app/ControllerHarness.cpp
      app/ProgramProcess.cpp
      app/ScriptedMouse.cpp
    LIBS mirel_qt rodiz_sim Qt6::Test
    LABELS app)
  target_compile_definitions(app_qt_tests PRIVATE MIREL_PROGRAM="$<TARGET_FILE:MirelFirmwareUpdate>")
  add_dependencies(app_qt_tests MirelFirmwareUpdate)
  # Qt's runtime directory in the test's home, not in /tmp.
  set_property(TEST app_qt_tests APPEND PROPERTY ENVIRONMENT
    QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=${RODIZ_TEST_HOME}/tmp)
endif()

# The screenshot tool, as the README's pictures are made: every state in both
# languages, or it fails.
if(TARGET qt_screenshots)
  add_test(NAME qt_screenshots COMMAND qt_screenshots ${RODIZ_TEST_HOME}/screenshots)
  set_tests_properties(qt_screenshots PROPERTIES TIMEOUT 300 LABELS app FIXTURES_REQUIRED test_home
    ENVIRONMENT "${RODIZ_TEST_ENVIRONMENT};QT_QPA_PLATFORM=offscreen;XDG_RUNTIME_DIR=${RODIZ_TEST_HOME}/tmp")
endif()
