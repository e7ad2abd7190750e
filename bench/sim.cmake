rodiz_add_bench(sim_bench SOURCES SimBench.cpp LIBS rodiz_sim)
