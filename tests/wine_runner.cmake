# The Wine test runner must fail a program that crashes or leaves before its
# last test, even with exit status 0: these entries run such programs and pass
# only when the runner says so.
if(CMAKE_CROSSCOMPILING)
  add_executable(wine_runner_probe Windows/WineRunnerProbe.cpp)
  target_link_libraries(wine_runner_probe PRIVATE rodiz_test_support rodiz_warnings)
  rodiz_register_test(wine_runner_passes wine_runner_probe wine --gtest_filter=WineRunnerProbe.Passes)
  foreach(probe Crashes CrashesOnAnotherThread LeavesEarlyWithStatusZero)
    rodiz_register_test(wine_runner_fails_${probe} wine_runner_probe wine --gtest_filter=WineRunnerProbe.${probe})
  endforeach()
  # The test main's report of the crash, and the runner's verdict.
  set_tests_properties(wine_runner_fails_Crashes wine_runner_fails_CrashesOnAnotherThread
                       PROPERTIES PASS_REGULAR_EXPRESSION
                       "unhandled exception 0x.*wine-test: FAILED: .* ended with status [1-9]")
  set_tests_properties(wine_runner_fails_LeavesEarlyWithStatusZero
                       PROPERTIES PASS_REGULAR_EXPRESSION "did not finish its test run")
endif()
