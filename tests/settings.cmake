# The settings store: its contract on every platform, then each backend.
set(RODIZ_SETTINGS_TEST_SOURCES runtime/SettingsKeyTest.cpp)
if(WIN32)
  list(APPEND RODIZ_SETTINGS_TEST_SOURCES Windows/RegistrySettingsKeyTest.cpp)
else()
  list(APPEND RODIZ_SETTINGS_TEST_SOURCES Linux/FileSettingsKeyTest.cpp)
endif()
rodiz_add_test(settings_tests SOURCES ${RODIZ_SETTINGS_TEST_SOURCES} LABELS settings)
