# One warning set for every target of the project, GCC on Linux and mingw-w64 alike.
# -Woverloaded-virtual is left out: a class that raises several events overrides
# the hooks of one Producer base and thereby "hides" the same-named hooks of
# the others, by design.
add_library(rodiz_warnings INTERFACE)
target_compile_options(rodiz_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
  -Wcast-align -Wnull-dereference -Wformat=2 -Wimplicit-fallthrough)
if(RODIZ_WARNINGS_AS_ERRORS)
  target_compile_options(rodiz_warnings INTERFACE -Werror)
endif()
# GCC 12 reports array-bounds, restrict and stringop-overflow/overread on libstdc++'s own inlined
# vector code at -O2 (GCC bugs 100366, 107138); they are not about our code.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(rodiz_warnings INTERFACE -Wno-array-bounds -Wno-stringop-overflow -Wno-stringop-overread -Wno-restrict)
endif()
