# The installed package seen by a user, run with cmake -P:
#
#   -DBUILD_DIR=<build tree> -DCMAKE=<cmake> -DGENERATOR=<generator> -DMAKE=<its program>
#   -DCC=<C compiler> -DPKG_CONFIG=<pkg-config> [-DC_FLAGS=<flags>]
#   [-DCHECK_PATHS=ON] -DFORBIDDEN=<path;path>
#   -DVERSION=<project version> -DNM=<nm> -DCHECK_EXPORTS=<check_exports.cmake>
#   -DFAST_MAP=<zelkor_fast_exports.map> [-DNETLIB=<folder of netlib MPS files>]
#
# Installs the build tree into a temporary prefix, moves the prefix elsewhere
# (the installed files must not depend on where they were put), and then builds
# the installed consumer example against it twice: with CMake through
# find_package(zelkor) and CMAKE_PREFIX_PATH (all three imported targets), and
# with a plain compiler command through pkg-config.  Every consumer must solve
# the installed example with max|Bx-b| <= 1e-12.  Both ways must fail, with a
# message naming the package, when pointed at a prefix that holds no zelkor.
# With CHECK_PATHS no installed file may contain a path of the build machine.
# The installed fast libraries define no global symbol but their exports.  The
# installed simplex example, built both ways too (shared and static library
# with CMake), reports the version and reaches the published optimum of the
# installed AFIRO, and the shared build that of every problem of NETLIB
# (relative error <= 1e-9).  The licence is installed with the documentation.

foreach(var BUILD_DIR CMAKE GENERATOR MAKE CC VERSION NM CHECK_EXPORTS FAST_MAP)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "install_consumer: ${var} not given")
  endif()
endforeach()
if(NOT PKG_CONFIG)
  message(FATAL_ERROR "install_consumer: pkg-config not found (Debian: apt-get install pkg-config)")
endif()

if(DEFINED ENV{TMPDIR} AND IS_DIRECTORY "$ENV{TMPDIR}")
  set(tmp "$ENV{TMPDIR}")
else()
  set(tmp /tmp)
endif()
string(RANDOM LENGTH 10 tag)
set(work "${tmp}/zk-install-${tag}")
file(MAKE_DIRECTORY "${work}")
message(STATUS "work directory ${work}")

# Runs a command; its output lands in `out_var`, its exit status in `rc_var`.
function(run out_var rc_var)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
  set(${out_var} "${out}" PARENT_SCOPE)
  set(${rc_var} "${rc}" PARENT_SCOPE)
endfunction()

# Runs a command that must succeed.
function(must what)
  run(out rc ${ARGN})
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "install_consumer: ${what} failed (${rc}):\n${out}\n(work directory ${work})")
  endif()
  set(must_out "${out}" PARENT_SCOPE)
endfunction()

# Runs a command that must fail with a message matching `pattern`.
function(must_fail what pattern)
  run(out rc ${ARGN})
  if(rc EQUAL 0)
    message(FATAL_ERROR "install_consumer: ${what} succeeded against a wrong prefix:\n${out}")
  endif()
  if(NOT out MATCHES "${pattern}")
    message(FATAL_ERROR "install_consumer: ${what} failed without naming the package "
                        "(expected /${pattern}/):\n${out}")
  endif()
  message(STATUS "${what} against a wrong prefix fails as it should")
endfunction()

# ---- install, then move the tree -------------------------------------------------

must("cmake --install" "${CMAKE}" --install "${BUILD_DIR}" --prefix "${work}/staged")
file(RENAME "${work}/staged" "${work}/prefix")
set(prefix "${work}/prefix")

# Where the files went: the pkg-config file names its library directory.
file(GLOB pc_files "${prefix}/lib*/pkgconfig/zelkor.pc" "${prefix}/lib/*/pkgconfig/zelkor.pc")
list(LENGTH pc_files n)
if(NOT n EQUAL 1)
  message(FATAL_ERROR "install_consumer: expected one zelkor.pc under ${prefix}, found [${pc_files}]")
