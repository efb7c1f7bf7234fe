# kvx_fuzzer(name SOURCES ... LIBS ...): one libFuzzer executable. The code
# under test gets coverage instrumentation from -fsanitize=fuzzer-no-link in
# the build's compiler flags (scripts/test.d/40-fuzz sets it); the fuzzer
# itself links libFuzzer's main.
function(kvx_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  kvx_warnings(${name})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${F_LIBS} Threads::Threads)
endfunction()
