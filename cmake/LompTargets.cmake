# The shapes every target of the project takes, so that a folder's
# CMakeLists says only what is its own.

# lomp_library(NAME SOURCES file... USES library...)
#   One layer of src/: a static library whose headers are included as
#   "folder/file.h". USES names every library whose headers the layer
#   includes itself (tools/check-layers compares the two).
function(lomp_library name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "" "SOURCES;USES")
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_USES} PRIVATE lomp_build_flags)
endfunction()

# lomp_test_program(NAME SOURCES file... USES library...)
#   A GoogleTest program that sees the test support headers ("support/...")
#   and knows where the lomp program is (LOMP_BINARY).
function(lomp_test_program name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "" "SOURCES;USES")
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/unit)
  target_compile_definitions(${name} PRIVATE LOMP_BINARY="$<TARGET_FILE:lomp>")
  target_link_libraries(${name} PRIVATE ${ARG_USES} GTest::gtest_main lomp_build_flags)
  add_dependencies(${name} lomp)
endfunction()

# lomp_fuzz_target(NAME)
#   tests/fuzz/NAME_fuzz.cpp: its corpus replays as a unit test in every test
#   build; with LOMP_BUILD_FUZZERS it is also a libFuzzer program, NAME_fuzzer.
function(lomp_fuzz_target name)
  add_executable(${name}_replay ${name}_fuzz.cpp replay_main.cpp)
  target_link_libraries(${name}_replay PRIVATE lomp_front lomp_nbt lomp_build_flags)
  add_test(NAME fuzz_replay_${name}
    COMMAND ${name}_replay ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${name})
  set_tests_properties(fuzz_replay_${name} PROPERTIES LABELS unit TIMEOUT 120)
  if(LOMP_BUILD_FUZZERS)
    add_executable(${name}_fuzzer ${name}_fuzz.cpp)
    target_compile_options(${name}_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${name}_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${name}_fuzzer PRIVATE lomp_front lomp_nbt lomp_build_flags)
  endif()
endfunction()
