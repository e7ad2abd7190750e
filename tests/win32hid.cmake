# The Windows HID transports, on a fake system whose collections are pipes,
# and the bus on the real system (its hidden window needs Wine's display).
if(WIN32)
  rodiz_add_test(win32hid_tests
    SOURCES
      Windows/BluetoothMicrosoftBusTest.cpp
      Windows/FakeWin32System.cpp
      Windows/GattBusTest.cpp
      Windows/Win32Harness.cpp
      Windows/Win32SystemTest.cpp
      Windows/Win32DeviceTest.cpp
      Windows/Win32BusTest.cpp
    LABELS transport)
endif()
