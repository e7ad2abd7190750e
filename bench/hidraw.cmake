# The hidraw channel on an emulated node, driven by the simulated mouse.
if(NOT WIN32)
  rodiz_add_bench(hidraw_bench SOURCES HidrawBench.cpp ${CMAKE_SOURCE_DIR}/tests/Linux/FakeHidrawSystem.cpp LIBS rodiz_sim)
endif()
