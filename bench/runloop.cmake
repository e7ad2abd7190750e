rodiz_add_bench(runloop_bench SOURCES RunLoopBench.cpp)
