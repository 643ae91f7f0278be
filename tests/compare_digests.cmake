# Runs two digest programs on the same matrices, each in a fresh temporary
# directory (the library writes its log into the current directory), and
# fails unless their outputs are identical.
#   -DA=<digest program> -DB=<digest program>
#   -DDATA=<folders of .mtx files>: the first that holds any
#   -DWORK=<folder for the temporary directories>
foreach(dir IN LISTS DATA)
  file(GLOB mats "${dir}/*.mtx")
  if(mats)
    break()
  endif()
endforeach()
list(SORT mats)
if(NOT mats)
  message(FATAL_ERROR "compare_digests: no matrices in ${DATA}")
endif()
foreach(prog A B)
  string(RANDOM LENGTH 12 tag)
  set(dir "${WORK}/digest_${prog}_${tag}")
  file(MAKE_DIRECTORY "${dir}")
  execute_process(COMMAND "${${prog}}" ${mats} WORKING_DIRECTORY "${dir}"
                  OUTPUT_VARIABLE out_${prog} RESULT_VARIABLE rc)
  file(REMOVE_RECURSE "${dir}")
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "compare_digests: ${${prog}} failed (${rc}):\n${out_${prog}}")
  endif()
endforeach()
if(NOT out_A STREQUAL out_B)
  message(FATAL_ERROR "compare_digests: the builds differ\n--- ${A}\n${out_A}--- ${B}\n${out_B}")
endif()
string(REGEX MATCHALL "\n" lines "${out_A}")
list(LENGTH lines count)
message(STATUS "compare_digests: ${count} factorizations agree")
