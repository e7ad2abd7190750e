# The update controller, its settings backup, the command line and the console view.
list(APPEND MIREL_APP_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/AnswerWatch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CMirelDFUApp.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CMirelDFUDlg.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CommandLine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DialogLoop.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ExitStatus.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HostSoftware.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ProcEntry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UpdateInhibitor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Win32HostSoftware.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Win32UpdateInhibitor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ProfileBackup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SimFaultList.cpp
  ${CMAKE_CURRENT_LIST_DIR}/StopSignalRule.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Simulation.cpp
  ${CMAKE_CURRENT_LIST_DIR}/console/ConsoleView.cpp
  ${CMAKE_CURRENT_LIST_DIR}/console/JsonView.cpp
)
# The host software and the lock that keeps the machine awake: the Windows
# logic above is portable (tested on every platform through its seam); the
# real calls are per platform.
if(WIN32)
  list(APPEND MIREL_APP_PLATFORM_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/console/ConsoleIo_win.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Win32HostSystem.cpp
    ${CMAKE_CURRENT_LIST_DIR}/win32/Win32DialogView.cpp
    ${CMAKE_CURRENT_LIST_DIR}/win32/WindowDpi.cpp)
  list(APPEND MIREL_APP_LIBS user32 comctl32)
else()
  list(APPEND MIREL_APP_PLATFORM_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/console/ConsoleIo_linux.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DeviceNodeUsers.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LinuxHostSoftware.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LogindInhibitor.cpp)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(MIREL_SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
  list(APPEND MIREL_APP_LIBS PkgConfig::MIREL_SYSTEMD)
endif()
list(APPEND MIREL_APP_LIBS rodiz_sim)

# --json writes its objects with nlohmann's JSON library. It is header-only,
# so the build machine's copy (Debian nlohmann-json3-dev) serves the Windows
# cross build as well: it is searched outside the toolchain's root and copied
# into the build tree, since /usr/include itself must not be on the cross
# compiler's path (nor, as -isystem, ahead of the C++ library's own headers).
find_path(MIREL_JSON_HEADER_ROOT nlohmann/json.hpp PATHS /usr/include /usr/local/include
          NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(MIREL_JSON_INCLUDE_DIR ${CMAKE_BINARY_DIR}/nlohmann-json CACHE INTERNAL "nlohmann/json.hpp for --json and its tests")
file(COPY ${MIREL_JSON_HEADER_ROOT}/nlohmann DESTINATION ${MIREL_JSON_INCLUDE_DIR})
