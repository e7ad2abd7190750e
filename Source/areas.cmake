# Areas of the library that keep their sources in their own file: each adds to
# RODIZ_CORE_SOURCES, RODIZ_WINDOWS_SOURCES and RODIZ_LINUX_SOURCES.
foreach(area log settings hid win32hid cache)
  if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/${area}.cmake)
    include(${CMAKE_CURRENT_LIST_DIR}/${area}.cmake)
  endif()
endforeach()
include(${CMAKE_CURRENT_LIST_DIR}/catalogue.cmake)
