# kovira_add_test(NAME <target> SOURCES <files...> LABELS <labels...> [LIBS <libs...>]
#                 [TIMEOUT s] [RESOURCE_LOCK name] [RUN_SERIAL]
#                 [NSRUN <nsrun.sh options...>] [TEST_FILTER <gtest filter>])
# RUN_SERIAL runs each test alone: for tests that measure time.
# NSRUN runs each test (and the listing of tests) through
# tests/fixtures/nsrun.sh with these options, for tests that need a /tmp of
# their own, such as one with the free space the composition demands, or
# (--net) a network of their own, for tests that bind fixed ports; they
# are reported skipped (77) only where no namespace can be made (not root).
# A host resource two test runs on one machine could share (a fixed port, a
# fixed path such as the scratch folder /tmp/cashed) belongs in such a
# namespace: a CTest lock orders the tests of one run only.
# TEST_FILTER registers only the tests it selects; the others are run by
# add_test commands of their own (with an environment they need).
# RESOURCE_LOCK keeps tests of one run that weigh on the same thing from
# running at the same time as each other.
# Builds one GoogleTest executable and registers each of its tests with CTest.
if(KOVIRA_BUILD_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

# Through a precompiled header GCC 12 reports its known false positive in
# std::string's inlined memcpy as if it were outside a system header.
set(KOVIRA_PCH_OPTIONS -Wno-array-bounds -Wno-stringop-overflow)

# What every test program compiles and links with; the shared precompiled
# header is only used by targets whose flags match the ones it was built with.
function(kovira_test_settings target)
  target_compile_options(${target} PRIVATE ${KOVIRA_WARNINGS})
  target_link_libraries(${target} PRIVATE kovirasys GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${target} PRIVATE
    KOVIRA_SOURCE_DIR="${CMAKE_SOURCE_DIR}" KOVIRA_BINARY_DIR="${CMAKE_BINARY_DIR}")
endfunction()

function(kovira_test_pch)
  if(TARGET kovira_test_pch)
    return()
  endif()
  add_library(kovira_test_pch STATIC ${CMAKE_SOURCE_DIR}/cmake/empty.cpp)
  kovira_test_settings(kovira_test_pch)
  target_compile_options(kovira_test_pch PRIVATE ${KOVIRA_PCH_OPTIONS})
  target_precompile_headers(kovira_test_pch PRIVATE <gtest/gtest.h> <nlohmann/json.hpp> <string> <vector> <thread>)
endfunction()

function(kovira_add_test)
  cmake_parse_arguments(T "RUN_SERIAL" "NAME;TIMEOUT;RESOURCE_LOCK;TEST_FILTER" "SOURCES;LABELS;LIBS;NSRUN" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  list(LENGTH T_SOURCES n_sources)
  kovira_test_settings(${T_NAME})
  if(n_sources GREATER 2)
    # Test files all parse GoogleTest and most the JSON library: parse them
    # once for the whole tree (one header image is over 100 MB).
    kovira_test_pch()
    target_precompile_headers(${T_NAME} REUSE_FROM kovira_test_pch)
    target_compile_options(${T_NAME} PRIVATE ${KOVIRA_PCH_OPTIONS})
  endif()
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS})
  set(extra_properties "")
  if(T_RESOURCE_LOCK)
    list(APPEND extra_properties RESOURCE_LOCK ${T_RESOURCE_LOCK})
  endif()
  if(T_RUN_SERIAL)
    list(APPEND extra_properties RUN_SERIAL TRUE)
  endif()
  if(T_NSRUN)
    # GoogleTest's discovery runs the listing and every test through the
    # target's emulator.
    set_target_properties(${T_NAME} PROPERTIES
      CROSSCOMPILING_EMULATOR "bash;${CMAKE_SOURCE_DIR}/tests/fixtures/nsrun.sh;${T_NSRUN};--")
    list(APPEND extra_properties SKIP_RETURN_CODE 77)
  endif()
  set(filter_args "")
  if(T_TEST_FILTER)
    set(filter_args TEST_FILTER "${T_TEST_FILTER}")
  endif()
  # Discovered tests take their properties as name-value pairs: a second
  # label would be read as a property name and lose what follows it (a
  # resource lock among them).
  list(LENGTH T_LABELS n_labels)
  if(NOT n_labels EQUAL 1)
    message(FATAL_ERROR "kovira_add_test(${T_NAME}): exactly one label")
  endif()
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    ${filter_args}
    PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT} ${extra_properties})
endfunction()

# kovira_add_fuzz(NAME <target> SOURCES <files...> MAX_LEN <bytes> CORPUS <dir> [SEEDS <dirs...>]
#                 [DEPENDS <headers...>] [LIBS <link flags...>])
# Builds a libFuzzer target with clang (address and undefined-behaviour
# sanitizers) and registers a run of KOVIRA_FUZZ_SECONDS under the label
# fuzz (longer runs by hand: -DKOVIRA_FUZZ_SECONDS=600). Without
# clang nothing is built and the test is not registered. SEEDS are more
# folders of starting inputs (read, never written).
set(KOVIRA_FUZZ_SECONDS 20 CACHE STRING "Seconds each fuzz target runs under CTest")

function(kovira_add_fuzz)
  cmake_parse_arguments(F "" "NAME;MAX_LEN;CORPUS" "SOURCES;DEPENDS;LIBS;SEEDS" ${ARGN})
  find_program(KOVIRA_CLANGXX NAMES clang++ clang++-14)
  if(NOT KOVIRA_CLANGXX)
    message(STATUS "clang++ not found: fuzz target ${F_NAME} skipped")
    return()
  endif()
  set(bin ${CMAKE_BINARY_DIR}/bin/${F_NAME})
  add_custom_command(OUTPUT ${bin}
    COMMAND ${KOVIRA_CLANGXX} -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined
            -fno-sanitize-recover=undefined -I${CMAKE_SOURCE_DIR} ${F_SOURCES} ${F_LIBS} -o ${bin}
    DEPENDS ${F_SOURCES} ${F_DEPENDS}
    COMMENT "Building fuzz target ${F_NAME} with clang"
    VERBATIM)
  add_custom_target(${F_NAME} ALL DEPENDS ${bin})
  if(KOVIRA_BUILD_TESTS)
    set(work ${CMAKE_BINARY_DIR}/fuzz/${F_NAME})
    add_test(NAME ${F_NAME}
      COMMAND sh -c "mkdir -p '${work}' && exec '${bin}' -max_total_time=${KOVIRA_FUZZ_SECONDS} -timeout=10 -rss_limit_mb=2048 -max_len=${F_MAX_LEN} -print_final_stats=1 '${work}' '${F_CORPUS}' ${F_SEEDS}")
    set_tests_properties(${F_NAME} PROPERTIES LABELS fuzz TIMEOUT 150)
  endif()
endfunction()
