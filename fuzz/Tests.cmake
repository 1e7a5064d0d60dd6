# SPDX-License-Identifier: GPL-3.0-or-later
# Where clang is installed, the fuzz targets (fuzz/CMakeLists.txt) are built beside the
# program with it, and a short run of each from its seed corpus is a test. `make fuzz` runs
# them longer.
find_program(VAROZIDI_CLANGXX NAMES clang++ clang++-14)
option(VAROZIDI_FUZZ_TESTS "Build the fuzz targets with clang and run each briefly as a test" ON)
set(VAROZIDI_FUZZ_SECONDS 4 CACHE STRING "How long each fuzz target runs as a test")
if(NOT VAROZIDI_FUZZ_TESTS OR NOT VAROZIDI_CLANGXX)
    message(STATUS "Fuzz targets: not built (no clang++, or VAROZIDI_FUZZ_TESTS=OFF)")
    return()
endif()
include(ExternalProject)
ExternalProject_Add(fuzzers
    SOURCE_DIR ${CMAKE_SOURCE_DIR}/fuzz
    BINARY_DIR ${CMAKE_BINARY_DIR}/fuzz
    CMAKE_ARGS -DCMAKE_CXX_COMPILER=${VAROZIDI_CLANGXX} -DCMAKE_BUILD_TYPE=RelWithDebInfo
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
foreach(target filter connection ini json jet)
    set(seeds ${CMAKE_SOURCE_DIR}/fuzz/corpus/${target})
    # The old program's database is the best seed for the Jet reader.
    if(target STREQUAL "jet")
        list(APPEND seeds ${CMAKE_SOURCE_DIR}/tests/fixtures)
    endif()
    add_test(NAME fuzz_${target}
             COMMAND ${CMAKE_SOURCE_DIR}/fuzz/run-fuzzer ${CMAKE_BINARY_DIR}/fuzz/fuzz_${target}
                     ${VAROZIDI_FUZZ_SECONDS} ${seeds}
             WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
    set_tests_properties(fuzz_${target} PROPERTIES TIMEOUT 120)
endforeach()
