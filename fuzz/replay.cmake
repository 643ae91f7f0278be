# The fuzz targets' inputs replayed in the normal build (included by
# tests/CMakeLists.txt): each target's code, compiled with the project's
# compiler and linked with the library build it fuzzes, runs once over its
# seeds (fuzz/corpus/NAME) and its regression inputs (fuzz/regressions/NAME)
# through a small main instead of libFuzzer.  Under the asan preset the
# replay runs with the sanitizers as well.
set(zk_fuzz_dir ${CMAKE_CURRENT_LIST_DIR})

# The program's main under another name, for the program path target.
add_library(replay_program_main OBJECT ${PROJECT_SOURCE_DIR}/driver/zelkor.cpp)
target_include_directories(replay_program_main PRIVATE ${PROJECT_SOURCE_DIR}/driver
                           ${PROJECT_SOURCE_DIR}/library ${PROJECT_SOURCE_DIR}/include)
target_compile_definitions(replay_program_main PRIVATE main=zelkor_program_main)
target_compile_options(replay_program_main PRIVATE -finput-charset=UTF-8)

# zelkor_fuzz_replay(name sources... LIBS libs...)
function(zelkor_fuzz_replay name)
  cmake_parse_arguments(FR "" "" "LIBS" ${ARGN})
  add_executable(replay_${name} ${zk_fuzz_dir}/fuzz_${name}.cpp ${zk_fuzz_dir}/fuzz_support.cpp
                 ${zk_fuzz_dir}/replay_main.cpp ${FR_UNPARSED_ARGUMENTS})
  target_include_directories(replay_${name} PRIVATE ${zk_fuzz_dir})
  target_link_libraries(replay_${name} PRIVATE ${FR_LIBS})
  add_test(NAME replay_fuzz_${name}
           COMMAND replay_${name} ${zk_fuzz_dir}/corpus/${name} ${zk_fuzz_dir}/regressions/${name})
  set_tests_properties(replay_fuzz_${name} PROPERTIES TIMEOUT 300)
endfunction()

zelkor_fuzz_replay(read_coef LIBS zelkor_input)
zelkor_fuzz_replay(read_rhs LIBS zelkor_input)
zelkor_fuzz_replay(program $<TARGET_OBJECTS:replay_program_main>
                   ${PROJECT_SOURCE_DIR}/driver/zk_solve.cpp LIBS zelkor_input zelkor_core)
zelkor_fuzz_replay(api LIBS zelkor_diag)
