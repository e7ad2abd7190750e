# The log system.
list(APPEND RODIZ_CORE_SOURCES
  log/xLog.cpp
  log/LogBuffer.cpp
  log/XLogFormat.cpp
  log/XLogPlatformSpecific.cpp
  log/XLogSettings.cpp
  log/XLogTesting.cpp
)
list(APPEND RODIZ_WINDOWS_SOURCES
  Windows/XLogPlatformSpecific_win.cpp
)
list(APPEND RODIZ_LINUX_SOURCES
  Linux/XLogPlatformSpecific_linux.cpp
)
