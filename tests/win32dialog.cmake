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
# A whole update of the shipped images takes half a minute under Wine, so the
# update runs in a copy of the program built the same way around short images
# (the first packets of each, with their recorded sizes and checksums); the
# executable's own checks read the real program.
if(WIN32 AND RODIZ_BUILD_APP)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  set(_short_dir ${CMAKE_CURRENT_BINARY_DIR}/short_images)
  set(_short_1 ${_short_dir}/image_1.bin)
  set(_short_2 ${_short_dir}/image_2.bin)
  list(GET MIREL_FIRMWARE_IMAGES 0 _full_1)
  list(GET MIREL_FIRMWARE_IMAGES 1 _full_2)
  add_custom_command(
    OUTPUT ${_short_1} ${_short_2} ${_short_dir}/firmware_digests.cpp
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_short_dir}
    COMMAND ${Python3_EXECUTABLE} -c "import sys; open(sys.argv[2], 'wb').write(open(sys.argv[1], 'rb').read()[:int(sys.argv[3])])" ${_full_1} ${_short_1} 3200
    COMMAND ${Python3_EXECUTABLE} -c "import sys; open(sys.argv[2], 'wb').write(open(sys.argv[1], 'rb').read()[:int(sys.argv[3])])" ${_full_2} ${_short_2} 960
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/image_digest.py --out ${_short_dir}/firmware_digests.cpp
            ${_short_1} ${_short_2}
    DEPENDS ${MIREL_FIRMWARE_IMAGES} ${CMAKE_SOURCE_DIR}/tools/image_digest.py mirel_image_files
    VERBATIM)
  set(MIREL_RC_IMAGE_1 ${_short_1})
  set(MIREL_RC_IMAGE_2 ${_short_2})
  configure_file(${CMAKE_SOURCE_DIR}/app/res/firmware.rc.in ${_short_dir}/firmware.rc @ONLY)
  set_source_files_properties(${_short_dir}/firmware.rc PROPERTIES OBJECT_DEPENDS "${_short_1};${_short_2}")
  # The image code as object files of the executable itself, so that the
  # library's copy with the shipped images is never linked in (a clash would
  # fail the link, not pass unseen).
  add_executable(short_image_program WIN32
    ${CMAKE_SOURCE_DIR}/app/main.cpp
    ${CMAKE_SOURCE_DIR}/app/FirmwareResources.cpp
    ${CMAKE_SOURCE_DIR}/app/FirmwareResources_win.cpp
    ${CMAKE_SOURCE_DIR}/app/ImageChecksum.cpp
    ${_short_dir}/firmware_digests.cpp
    ${CMAKE_BINARY_DIR}/app/res/app.rc
    ${_short_dir}/firmware.rc)
  target_include_directories(short_image_program PRIVATE ${CMAKE_SOURCE_DIR}/app/res)
  target_compile_definitions(short_image_program PRIVATE MIREL_TEST_IMAGES=1 WIN32_LEAN_AND_MEAN NOMINMAX UNICODE
                                                         _UNICODE)
  target_link_libraries(short_image_program PRIVATE mirel_app shell32 rodiz_warnings)
  add_dependencies(short_image_program mirel_texts)

  rodiz_add_test(win32_program_tests
    SOURCES Windows/Win32ProgramTest.cpp
    LIBS version shell32 ole32
    LABELS app)
  target_include_directories(win32_program_tests PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(win32_program_tests PRIVATE MIREL_PROGRAM="$<TARGET_FILE:MirelFirmwareUpdate>"
                             MIREL_SHORT_IMAGE_PROGRAM="$<TARGET_FILE:short_image_program>")
  add_dependencies(win32_program_tests MirelFirmwareUpdate short_image_program)
endif()