endif()
get_filename_component(pc_dir "${pc_files}" DIRECTORY)
get_filename_component(libdir "${pc_dir}" DIRECTORY)
set(doc "${prefix}/share/doc/zelkor")
foreach(f include/zelkor.h include/zelkor_simplex.h bin/zelkor share/doc/zelkor/README.md
          share/doc/zelkor/LICENSE share/doc/zelkor/copyright)
  if(NOT EXISTS "${prefix}/${f}")
    message(FATAL_ERROR "install_consumer: ${f} not installed")
  endif()
endforeach()
foreach(f libzelkor.so.1 libzelkor.a libZelkorD.so.1 cmake/zelkor/zelkorConfig.cmake
          cmake/zelkor/zelkorConfigVersion.cmake cmake/zelkor/zelkorTargets.cmake)
  if(NOT EXISTS "${libdir}/${f}")
    message(FATAL_ERROR "install_consumer: ${libdir}/${f} not installed")
  endif()
endforeach()

# The installed fast libraries: no internal name is global.
foreach(lib libzelkor.a libzelkor.so.1)
  must("the symbols of the installed ${lib}" "${CMAKE}" -DMODE=globals "-DNM=${NM}"
    "-DLIB=${libdir}/${lib}" "-DMAP=${FAST_MAP}" -P "${CHECK_EXPORTS}")
  message(STATUS "installed ${lib}: no global symbol but the exports")
endforeach()

if(CHECK_PATHS)
  list(APPEND FORBIDDEN "${work}/staged")
  file(GLOB_RECURSE installed LIST_DIRECTORIES false "${prefix}/*")
  foreach(f IN LISTS installed)
    file(STRINGS "${f}" strings)
    foreach(s IN LISTS strings)
      foreach(p IN LISTS FORBIDDEN)
        string(FIND "${s}" "${p}" at)
        if(at GREATER_EQUAL 0)
          message(FATAL_ERROR "install_consumer: ${f} contains the path ${p}:\n  ${s}")
        endif()
      endforeach()
    endforeach()
  endforeach()
  list(LENGTH installed n)
  message(STATUS "no build or install path in the ${n} installed files")
else()
  message(STATUS "paths in the installed files not checked (a build with debug information)")
endif()

# A consumer run: exit 0, max|Bx-b| printed and at most 1e-12, the log
# Zelkordbg.txt created empty in the current directory.
function(run_consumer what exe)
  set(dir "${work}/run-${what}")
  file(MAKE_DIRECTORY "${dir}")
  execute_process(COMMAND "${CMAKE}" -E env "LD_LIBRARY_PATH=${libdir}"
                          "${exe}" "${doc}/examples/aij.txt" "${doc}/examples/b.txt"
    WORKING_DIRECTORY "${dir}" OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
  if(NOT out MATCHES "sz = 27 rank = 27 rc = 0 check = 0 max\\|Bx-b\\| = ([^ \n]+)")
    message(FATAL_ERROR "install_consumer: ${what} printed no residual (exit ${rc}):\n${out}")
  endif()
  set(res "${CMAKE_MATCH_1}")
  # CMake compares integers only: the residual must be 0 or a number times
  # 10^-13 or smaller.
  if(NOT res MATCHES "^0$|e-(1[3-9]|[2-9][0-9]|[1-9][0-9][0-9])$")
    message(FATAL_ERROR "install_consumer: ${what}: residual ${res} above 1e-12")
  endif()
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "install_consumer: ${what} exited ${rc}:\n${out}")
  endif()
  if(NOT EXISTS "${dir}/Zelkordbg.txt")
    message(FATAL_ERROR "install_consumer: ${what} wrote no Zelkordbg.txt")
  endif()
  file(SIZE "${dir}/Zelkordbg.txt" size)
  if(NOT size EQUAL 0)
    file(READ "${dir}/Zelkordbg.txt" log)
    message(FATAL_ERROR "install_consumer: ${what} logged reports on a clean solve:\n${log}")
  endif()
  message(STATUS "${what}: max|Bx-b| = ${res}")
