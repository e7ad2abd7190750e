# The update controller, its settings backup, the command line and the console view.
list(APPEND MIREL_APP_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/CMirelDFUApp.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CMirelDFUDlg.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CommandLine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DialogLoop.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HostSoftware.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ProfileBackup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SimFaultList.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Simulation.cpp
  ${CMAKE_CURRENT_LIST_DIR}/console/ConsoleView.cpp
)
if(WIN32)
  list(APPEND MIREL_APP_PLATFORM_SOURCES ${CMAKE_CURRENT_LIST_DIR}/console/ConsoleIo_win.cpp)
else()
  list(APPEND MIREL_APP_PLATFORM_SOURCES ${CMAKE_CURRENT_LIST_DIR}/console/ConsoleIo_linux.cpp)
endif()
list(APPEND MIREL_APP_LIBS rodiz_sim)
