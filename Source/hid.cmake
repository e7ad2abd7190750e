# The HID transports: the portable report-descriptor parser, and on Linux the
# hidraw bus and channel over libudev.
list(APPEND RODIZ_CORE_SOURCES
  transport/HidReportDescriptor.cpp
)
