# The HID transports: the report-descriptor parser everywhere, the hidraw bus
# and channel on Linux (through a fake of their system seam).
set(RODIZ_HID_TEST_SOURCES transport/HidReportDescriptorTest.cpp)
if(NOT WIN32)
  list(APPEND RODIZ_HID_TEST_SOURCES Linux/FakeHidrawSystem.cpp Linux/HidrawTest.cpp)
endif()
rodiz_add_test(hid_tests SOURCES ${RODIZ_HID_TEST_SOURCES} LABELS "hid;concurrency")
