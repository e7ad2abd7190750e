# The log call beside spdlog's asynchronous logger (spdlog is needed here only).
find_package(spdlog REQUIRED)
add_executable(log_compare_bench LogCompareBench.cpp)
target_link_libraries(log_compare_bench PRIVATE rodiz spdlog::spdlog rodiz_warnings)
