# The feature catalogue: its classes against a scripted channel, and its
# generated sources against their generator.
rodiz_add_test(feature_tests
  SOURCES
    features/CatalogueTest.cpp
    features/CatalogueEventsTest.cpp
    features/FnInversionTest.cpp)

find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_test(NAME feature_catalogue_generated
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/gen_feature_catalogue.py --check)
endif()
