# The HID transports: the portable report-descriptor parser, and on Linux the
# hidraw bus and channel over libudev.
list(APPEND RODIZ_CORE_SOURCES
  transport/HidReportDescriptor.cpp
)
if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(RODIZ_UDEV REQUIRED IMPORTED_TARGET libudev)
  pkg_check_modules(RODIZ_SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
  set(RODIZ_HIDRAW_SOURCES
    Linux/BluezBus.cpp
    Linux/BluezDevice.cpp
    Linux/BluezGattBus.cpp
    Linux/BluezGattChannel.cpp
    Linux/BluezGattFrame.cpp
    Linux/BluezIdentity.cpp
    Linux/BluezSystem.cpp
    Linux/HidrawBus.cpp
    Linux/HidrawChannel.cpp
    Linux/HidrawSystem.cpp
    Linux/LogindResume.cpp
  )
  list(APPEND RODIZ_LINUX_SOURCES ${RODIZ_HIDRAW_SOURCES})
  list(APPEND RODIZ_LINUX_LIBS PkgConfig::RODIZ_UDEV PkgConfig::RODIZ_SYSTEMD)
  # Device I/O must reach libc's own read, write and ioctl, which an
  # LD_PRELOAD emulation of the device nodes replaces; fortified builds
  # call the checking variants instead.
  set_source_files_properties(${RODIZ_HIDRAW_SOURCES} PROPERTIES COMPILE_OPTIONS "-U_FORTIFY_SOURCE")
endif()

# The udev rule that gives the seat's user the mouse's hidraw nodes:
# `cmake --install <build> --component udev`.
if(NOT WIN32)
  set(RODIZ_UDEV_RULES_DIR /etc/udev/rules.d CACHE PATH "Where the udev rule is installed")
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/linux/70-mirel-mouse.rules
          DESTINATION ${RODIZ_UDEV_RULES_DIR} COMPONENT udev)
endif()
