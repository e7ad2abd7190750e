# Texts, dialog template and icons of the application.
set(app_text_test_sources app/StringTableTest.cpp)
if(WIN32)
  # The test executable carries the same resources as the application, so
  # the texts are read back through the real STRINGTABLE lookup.
  enable_language(RC)
  get_filename_component(app_texts_dir ${MIREL_STRINGS_RC} DIRECTORY)
  set_source_files_properties(app/AppTextResources.rc PROPERTIES
    INCLUDE_DIRECTORIES "${app_texts_dir};${CMAKE_SOURCE_DIR};${CMAKE_SOURCE_DIR}/app/res"
    OBJECT_DEPENDS "${MIREL_STRINGS_RC};${CMAKE_SOURCE_DIR}/app/res/dialog.rc;${CMAKE_SOURCE_DIR}/app/res/icons.rc;${CMAKE_SOURCE_DIR}/app/res/resource.h;${CMAKE_SOURCE_DIR}/app/res/icons/mirel-app.ico;${CMAKE_SOURCE_DIR}/app/res/icons/mirel-product.ico;${CMAKE_SOURCE_DIR}/app/res/icons/mirel-product-model1.ico")
  list(APPEND app_text_test_sources app/StringTableWindowsTest.cpp app/AppTextResources.rc)
else()
  list(APPEND app_text_test_sources app/StringTableLinuxTest.cpp)
endif()
rodiz_add_test(app_text_tests SOURCES ${app_text_test_sources} LIBS mirel_app)
add_dependencies(app_text_tests mirel_texts)
