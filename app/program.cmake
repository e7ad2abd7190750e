# The executable.
set(_mirel_program_sources ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
if(WIN32)
  enable_language(RC)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/res/app.rc.in ${CMAKE_CURRENT_BINARY_DIR}/res/app.rc @ONLY)
  list(APPEND _mirel_program_sources ${CMAKE_CURRENT_BINARY_DIR}/res/app.rc)
endif()
add_executable(MirelFirmwareUpdate ${_mirel_program_sources})
target_link_libraries(MirelFirmwareUpdate PRIVATE mirel_app rodiz_warnings)
if(TARGET mirel_qt)
  target_link_libraries(MirelFirmwareUpdate PRIVATE mirel_qt)
  target_compile_definitions(MirelFirmwareUpdate PRIVATE MIREL_QT_VIEW=1)
endif()
if(WIN32)
  # The resource compiler finds dialog.rc, icons.rc and the icon files here.
  target_include_directories(MirelFirmwareUpdate PRIVATE ${CMAKE_CURRENT_LIST_DIR}/res)
  target_link_libraries(MirelFirmwareUpdate PRIVATE shell32)
  # A window program: no console of its own (--console attaches to the
  # console it was started from, or opens one); the manifest is in app.rc.
  set_target_properties(MirelFirmwareUpdate PROPERTIES WIN32_EXECUTABLE TRUE)
  # No link time in the PE header, so that one commit builds into one
  # sequence of bytes (and packs into one installer and ZIP).
  target_link_options(MirelFirmwareUpdate PRIVATE -Wl,--no-insert-timestamp)
  set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/res/app.rc PROPERTIES
                              OBJECT_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/res/MirelFirmwareUpdate.manifest)
  mirel_add_firmware_resources(MirelFirmwareUpdate)
  add_dependencies(MirelFirmwareUpdate mirel_texts)
endif()
