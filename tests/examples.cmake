# The example programs, unchanged, against a simulated mouse on the simulated
# bus (Linux); and the installed library: an example built on its own against
# a staging install, through find_package and through pkg-config.
if(NOT CMAKE_CROSSCOMPILING AND RODIZ_BUILD_EXAMPLES)
  foreach(example list_devices connection_events)
    add_executable(example_${example}_sim ${PROJECT_SOURCE_DIR}/examples/${example}.cpp
                                          ${CMAKE_CURRENT_LIST_DIR}/examples/SimulatedMouseOnBus.cpp)
    if(example STREQUAL "connection_events")
      target_sources(example_${example}_sim PRIVATE ${PROJECT_SOURCE_DIR}/examples/ConnectionWatch.cpp)
    endif()
    target_include_directories(example_${example}_sim PRIVATE ${CMAKE_CURRENT_LIST_DIR})
    target_link_libraries(example_${example}_sim PRIVATE rodiz rodiz_sim rodiz_warnings)
  endforeach()
  add_test(NAME example_list_devices_sim
           COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:example_list_devices_sim>
                   "-DEXPECT=^C087 Mirel VELOXA Wireless Gaming Mouse 14\\.2\\.6\n$"
                   -P ${CMAKE_CURRENT_LIST_DIR}/examples/expect_output.cmake)
  add_test(NAME example_connection_events_sim
           COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:example_connection_events_sim> "-DARGS=2;20"
                   "-DEXPECT=^present C087 [^\n]*\nremoved C087 [^\n]*\narrived C087 [^\n]*\n$"
                   -P ${CMAKE_CURRENT_LIST_DIR}/examples/expect_output.cmake)
  foreach(_test example_list_devices_sim example_connection_events_sim)
    rodiz_test_environment(_environment ${_test})
    set_tests_properties(${_test} PROPERTIES TIMEOUT 90 FIXTURES_REQUIRED test_home ENVIRONMENT "${_environment}")
  endforeach()
  set_property(TEST example_connection_events_sim APPEND PROPERTY ENVIRONMENT RODIZ_EXAMPLE_REPLUG=1)
endif()

if(NOT CMAKE_CROSSCOMPILING AND RODIZ_INSTALL)
  if(RODIZ_SANITIZE STREQUAL "address-undefined")
    set(_installed_flags "-fsanitize=address,undefined")
  elseif(RODIZ_SANITIZE STREQUAL "thread")
    set(_installed_flags "-fsanitize=thread")
  else()
    set(_installed_flags "")
  endif()
  add_test(NAME installed_library
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/install/installed_library_test.sh ${PROJECT_SOURCE_DIR}
                   ${PROJECT_BINARY_DIR} ${PROJECT_BINARY_DIR}/installed-library-test ${CMAKE_CXX_COMPILER}
                   "${_installed_flags}")
  rodiz_test_environment(_environment installed_library)
  set_tests_properties(installed_library PROPERTIES TIMEOUT 120 FIXTURES_REQUIRED test_home
                       ENVIRONMENT "${_environment}")
endif()
