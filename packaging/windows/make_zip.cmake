# Writes the plain ZIP of the Windows program: OUTPUT from the files in FILES
# (;-separated), all at the top of the archive, stamped with SOURCE_DATE_EPOCH
# so that one commit zips into one sequence of bytes.
#   cmake -DOUTPUT=... -DFILES=... -DSOURCE_DATE_EPOCH=... -P make_zip.cmake
get_filename_component(_dir ${OUTPUT} DIRECTORY)
set(_tree ${OUTPUT}.tree)
file(REMOVE_RECURSE ${_tree})
file(MAKE_DIRECTORY ${_tree} ${_dir})
set(_names "")
foreach(_file IN LISTS FILES)
  get_filename_component(_name ${_file} NAME)
  file(COPY_FILE ${_file} ${_tree}/${_name})
  list(APPEND _names ${_name})
endforeach()
list(SORT _names)
file(REMOVE ${OUTPUT})
set(ENV{SOURCE_DATE_EPOCH} ${SOURCE_DATE_EPOCH})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${OUTPUT} --format=zip ${_names}
                WORKING_DIRECTORY ${_tree} RESULT_VARIABLE _status)
file(REMOVE_RECURSE ${_tree})
if(NOT _status EQUAL 0)
  message(FATAL_ERROR "could not write ${OUTPUT}")
endif()
