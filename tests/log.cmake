# The log system: formatting rules, settings, console and file outputs, purge.
set(RODIZ_LOG_TEST_SOURCES
  log/XLogFormatTest.cpp
  log/xLogTest.cpp
)
if(NOT WIN32)
  list(APPEND RODIZ_LOG_TEST_SOURCES Linux/XLogLinuxTest.cpp)
endif()
rodiz_add_test(log_tests SOURCES ${RODIZ_LOG_TEST_SOURCES} LABELS log)

# The log buffer and its thread, also under ThreadSanitizer.
rodiz_add_test(log_buffer_tests SOURCES log/LogBufferTest.cpp LABELS "log;concurrency")
