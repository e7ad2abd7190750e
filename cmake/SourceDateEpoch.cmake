# MIREL_SOURCE_DATE_EPOCH: the one time stamp the packages record. The
# environment's SOURCE_DATE_EPOCH when set, else the time of the commit the
# tree is at, so that one commit packs into the same bytes wherever it is
# built. A new commit configures the build again, so the time follows it.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(MIREL_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE MIREL_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT MIREL_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    set(MIREL_SOURCE_DATE_EPOCH 0)
  endif()
  # HEAD, and the branch file it names while that is a loose file.
  execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} rev-parse --path-format=absolute --git-path HEAD
                  OUTPUT_VARIABLE _head OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} symbolic-ref -q HEAD
                  OUTPUT_VARIABLE _ref OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(_ref)
    execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} rev-parse --path-format=absolute --git-path ${_ref}
                    OUTPUT_VARIABLE _ref_file OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  foreach(_file IN ITEMS "${_head}" "${_ref_file}")
    if(_file AND EXISTS "${_file}")
      set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_file}")
    endif()
  endforeach()
endif()
