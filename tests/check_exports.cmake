# Symbol checks of the built libraries, run with cmake -P.
#
#   -DMODE=exports -DNM=<nm> -DLIB=<shared library> -DMAP=<its export map>
#                  [-DINTERFACE_ONLY=ON]
#       The dynamic symbol table of the shared library defines exactly the
#       names that its export map lists, as global text symbols, and no other
#       global symbol; the map lists at least the ten interface functions, and
#       with INTERFACE_ONLY nothing else.
#
#   -DMODE=globals -DNM=<nm> -DLIB=<static or shared library> -DMAP=<export map>
#       The library's symbol table (every member of an archive) defines no
#       global symbol but the names of the export map, each as a text symbol,
#       so that no internal name can clash with a program's own when linked;
#       the map lists only names starting with lu_ or zk_.
#
#   -DMODE=no_diag -DNM=<nm> -DLIB=<libzelkor_core.a or libzelkor.a>
#       An archive built without the diagnostics holds no diagnostic routine
#       (dumps, the factorization check and its comparisons), defined or
#       referenced.

set(interface_names
  lu_append lu_btran lu_delete lu_factoring lu_ftran
  lu_kakunin lu_mult_d_mx lu_mult_mx_d lu_new lu_resize)

foreach(var NM LIB MODE)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "check_exports: ${var} not given")
  endif()
endforeach()
if(NOT EXISTS "${LIB}")
  message(FATAL_ERROR "check_exports: ${LIB} does not exist")
endif()

# The lines of `nm <args> LIB`, as a list.
function(nm_lines out)
  execute_process(COMMAND "${NM}" ${ARGN} "${LIB}"
    OUTPUT_VARIABLE text ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "check_exports: ${NM} ${ARGN} ${LIB} failed (${rc}): ${err}")
  endif()
  # Neither ';' nor '[' may reach the list: demangled names can hold both.
  string(REPLACE ";" "<semicolon>" text "${text}")
  string(REPLACE "[" "<" text "${text}")
  string(REPLACE "]" ">" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  set(${out} "${lines}" PARENT_SCOPE)
endfunction()

# The names between "global:" and "local:" of the version script MAP, sorted,
# in `out`.
function(map_names out)
  if(NOT EXISTS "${MAP}")
    message(FATAL_ERROR "check_exports: export map ${MAP} does not exist")
  endif()
  file(READ "${MAP}" map)
  string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" map "${map}")
  if(NOT map MATCHES "global:(.*)local:")
    message(FATAL_ERROR "check_exports: no global section in ${MAP}")
  endif()
  string(REGEX REPLACE "[ \t\r\n]+" "" names "${CMAKE_MATCH_1}")
  string(REGEX REPLACE ";$" "" names "${names}")
  list(SORT names)
  if(names STREQUAL "")
    message(FATAL_ERROR "check_exports: ${MAP} lists no name")
  endif()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

if(MODE STREQUAL "exports")
  map_names(names)
  nm_lines(lines -D --defined-only)
  set(text_syms)
  set(other_globals)
  foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) +([^ ]+)")
      set(type "${CMAKE_MATCH_1}")
      set(name "${CMAKE_MATCH_2}")
      if(type STREQUAL "T")
        list(APPEND text_syms "${name}")
      elseif(type MATCHES "^[A-Zi]$")
        list(APPEND other_globals "${type} ${name}")
      endif()
    endif()
  endforeach()
  list(SORT text_syms)

  set(failed FALSE)
  set(missing ${interface_names})
  list(REMOVE_ITEM missing ${names})
  if(missing)
    message(SEND_ERROR "export map ${MAP} lacks interface functions [${missing}]")
    set(failed TRUE)
  endif()
  set(expected ${interface_names})
  list(SORT expected)
  if(INTERFACE_ONLY AND NOT names STREQUAL expected)
    message(SEND_ERROR "export map lists [${names}]\n  expected [${expected}]")
    set(failed TRUE)
  endif()
  set(expected ${names})
  if(NOT text_syms STREQUAL expected)
    message(SEND_ERROR "${LIB} exports functions [${text_syms}]\n  expected [${expected}]")
    set(failed TRUE)
  endif()
  if(other_globals)
    message(SEND_ERROR "${LIB} exports other global symbols: [${other_globals}]")
    set(failed TRUE)
  endif()
  if(failed)
    message(FATAL_ERROR "check_exports: exported symbols differ")
  endif()
  message(STATUS "exports: ${text_syms}")

elseif(MODE STREQUAL "globals")
  map_names(names)
  set(failed FALSE)
  set(outside ${names})
  list(FILTER outside EXCLUDE REGEX "^(lu|zk)_")
  if(outside)
    message(SEND_ERROR "export map ${MAP} lists names outside lu_* and zk_*: [${outside}]")
    set(failed TRUE)
  endif()
  nm_lines(lines -g --defined-only)
  set(text_syms)
  set(others)
  foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) +(.+)$")
      set(type "${CMAKE_MATCH_1}")
      set(name "${CMAKE_MATCH_2}")
      list(FIND names "${name}" at)
      if(type STREQUAL "T" AND at GREATER_EQUAL 0)
        list(APPEND text_syms "${name}")
      else()
        list(APPEND others "${type} ${name}")
      endif()
    endif()
  endforeach()
  list(SORT text_syms)
  if(NOT text_syms STREQUAL names)
    message(SEND_ERROR
      "${LIB} defines the exported functions [${text_syms}]\n  expected [${names}]")
    set(failed TRUE)
  endif()
  if(others)
    string(REPLACE ";" "\n  " others "${others}")
    message(SEND_ERROR "${LIB} defines other global symbols:\n  ${others}")
    set(failed TRUE)
  endif()
  if(failed)
    message(FATAL_ERROR "check_exports: global symbols differ")
  endif()
  list(LENGTH names n)
  message(STATUS "${LIB}: no global symbol but the ${n} exports")

elseif(MODE STREQUAL "no_diag")
  nm_lines(lines -C)
  set(found)
  set(count 0)
  foreach(line IN LISTS lines)
    # Skip blank lines and the "member.o:" headers.
    if(line STREQUAL "" OR line MATCHES ":$")
      continue()
    endif()
    math(EXPR count "${count} + 1")
    if(line MATCHES "dump_|b_BB_check|lu_kakunin_d")
      list(APPEND found "${line}")
    endif()
  endforeach()
  # A vacuous pass on an empty or unreadable archive is no pass.
  set(solve_seen FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES " T lu_ftran")
      set(solve_seen TRUE)
    endif()
  endforeach()
  if(NOT solve_seen)
    message(FATAL_ERROR "check_exports: ${LIB} does not define lu_ftran (${count} symbols read)")
  endif()
  if(found)
    string(REPLACE ";" "\n  " found "${found}")
    message(FATAL_ERROR "check_exports: diagnostic symbols in ${LIB}:\n  ${found}")
  endif()
  message(STATUS "no diagnostic symbols among ${count} in ${LIB}")

else()
  message(FATAL_ERROR "check_exports: unknown MODE ${MODE}")
endif()