endfunction()

# ---- the installed program -----------------------------------------------------

file(MAKE_DIRECTORY "${work}/run-program")
execute_process(COMMAND "${prefix}/bin/zelkor" "-a${doc}/examples/aij.txt" "-b${doc}/examples/b.txt"
  WORKING_DIRECTORY "${work}/run-program" OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT out MATCHES "sz = 27 nz = 49 rc = 0")
  message(FATAL_ERROR "install_consumer: the installed program failed (${rc}):\n${out}")
endif()

# ---- find_package -----------------------------------------------------------------

# Only CMAKE_PREFIX_PATH may lead to a package: no system prefix, no registry,
# no environment, so that a zelkor installed on this machine cannot answer.
# The build program is named since PATH is not searched either.
set(only_prefix_path "-DCMAKE_MAKE_PROGRAM=${MAKE}"
  -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF -DCMAKE_FIND_USE_SYSTEM_ENVIRONMENT_PATH=OFF
  -DCMAKE_FIND_USE_CMAKE_ENVIRONMENT_PATH=OFF -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
  -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF)
set(consumer_src "${doc}/examples/consumer")
must("configuring the consumer"
  "${CMAKE}" -S "${consumer_src}" -B "${work}/cmake-build" -G "${GENERATOR}"
  -DCMAKE_BUILD_TYPE=Release "-DCMAKE_C_COMPILER=${CC}" "-DCMAKE_C_FLAGS=${C_FLAGS}"
  "-DCMAKE_PREFIX_PATH=${prefix}" ${only_prefix_path})
must("building the consumer" "${CMAKE}" --build "${work}/cmake-build")
run_consumer(find_package-zelkor "${work}/cmake-build/consumer")
run_consumer(find_package-ZelkorD "${work}/cmake-build/consumer_verified")
run_consumer(find_package-zelkor_static "${work}/cmake-build/consumer_static")

file(MAKE_DIRECTORY "${work}/nowhere")
must_fail("find_package" "provided by \"zelkor\""
  "${CMAKE}" -S "${consumer_src}" -B "${work}/cmake-wrong" -G "${GENERATOR}"
  "-DCMAKE_C_COMPILER=${CC}" "-DCMAKE_PREFIX_PATH=${work}/nowhere" ${only_prefix_path})

# ---- pkg-config and a plain compiler command ------------------------------------------

# PKG_CONFIG_LIBDIR replaces the default search path; PKG_CONFIG_PATH would add to it.
set(pc_env "${CMAKE}" -E env --unset=PKG_CONFIG_PATH)
must("pkg-config" ${pc_env} "PKG_CONFIG_LIBDIR=${pc_dir}" "${PKG_CONFIG}" --cflags --libs zelkor)
separate_arguments(pc_flags UNIX_COMMAND "${must_out}")
separate_arguments(c_flags UNIX_COMMAND "${C_FLAGS}")
file(MAKE_DIRECTORY "${work}/pc-build")
must("cc with the flags of pkg-config"
  "${CC}" ${c_flags} "${consumer_src}/consumer.c" ${pc_flags} -o "${work}/pc-build/consumer")
run_consumer(pkg-config "${work}/pc-build/consumer")

must_fail("pkg-config" "Package zelkor was not found"
  ${pc_env} "PKG_CONFIG_LIBDIR=${work}/nowhere" "${PKG_CONFIG}" --cflags --libs zelkor)

# ---- the simplex example ---------------------------------------------------------

# Published optimal objectives of the netlib LP problems (netlib lp/data readme).
set(published_afiro -4.6475314286E+02)
set(published_sc50a -6.4575077059E+01)
set(published_sc50b -7.0000000000E+01)
set(published_kb2 -1.7499001299E+03)
set(published_adlittle 2.2549496316E+05)
set(published_blend -3.0812149846E+01)
set(published_share2b -4.1573224074E+02)

