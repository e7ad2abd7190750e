# Each area of the code base registers its test executables in its own file,
# so that areas can grow independently.
foreach(area short_images log settings hid sim cache app_texts app_images app_controller app_qt win32hid win32dialog wine_runner examples packaging)
  if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/${area}.cmake)
    include(${CMAKE_CURRENT_LIST_DIR}/${area}.cmake)
  endif()
endforeach()
include(${CMAKE_CURRENT_LIST_DIR}/features.cmake)
