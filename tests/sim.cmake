# The simulated mouse and bus, and the library features driven against them.
rodiz_add_test(sim_tests
  SOURCES
    sim/SimHarness.cpp
    sim/DiscoveryTest.cpp
    sim/FirmwareIdentityTest.cpp
    sim/DfuTransferTest.cpp
    sim/DfuFaultTest.cpp
    sim/SimFaultsTest.cpp
    sim/SimStateFileTest.cpp
    sim/ConnectionTest.cpp
    sim/ManagerEndToEndTest.cpp
    sim/OnboardProfilesTest.cpp
    sim/ReceiverEndToEndTest.cpp
    sim/UsbFrameTest.cpp
  LIBS rodiz_sim
  LABELS concurrency)
