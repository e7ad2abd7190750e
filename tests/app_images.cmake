# Firmware images, packet writer, trace and log file of the application.
if(TARGET mirel_images AND TARGET mirel_app)
  if(WIN32)
    # The test executable carries the FIRMWARE resources itself, as the
    # application does.
    enable_language(RC)
  endif()
  rodiz_add_test(app_image_tests
    SOURCES
      app/AppTraceTest.cpp
      app/FirmwareImageSetTest.cpp
      app/FirmwareResourcesTest.cpp
    LIBS mirel_app mirel_images)
  mirel_add_firmware_resources(app_image_tests)
  # The checks of the project-made images apply only when the build embeds them.
  foreach(image IN LISTS MIREL_DEFAULT_IMAGES)
    target_compile_definitions(app_image_tests PRIVATE MIREL_DEFAULT_IMAGE_${image}=1)
  endforeach()
endif()
