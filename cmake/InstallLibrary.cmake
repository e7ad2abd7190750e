# Installs rodiz for other programs: the library, its headers below
# include/rodiz, a CMake package (find_package(rodiz) gives rodiz::rodiz) and
# a pkg-config file. `cmake --install <build> --component rodiz_dev` installs
# only these.
include(CMakePackageConfigHelpers)

set(RODIZ_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/rodiz CACHE STRING
    "Where the CMake package of rodiz is installed, below the prefix")

install(TARGETS rodiz EXPORT rodizTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT rodiz_dev
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT rodiz_runtime NAMELINK_COMPONENT rodiz_dev
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT rodiz_runtime)

# The headers of the portable library; the platform layers' own headers are
# not part of its interface.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/Source/
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/rodiz COMPONENT rodiz_dev
        FILES_MATCHING PATTERN "*.h" PATTERN "*.inc"
        PATTERN "Linux" EXCLUDE PATTERN "Windows" EXCLUDE)

install(EXPORT rodizTargets NAMESPACE rodiz:: FILE rodizTargets.cmake
        DESTINATION ${RODIZ_INSTALL_CMAKEDIR} COMPONENT rodiz_dev)

# What the static library needs from its users' link: the system libraries
# the platform layer calls.
if(WIN32)
  set(RODIZ_PC_REQUIRES_PRIVATE "")
  set(RODIZ_PC_LIBS_PRIVATE "")
  foreach(lib IN LISTS RODIZ_WINDOWS_LIBS)
    string(APPEND RODIZ_PC_LIBS_PRIVATE " -l${lib}")
  endforeach()
else()
  set(RODIZ_PC_REQUIRES_PRIVATE "libudev libsystemd")
  set(RODIZ_PC_LIBS_PRIVATE "-pthread")
endif()
configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/pkgconfig/rodizConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/rodizConfig.cmake
                              INSTALL_DESTINATION ${RODIZ_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/rodizConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
# The prefix relative to the .pc file, so that a copy installed elsewhere
# (a staging folder, a package's root) still points at its own files.
file(RELATIVE_PATH RODIZ_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" RODIZ_PC_TO_PREFIX "${RODIZ_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/pkgconfig/rodiz.pc.in ${PROJECT_BINARY_DIR}/rodiz.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/rodizConfig.cmake ${PROJECT_BINARY_DIR}/rodizConfigVersion.cmake
        DESTINATION ${RODIZ_INSTALL_CMAKEDIR} COMPONENT rodiz_dev)
install(FILES ${PROJECT_BINARY_DIR}/rodiz.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT rodiz_dev)
