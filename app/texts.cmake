# Texts, dialog template and icons of the application.
#
# The texts live once, in app/res/strings/<language>.json. tools/gen_strings.py
# turns them into the table the Linux build reads (StringTableData.cpp) and the
# STRINGTABLE resources of the Windows executable (strings.rc); both land in
# the build tree. The executable's resource script includes strings.rc
# (MIREL_STRINGS_RC) beside res/dialog.rc and res/icons.rc.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(MIREL_STRING_FILES
  ${CMAKE_CURRENT_LIST_DIR}/res/strings/en.json
  ${CMAKE_CURRENT_LIST_DIR}/res/strings/cs.json
  ${CMAKE_CURRENT_LIST_DIR}/res/strings/da.json
  ${CMAKE_CURRENT_LIST_DIR}/res/strings/de.json
  ${CMAKE_CURRENT_LIST_DIR}/res/strings/es.json
  ${CMAKE_CURRENT_LIST_DIR}/res/strings/fi.json
  ${CMAKE_CURRENT_LIST_DIR}/res/strings/fr.json
  ${CMAKE_CURRENT_LIST_DIR}/res/strings/hu.json
  ${CMAKE_CURRENT_LIST_DIR}/res/strings/it.json
  ${CMAKE_CURRENT_LIST_DIR}/res/strings/ja.json
  ${CMAKE_CURRENT_LIST_DIR}/res/strings/ko.json
  ${CMAKE_CURRENT_LIST_DIR}/res/strings/nb.json
  ${CMAKE_CURRENT_LIST_DIR}/res/strings/nl.json
  ${CMAKE_CURRENT_LIST_DIR}/res/strings/pl.json
  ${CMAKE_CURRENT_LIST_DIR}/res/strings/pt-PT.json
  ${CMAKE_CURRENT_LIST_DIR}/res/strings/ru.json
  ${CMAKE_CURRENT_LIST_DIR}/res/strings/sv.json
  ${CMAKE_CURRENT_LIST_DIR}/res/strings/tr.json
  ${CMAKE_CURRENT_LIST_DIR}/res/strings/zh-Hans.json
  ${CMAKE_CURRENT_LIST_DIR}/res/strings/zh-Hant.json
)

set(MIREL_TEXTS_DIR ${CMAKE_CURRENT_BINARY_DIR}/texts)
add_custom_command(
  OUTPUT ${MIREL_TEXTS_DIR}/StringTableData.cpp ${MIREL_TEXTS_DIR}/strings.rc
  COMMAND ${CMAKE_COMMAND} -E make_directory ${MIREL_TEXTS_DIR}
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/gen_strings.py
          --cpp ${MIREL_TEXTS_DIR}/StringTableData.cpp --rc ${MIREL_TEXTS_DIR}/strings.rc ${MIREL_STRING_FILES}
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/gen_strings.py ${MIREL_STRING_FILES}
  COMMENT "Generating the string tables"
  VERBATIM)
# Targets in other directories (the executable, the tests) that compile
# strings.rc depend on this to have it generated first.
add_custom_target(mirel_texts DEPENDS ${MIREL_TEXTS_DIR}/StringTableData.cpp ${MIREL_TEXTS_DIR}/strings.rc)
set(MIREL_STRINGS_RC ${MIREL_TEXTS_DIR}/strings.rc CACHE INTERNAL "Generated STRINGTABLE resources of every language")

list(APPEND MIREL_APP_SOURCES ${CMAKE_CURRENT_LIST_DIR}/StringTable.cpp)
# Also on Windows: the tests compare the resources with it, and the linker
# leaves it out of an executable that does not use it.
list(APPEND MIREL_APP_GENERATED ${MIREL_TEXTS_DIR}/StringTableData.cpp)
if(WIN32)
  enable_language(RC)
  list(APPEND MIREL_APP_PLATFORM_SOURCES ${CMAKE_CURRENT_LIST_DIR}/StringTable_win.cpp)
else()
  list(APPEND MIREL_APP_PLATFORM_SOURCES ${CMAKE_CURRENT_LIST_DIR}/StringTable_linux.cpp)
endif()
