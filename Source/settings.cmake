# The settings store: the registry on Windows, export-format files on Linux.
list(APPEND RODIZ_CORE_SOURCES
  runtime/SettingsKey.cpp
)
list(APPEND RODIZ_WINDOWS_SOURCES
  Windows/RegistrySettingsKey_win.cpp
)
list(APPEND RODIZ_LINUX_SOURCES
  Linux/FileSettingsKey_linux.cpp
  Linux/RegExportFile_linux.cpp
)
# The registry functions live in advapi32. mingw-w64 links it by default; a
# toolchain that does not needs Source/CMakeLists.txt to consume this list.
list(APPEND RODIZ_WINDOWS_LIBS advapi32)
