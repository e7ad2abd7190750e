# The log call: filtered away, and written to the file on the caller's thread.
rodiz_add_bench(log_bench SOURCES LogBench.cpp)
