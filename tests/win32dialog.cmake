# The update window on Windows, with the controller and the simulated mouse,
# under Wine on the run's virtual display. It carries the program's own
# resources (template, icons, texts, manifest) and the firmware images.
if(WIN32 AND RODIZ_BUILD_APP)
  rodiz_add_test(win32_dialog_tests
    SOURCES
      app/ControllerHarness.cpp
      Windows/Win32DialogViewTest.cpp
    LIBS mirel_app rodiz_sim
    LABELS app)
  enable_language(RC)
  target_sources(win32_dialog_tests PRIVATE ${CMAKE_BINARY_DIR}/app/res/app.rc)
  target_include_directories(win32_dialog_tests PRIVATE ${CMAKE_SOURCE_DIR}/app/res)
  mirel_add_firmware_resources(win32_dialog_tests)
  add_dependencies(win32_dialog_tests mirel_texts)
endif()

# Screenshots of the window in each state, English and German, as PNG files
# (tools/win32-screenshots.sh runs it under Wine on a virtual display).
if(WIN32 AND RODIZ_BUILD_APP)
  add_executable(win32_dialog_screenshots
    app/ControllerHarness.cpp
    support/ScopedTempDir.cpp
    Windows/Win32DialogScreenshots.cpp
    ${CMAKE_BINARY_DIR}/app/res/app.rc)
  target_include_directories(win32_dialog_screenshots PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/app/res)
  target_link_libraries(win32_dialog_screenshots PRIVATE mirel_app rodiz_sim windowscodecs ole32 rodiz_warnings)
  mirel_add_firmware_resources(win32_dialog_screenshots)
  add_dependencies(win32_dialog_screenshots mirel_texts)
endif()

# The real program under Wine, as a person runs it: the dialog shown, Start
# and Close pressed in it, and the executable's kind, manifest and version.
if(WIN32 AND TARGET short_image_program)
  rodiz_add_test(win32_program_tests
    SOURCES Windows/Win32ProgramTest.cpp
    LIBS version shell32 ole32
    LABELS app)
  target_include_directories(win32_program_tests PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(win32_program_tests PRIVATE MIREL_PROGRAM="$<TARGET_FILE:MirelFirmwareUpdate>"
                             MIREL_SHORT_IMAGE_PROGRAM="$<TARGET_FILE:short_image_program>")
  add_dependencies(win32_program_tests MirelFirmwareUpdate short_image_program)
endif()
