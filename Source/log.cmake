# The log system.
list(APPEND RODIZ_CORE_SOURCES
  log/xLog.cpp
)
