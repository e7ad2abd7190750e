# A copy of the program built the same way around short images (the first
# packets of each, with their recorded sizes and checksums). A whole update of
# the shipped images takes 20 s under the sanitizers, through emulated hidraw
# nodes, or half a minute under Wine; tests that need a whole update but not
# the whole images run this copy. Tests of the executable itself (its kind,
# manifest, version, image checks) read the real program.
if(RODIZ_BUILD_APP AND TARGET MirelFirmwareUpdate)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  set(_short_dir ${CMAKE_CURRENT_BINARY_DIR}/short_images)
  set(MIREL_SHORT_IMAGE_1 ${_short_dir}/image_1.bin)
  set(MIREL_SHORT_IMAGE_2 ${_short_dir}/image_2.bin)
  list(GET MIREL_FIRMWARE_IMAGES 0 _full_1)
  list(GET MIREL_FIRMWARE_IMAGES 1 _full_2)
  set(_cut "import sys; open(sys.argv[2], 'wb').write(open(sys.argv[1], 'rb').read()[:int(sys.argv[3])])")
  add_custom_command(
    OUTPUT ${MIREL_SHORT_IMAGE_1} ${MIREL_SHORT_IMAGE_2} ${_short_dir}/firmware_digests.cpp
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_short_dir}
    COMMAND ${Python3_EXECUTABLE} -c "${_cut}" ${_full_1} ${MIREL_SHORT_IMAGE_1} 3200
    COMMAND ${Python3_EXECUTABLE} -c "${_cut}" ${_full_2} ${MIREL_SHORT_IMAGE_2} 960
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/image_digest.py --out ${_short_dir}/firmware_digests.cpp
            ${MIREL_SHORT_IMAGE_1} ${MIREL_SHORT_IMAGE_2}
    DEPENDS ${MIREL_FIRMWARE_IMAGES} ${CMAKE_SOURCE_DIR}/tools/image_digest.py mirel_image_files
    VERBATIM)
  add_custom_target(mirel_short_image_files DEPENDS ${MIREL_SHORT_IMAGE_1} ${MIREL_SHORT_IMAGE_2})

  if(WIN32)
    set(MIREL_RC_IMAGE_1 ${MIREL_SHORT_IMAGE_1})
    set(MIREL_RC_IMAGE_2 ${MIREL_SHORT_IMAGE_2})
    configure_file(${CMAKE_SOURCE_DIR}/app/res/firmware.rc.in ${_short_dir}/firmware.rc @ONLY)
    set_source_files_properties(${_short_dir}/firmware.rc PROPERTIES OBJECT_DEPENDS
                                "${MIREL_SHORT_IMAGE_1};${MIREL_SHORT_IMAGE_2}")
    set(_short_platform
      ${CMAKE_SOURCE_DIR}/app/FirmwareResources_win.cpp
      ${CMAKE_BINARY_DIR}/app/res/app.rc
      ${_short_dir}/firmware.rc)
  else()
    mirel_firmware_blob_source(${_short_dir}/firmware_images.cpp ${MIREL_SHORT_IMAGE_1} ${MIREL_SHORT_IMAGE_2})
    set(_short_platform ${CMAKE_SOURCE_DIR}/app/FirmwareResources_linux.cpp ${_short_dir}/firmware_images.cpp)
  endif()
  # The image code as object files of the executable itself, so that the
  # library's copy with the shipped images is never linked in (a clash would
  # fail the link, not pass unseen). The console view only: no Qt.
  add_executable(short_image_program
    ${CMAKE_SOURCE_DIR}/app/main.cpp
    ${CMAKE_SOURCE_DIR}/app/FirmwareResources.cpp
    ${CMAKE_SOURCE_DIR}/app/ImageChecksum.cpp
    ${_short_dir}/firmware_digests.cpp
    ${_short_platform})
  target_compile_definitions(short_image_program PRIVATE MIREL_TEST_IMAGES=1)
  target_link_libraries(short_image_program PRIVATE mirel_app rodiz_warnings)
  add_dependencies(short_image_program mirel_short_image_files)
  if(WIN32)
    set_target_properties(short_image_program PROPERTIES WIN32_EXECUTABLE TRUE)
    target_include_directories(short_image_program PRIVATE ${CMAKE_SOURCE_DIR}/app/res)
    target_compile_definitions(short_image_program PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE)
    target_link_libraries(short_image_program PRIVATE shell32)
    add_dependencies(short_image_program mirel_texts)
  endif()
endif()
