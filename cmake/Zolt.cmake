# One module = X.hpp + X.cpp (+ X_test.cpp beside it). Every module is its own static
# library so that a module links exactly the modules it imports.
#
#   zolt_module(NAME [DEPS module...] [LIBS system-lib...] [SOURCES extra.cpp...])
#
# A module whose X.cpp is not there yet is skipped, so the layer's list can name the
# modules that are still being written.
function(zolt_module name)
  cmake_parse_arguments(M "" "" "DEPS;LIBS;SOURCES" ${ARGN})
  if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${name}.cpp)
    return()
  endif()
  add_library(${name} STATIC ${name}.cpp ${M_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${M_DEPS} ${M_LIBS})
  if(ZOLT_TESTS AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${name}_test.cpp)
    zolt_test(${name}_test ${name}_test.cpp DEPS ${name})
  endif()
endfunction()

# A GoogleTest executable. Every test case runs as its own process in its own sandbox
# directory (see tests/support/TestMain.cpp), so cases can run in parallel.
function(zolt_test name)
  cmake_parse_arguments(T "" "" "DEPS" ${ARGN})
  add_executable(${name} ${T_UNPARSED_ARGUMENTS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ZOLT_TEST_BIN_DIR})
  target_link_libraries(${name} PRIVATE ${T_DEPS} zolt_testmain GTest::gtest GTest::gmock)
  add_dependencies(${name} zolt_catalogues)
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120 ENVIRONMENT "ZOLT_BUILD_DIR=${CMAKE_BINARY_DIR}")
endfunction()

# A Google Benchmark program under bench/.
function(zolt_bench name)
  cmake_parse_arguments(B "" "" "DEPS" ${ARGN})
  add_executable(${name} ${B_UNPARSED_ARGUMENTS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  target_link_libraries(${name} PRIVATE ${B_DEPS} benchmark::benchmark)
endfunction()
