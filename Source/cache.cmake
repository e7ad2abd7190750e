# The feature cache file: its text form (portable) and whole-file replacement
# through a temporary file (per platform). rapidxml is header-only; its
# folder serves the Windows cross build as well.
list(APPEND RODIZ_CORE_SOURCES
  device/FeatureCacheFile.cpp
  runtime/GuardedXmlDocument.cpp
)
list(APPEND RODIZ_WINDOWS_SOURCES
  runtime/AtomicFile_win.cpp
)
list(APPEND RODIZ_LINUX_SOURCES
  runtime/AtomicFile_linux.cpp
)
