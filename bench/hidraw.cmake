# The hidraw channel on an emulated node, driven by the simulated mouse.
if(NOT WIN32)
  rodiz_add_bench(hidraw_bench SOURCES HidrawBench.cpp ${CMAKE_SOURCE_DIR}/tests/Linux/FakeHidrawSystem.cpp LIBS rodiz_sim)
endif()

# The same through the real hidraw system calls on a node emulated by
# umockdev (run it under umockdev-wrapper).
if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(RODIZ_BENCH_UMOCKDEV IMPORTED_TARGET umockdev-1.0)
  if(RODIZ_BENCH_UMOCKDEV_FOUND)
    rodiz_add_bench(hidraw_umockdev_bench
      SOURCES HidrawUmockdevBench.cpp
        ${CMAKE_SOURCE_DIR}/tests/Linux/EmulatedMouse.cpp
        ${CMAKE_SOURCE_DIR}/tests/Linux/HidrawTestbed.cpp
        ${CMAKE_SOURCE_DIR}/tests/Linux/EmulatedHidrawNode.cpp
      LIBS rodiz_sim PkgConfig::RODIZ_BENCH_UMOCKDEV)
  endif()
endif()
