# How the tests are declared. Every test has a time limit, so that a decoder or a tool that hangs
# fails its test instead of stalling the run.
set(CVTRIO_TEST_TIMEOUT 60 CACHE STRING "Time limit in seconds of a test that sets none of its own")

# cvtrio_test(<name> [WINDOWS] [PROGRAM <target>] [TIMEOUT <s>] [LINK <lib>...])
#
# A GoogleTest program built from <name>.cpp beside the caller, linked with the test-support
# library and LINK. PROGRAM is a program the tests start: it is built first and its path reaches
# the code as <TARGET>_PATH. WINDOWS marks tests that use the X server: they take it one at a time
# and carry the label gui. Each test gets TIMEOUT seconds, CVTRIO_TEST_TIMEOUT by default.
function(cvtrio_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "WINDOWS" "PROGRAM;TIMEOUT" "LINK")
  add_executable(${name} ${name}.cpp)
  target_link_libraries(${name} PRIVATE xharness ${arg_LINK} GTest::gtest_main)
  if(arg_PROGRAM)
    string(TOUPPER "${arg_PROGRAM}_PATH" path_define)
    target_compile_definitions(${name} PRIVATE ${path_define}="$<TARGET_FILE:${arg_PROGRAM}>")
    add_dependencies(${name} ${arg_PROGRAM})
  endif()
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT ${CVTRIO_TEST_TIMEOUT})
  endif()
  set(properties TIMEOUT ${arg_TIMEOUT})
  if(arg_WINDOWS)
    list(APPEND properties RESOURCE_LOCK xserver LABELS gui)
  endif()
  # Listing the tests at build time is bounded too, by more than the module's 5 s, which a
  # sanitized program starting on a loaded machine can take.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
endfunction()

# Sets <out> to what a test puts in LD_PRELOAD to load the module <library> into a program. A
# sanitizer build's programs refuse to start unless the sanitizer runtime is the first library
# loaded, so it goes in front.
function(cvtrio_preload_list out library)
  set(preload "$<TARGET_FILE:${library}>")
  if(CVTRIO_SANITIZE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                    OUTPUT_VARIABLE runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(preload "${runtime}:${preload}")
  endif()
  set(${out} "${preload}" PARENT_SCOPE)
endfunction()
