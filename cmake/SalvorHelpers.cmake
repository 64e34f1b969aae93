# Shared build helpers.

function(salvor_add_subdirectory_if_present dir)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endfunction()

# Every sub-folder of `dir` that has a CMakeLists.txt, in name order.
function(salvor_add_all_subdirectories dir)
  file(GLOB children RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}/${dir} ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/${child}
       AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/${child}/CMakeLists.txt)
      add_subdirectory(${dir}/${child})
    endif()
  endforeach()
endfunction()

# The shared third-party images live beside the project (never inside it).
get_filename_component(SALVOR_TESTDATA_DIR ${CMAKE_SOURCE_DIR}/../shared/testdata ABSOLUTE)

# salvor_add_test(NAME SOURCES a.cpp b.cpp LIBS x y [TIMEOUT s] [LABELS l])
# A GoogleTest executable run as one ctest test.
function(salvor_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} salvor_testsupport GTest::gtest GTest::gtest_main)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    LABELS "${T_LABELS}"
    ENVIRONMENT "SALVOR_SOURCE_DIR=${CMAKE_SOURCE_DIR};SALVOR_BUILD_DIR=${CMAKE_BINARY_DIR};SALVOR_TESTDATA=${SALVOR_TESTDATA_DIR};SALVOR_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
endfunction()

# salvor_add_fuzzer(NAME SOURCES a.cpp LIBS x [SEEDS dir])
# A libFuzzer harness, built only with SALVOR_FUZZ, run briefly under ctest so
# that it cannot rot. New inputs go to a corpus folder in the build tree.
function(salvor_add_fuzzer name)
  if(NOT SALVOR_FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "SEEDS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  set(corpus ${CMAKE_BINARY_DIR}/fuzz-corpus/${name})
  file(MAKE_DIRECTORY ${corpus})
  set(args ${corpus})
  if(F_SEEDS)
    list(APPEND args ${F_SEEDS})
  endif()
  # A fixed seed keeps the short ctest run repeatable: CI replays the seeds and
  # the same mutations each time; longer exploratory runs are made by hand.
  add_test(NAME ${name} COMMAND ${name} -seed=1 -max_total_time=${SALVOR_FUZZ_SECONDS} -timeout=10 -rss_limit_mb=2048 ${args})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300 LABELS fuzz)
endfunction()
