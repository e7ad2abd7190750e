# The Windows HID transports: the HID bus, its channels and the system layer
# under both. The system libraries they need are loaded at run time.
list(APPEND RODIZ_WINDOWS_SOURCES
  Windows/BleHidPath.cpp
  Windows/BluetoothMicrosoftBus.cpp
  Windows/BluetoothMicrosoftDevice.cpp
  Windows/GattBus.cpp
  Windows/GattDevice.cpp
  Windows/OverlappedTransfer.cpp
  Windows/WideText.cpp
  Windows/Win32Bus.cpp
  Windows/Win32Device.cpp
  Windows/Win32System.cpp
)
# user32 (windows, notifications) and kernel32 are linked by default;
# advapi32 reads the Bluetooth enumerators' registry keys.
list(APPEND RODIZ_WINDOWS_LIBS user32 advapi32)
