# Two builds of the project (GCC and clang, say) write the same bytes: runs
# both builds' program on the same cases, each run in a fresh directory, and
# fails unless the exit status, the console output and every file the run
# leaves (x.txt, err.txt, Zelkordbg.txt) are identical; then both builds'
# fact_digest programs on the test matrices (pivots and result bits).
#   -DA=<build dir> -DB=<build dir> -DSRC=<source dir> -DWORK=<scratch folder>
# The summary's clock field is the only text allowed to differ.
cmake_minimum_required(VERSION 3.25)
foreach(var A B SRC WORK)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "compare_builds: ${var} not given")
  endif()
endforeach()

# The cases: name, coefficient lines, right-hand-side lines, arguments.
# "example" reads the bundled files; the others are written here.
set(singular_a "0,0,1\n0,1,2\n1,0,2\n1,1,4\n2,2,1\n")  # rank 2 of 3
set(singular_b "0,1\n1,1\n2,1\n")
set(overflow_a "0,0,1e-300\n1,1,1\n")                     # x(0) overflows
set(overflow_b "0,1e300\n1,1\n")
set(cases example singular overflow usage)
set(args_example "-a${SRC}/examples/aij.txt" "-b${SRC}/examples/b.txt")
set(args_usage "-h")

string(RANDOM LENGTH 12 tag)
set(root "${WORK}/compare_builds_${tag}")
set(compared 0)
foreach(case IN LISTS cases)
  foreach(build A B)
    set(dir "${root}/${case}_${build}")
    file(MAKE_DIRECTORY "${dir}")
    if(DEFINED ${case}_a)
      file(WRITE "${dir}/aij.txt" "${${case}_a}")
      file(WRITE "${dir}/b.txt" "${${case}_b}")
    endif()
    execute_process(COMMAND "${${build}}/driver/zelkor" ${args_${case}} WORKING_DIRECTORY "${dir}"
                    OUTPUT_VARIABLE out RESULT_VARIABLE rc)
    string(REGEX REPLACE "clock = [0-9.]+" "clock = *" out "${out}")
    file(WRITE "${dir}/stdout" "${rc}\n${out}")
    file(GLOB files_${build} RELATIVE "${dir}" "${dir}/*")
    list(SORT files_${build})
  endforeach()
  if(NOT files_A STREQUAL files_B)
    message(FATAL_ERROR "compare_builds: ${case} leaves [${files_A}] and [${files_B}]")
  endif()
  if(NOT case STREQUAL "usage" AND NOT "Zelkordbg.txt" IN_LIST files_A)
    message(FATAL_ERROR "compare_builds: ${case} wrote no log")
  endif()
  foreach(f IN LISTS files_A)
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files
                    "${root}/${case}_A/${f}" "${root}/${case}_B/${f}" RESULT_VARIABLE differ)
    if(differ)
      file(READ "${root}/${case}_A/${f}" text_a HEX)
      file(READ "${root}/${case}_B/${f}" text_b HEX)
      message(FATAL_ERROR "compare_builds: ${case}: ${f} differs\n--- ${A}\n${text_a}\n--- ${B}\n${text_b}")
    endif()
    math(EXPR compared "${compared} + 1")
  endforeach()
endforeach()
file(REMOVE_RECURSE "${root}")

foreach(lib zelkor_diag zelkor_core)
  execute_process(COMMAND ${CMAKE_COMMAND} -DA=${A}/tests/fact_digest_${lib}
                  -DB=${B}/tests/fact_digest_${lib} -DDATA=${SRC}/tests/data/matrices -DWORK=${WORK}
                  -P ${SRC}/tests/compare_digests.cmake RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "compare_builds: fact_digest_${lib} differs between the builds\n${out}")
  endif()
endforeach()
message(STATUS "compare_builds: ${compared} outputs of ${A} and ${B} identical, and their digests")
