# A whole simulated update under the USB timing model, phase by phase.
if(TARGET mirel_app)
  add_executable(update_bench UpdateBench.cpp ${CMAKE_SOURCE_DIR}/tests/app/ControllerHarness.cpp
                              ${CMAKE_SOURCE_DIR}/tests/support/ScopedTempDir.cpp)
  target_include_directories(update_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(update_bench PRIVATE mirel_app rodiz_sim rodiz_warnings)
endif()
