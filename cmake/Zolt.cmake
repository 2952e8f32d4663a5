# One module = X.hpp + X.cpp (+ X_test.cpp beside it). Every module is its own static
# library so that a module links exactly the modules it imports.
#
#   zolt_module(NAME [DEPS module...] [LIBS system-lib...] [SOURCES extra.cpp...])
#
# A line whose X.cpp is not there stops the configuration: a renamed or missing file
# must not silently drop a module and its tests.
#
# A module names its imports in three places, and the build keeps them in agreement
# (tools/modcheck, run before any module is compiled; it fails the build and names
# each disagreement). For every module X:
#   - DEPS names exactly the modules whose headers X.hpp and X.cpp (and its SOURCES)
#     include as #include "Y.hpp" -- none missing, none extra, UCommon included;
#   - X.hpp declares X_Init, and X_Init calls Y_Init for each module Y of DEPS, once,
#     in the order DEPS lists them (before its own work; cycles are fine, the guard in
#     UCommon.hpp stops them).
# Headers of no module (no zolt_module line) are not imports. A module used only
# through another module's header is not listed unless X includes its header itself.
function(zolt_module name)
  cmake_parse_arguments(M "" "" "DEPS;LIBS;SOURCES" ${ARGN})
  if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${name}.cpp)
    message(FATAL_ERROR "zolt_module(${name}): ${CMAKE_CURRENT_SOURCE_DIR}/${name}.cpp does "
      "not exist. A module is ${name}.hpp + ${name}.cpp; add the file or drop the line.")
  endif()
  add_library(${name} STATIC ${name}.cpp ${M_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${M_DEPS} ${M_LIBS})
  add_dependencies(${name} zolt_modcheck)
  string(REPLACE ";" " " deps "${M_DEPS}")
  string(REPLACE ";" " " sources "${M_SOURCES}")
  set_property(GLOBAL APPEND_STRING PROPERTY ZOLT_MODULE_MANIFEST
    "${name}\t${CMAKE_CURRENT_SOURCE_DIR}\t${deps}\t${sources}\n")
  set_property(GLOBAL APPEND PROPERTY ZOLT_MODULE_FILES
    ${CMAKE_CURRENT_SOURCE_DIR}/${name}.hpp ${CMAKE_CURRENT_SOURCE_DIR}/${name}.cpp)
  if(ZOLT_TESTS AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${name}_test.cpp)
    zolt_test(${name}_test ${name}_test.cpp DEPS ${name})
  endif()
endfunction()

# The check of the rule above over every module; it runs once the top directory has been
# read, so it sees every zolt_module line of every folder. Every module library depends on
# it.
function(zolt_check_modules)
  get_property(manifest GLOBAL PROPERTY ZOLT_MODULE_MANIFEST)
  get_property(files GLOBAL PROPERTY ZOLT_MODULE_FILES)
  set(list ${CMAKE_BINARY_DIR}/modules.manifest)
  file(GENERATE OUTPUT ${list} CONTENT "${manifest}")
  set(stamp ${CMAKE_BINARY_DIR}/modules.checked)
  add_custom_command(OUTPUT ${stamp}
    COMMAND modcheck ${list}
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS modcheck ${list} ${files}
    COMMENT "Checking the modules' includes, DEPS and X_Init"
    VERBATIM)
  add_custom_target(zolt_modcheck ALL DEPENDS ${stamp})
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

# The module check once every folder has been read.
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL zolt_check_modules)
