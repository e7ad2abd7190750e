# The feature cache file: its text form, whole-file replacement, and the
# simulated mouse started again with the files of earlier starts.
rodiz_add_test(cache_tests
  SOURCES
    device/FeatureCacheFileTest.cpp
    runtime/AtomicFileTest.cpp
    sim/SimHarness.cpp
    sim/FeatureCacheTest.cpp
  LIBS rodiz_sim)
