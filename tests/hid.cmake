# The HID transports: the report-descriptor parser everywhere, the hidraw bus
# and channel on Linux.
set(RODIZ_HID_TEST_SOURCES transport/HidReportDescriptorTest.cpp)
rodiz_add_test(hid_tests SOURCES ${RODIZ_HID_TEST_SOURCES} LABELS hid)
