# Discovery of the simulated mouse with and without its feature cache file.
rodiz_add_bench(cache_bench SOURCES CacheBench.cpp LIBS rodiz_sim)