# Fails unless the objective the example printed in `out` lies within 1e-9
# relative of the published value `expected` (d.dddE+xx).  CMake compares
# decimal numbers but computes in integers only, so the bounds are formed
# from the published digits: digits * 10^e, plus or minus digits / 10^9.
function(check_optimum what out expected)
  if(NOT out MATCHES "optimal objective (-?[0-9.]+e[-+][0-9]+)")
    message(FATAL_ERROR "install_consumer: ${what} printed no optimum:\n${out}")
  endif()
  set(got "${CMAKE_MATCH_1}")
  if(NOT expected MATCHES "^(-?)([0-9])\\.([0-9]+)E([-+][0-9]+)$")
    message(FATAL_ERROR "install_consumer: bad published value ${expected}")
  endif()
  set(sign "${CMAKE_MATCH_1}")
  set(digits "${CMAKE_MATCH_2}${CMAKE_MATCH_3}")
  string(LENGTH "${CMAKE_MATCH_3}" places)
  math(EXPR e "${CMAKE_MATCH_4} - ${places}")
  math(EXPR slack "${digits} / 1000000000")
  math(EXPR lo "${digits} - ${slack}")
  math(EXPR hi "${digits} + ${slack}")
  string(REGEX REPLACE "^-" "" magnitude "${got}")
  if(NOT got MATCHES "^${sign}[0-9]" OR magnitude LESS "${lo}e${e}" OR
     magnitude GREATER "${hi}e${e}")
    message(FATAL_ERROR "install_consumer: ${what}: objective ${got}, published ${expected}")
  endif()
  message(STATUS "${what}: objective ${got} (published ${expected})")
endfunction()

# Runs an example build on an MPS file: exit 0, the version of the installed
# library reported, the published optimum of `problem` reached.
function(run_simplex what exe mps problem)
  set(dir "${work}/run-${what}")
  file(MAKE_DIRECTORY "${dir}")
  execute_process(COMMAND "${CMAKE}" -E env "LD_LIBRARY_PATH=${libdir}" "${exe}" "${mps}"
    WORKING_DIRECTORY "${dir}" OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "install_consumer: ${what} exited ${rc}:\n${out}${err}")
  endif()
  if(NOT out MATCHES "^zelkor ${VERSION}: ")
    message(FATAL_ERROR "install_consumer: ${what} does not report version ${VERSION}:\n${out}")
  endif()
  check_optimum("${what}" "${out}" "${published_${problem}}")
endfunction()

set(simplex_src "${doc}/examples/simplex")
must("configuring the simplex example"
  "${CMAKE}" -S "${simplex_src}" -B "${work}/simplex-build" -G "${GENERATOR}"
  -DCMAKE_BUILD_TYPE=Release "-DCMAKE_C_COMPILER=${CC}" "-DCMAKE_C_FLAGS=${C_FLAGS}"
  "-DCMAKE_PREFIX_PATH=${prefix}" ${only_prefix_path})
must("building the simplex example" "${CMAKE}" --build "${work}/simplex-build")
must("cc the simplex example with the flags of pkg-config"
  "${CC}" ${c_flags} "${simplex_src}/simplex.c" ${pc_flags} -lm -o "${work}/pc-build/simplex")
run_simplex(simplex-afiro "${work}/simplex-build/simplex" "${simplex_src}/afiro.mps" afiro)
run_simplex(simplex_static-afiro "${work}/simplex-build/simplex_static" "${simplex_src}/afiro.mps"
  afiro)
run_simplex(simplex-pkg-config-afiro "${work}/pc-build/simplex" "${simplex_src}/afiro.mps" afiro)
if(NETLIB AND IS_DIRECTORY "${NETLIB}")
  foreach(problem afiro sc50a sc50b kb2 adlittle blend share2b)
    run_simplex(simplex-netlib-${problem} "${work}/simplex-build/simplex"
      "${NETLIB}/${problem}.mps" ${problem})
  endforeach()
else()
  message(STATUS "no netlib folder (${NETLIB}): the simplex example ran on AFIRO only")
endif()

file(REMOVE_RECURSE "${work}")
