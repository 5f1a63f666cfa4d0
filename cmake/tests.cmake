# SPDX-License-Identifier: BSD-2-Clause
# Unit tests live beside the code they test (src/<subsystem>/*_test.cpp);
# end-to-end tests (tests/e2e/test_*.py) drive the real binary in network
# namespaces. New files are picked up when CMake runs again.
find_package(GTest REQUIRED)
include(GoogleTest)
find_program(FERRIN_PYTHON NAMES python3)

file(GLOB FERRIN_UNIT_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/*/*_test.cpp)
add_executable(ferrin_unit_tests ${FERRIN_UNIT_TEST_SOURCES})
target_link_libraries(ferrin_unit_tests PRIVATE ferrin_core GTest::gtest GTest::gtest_main)
# The label lets a package build run these alone: they need no privilege,
# no network namespace and nothing outside the build folder.
gtest_discover_tests(ferrin_unit_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)

# Everything else is driven by Python; a build without it (a minimal package
# build environment) still builds and runs the unit tests.
if(NOT FERRIN_PYTHON)
  message(STATUS "python3 not found: only the unit tests are registered")
  return()
endif()

# Every end-to-end test makes its own namespaces, interfaces, program copies
# and mount views, named after its process, so any number run side by side
# (ctest -j): each test class of a file is a test of its own, e2e_<file> for
# a file of one class, e2e_<file>.<class> otherwise. A file that needs more
# says so below, by the file's name:
#   _TIMEOUT    seconds, instead of 600
#   _PROCESSORS what it keeps busy, counted against ctest -j
#   _LOCK       resources it can't share (RESOURCE_LOCK)
#   _REQUIRES   fixtures made by the tests below (FIXTURES_REQUIRED)
#   _SANITIZE   OFF: left out of a sanitizer build
# test_systemd boots a Debian system under systemd with the package built
# from this tree. Both are made by tests of their own, which start first and
# run beside the rest: e2e_debian_package (dpkg-buildpackage of a copy of the
# tree, unit tests included) and e2e_machine_root (debootstrap, once per
# build folder, about 250 MB; a few minutes the first time). The package does
# not depend on this build's configuration, so a sanitizer build leaves all
# three out.
set(test_systemd_TIMEOUT 1200)
set(test_systemd_REQUIRES "debian_package;machine_root")
set(test_systemd_SANITIZE OFF)
# Floods and signal storms take every CPU they get; the rate and time limits
# other tests check are not to be measured against them.
set(test_flood_PROCESSORS 2)
set(test_flood_LOCK cpu_bound)
set(test_signal_storm_PROCESSORS 2)
set(test_signal_storm_LOCK cpu_bound)

set(FERRIN_E2E_DIR ${CMAKE_SOURCE_DIR}/tests/e2e)
set(FERRIN_E2E_ENVIRONMENT
  "FERRIN_BINARY=$<TARGET_FILE:ferrin>;FERRIN_BUILD_DIR=${CMAKE_BINARY_DIR};PYTHONDONTWRITEBYTECODE=1")

if(NOT FERRIN_SANITIZE)
  add_test(NAME e2e_debian_package COMMAND ${FERRIN_PYTHON} ${FERRIN_E2E_DIR}/debian_package.py
           WORKING_DIRECTORY ${FERRIN_E2E_DIR})
  add_test(NAME e2e_machine_root COMMAND ${FERRIN_PYTHON} ${FERRIN_E2E_DIR}/machine.py
           WORKING_DIRECTORY ${FERRIN_E2E_DIR})
  # A high cost makes ctest start them first; the package build compiles
  # with every CPU.
  set_tests_properties(e2e_debian_package PROPERTIES FIXTURES_SETUP debian_package
    PROCESSORS 2 COST 10000 TIMEOUT 1800 LABELS e2e ENVIRONMENT "${FERRIN_E2E_ENVIRONMENT}")
  set_tests_properties(e2e_machine_root PROPERTIES FIXTURES_SETUP machine_root
    COST 10000 TIMEOUT 1800 LABELS e2e ENVIRONMENT "${FERRIN_E2E_ENVIRONMENT}"
    SKIP_REGULAR_EXPRESSION "skipped 'cannot make network namespaces")
endif()

file(GLOB FERRIN_E2E_TESTS CONFIGURE_DEPENDS ${FERRIN_E2E_DIR}/test_*.py)
foreach(script ${FERRIN_E2E_TESTS})
  get_filename_component(name ${script} NAME_WE)
  if(FERRIN_SANITIZE AND DEFINED ${name}_SANITIZE AND NOT ${name}_SANITIZE)
    continue()
  endif()
  # A new or renamed test class is found when the file changes.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${script})
  execute_process(COMMAND ${FERRIN_PYTHON} ${CMAKE_SOURCE_DIR}/cmake/e2e_cases.py ${script}
                  OUTPUT_VARIABLE classes OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE found)
  if(NOT found EQUAL 0)
    message(FATAL_ERROR "cmake/e2e_cases.py could not read ${script}")
  endif()
  string(REPLACE "\n" ";" classes "${classes}")
  list(LENGTH classes count)
  if(count LESS 2)
    set(classes "")
  endif()
  set(tests "")
  if(classes)
    foreach(class ${classes})
      add_test(NAME e2e_${name}.${class} COMMAND ${FERRIN_PYTHON} ${script} -v ${class}
               WORKING_DIRECTORY ${FERRIN_E2E_DIR})
      list(APPEND tests e2e_${name}.${class})
    endforeach()
  else()
    add_test(NAME e2e_${name} COMMAND ${FERRIN_PYTHON} ${script} -v
             WORKING_DIRECTORY ${FERRIN_E2E_DIR})
    set(tests e2e_${name})
  endif()
  set(timeout 600)
  if(DEFINED ${name}_TIMEOUT)
    set(timeout ${${name}_TIMEOUT})
  endif()
  set_tests_properties(${tests} PROPERTIES
    ENVIRONMENT "${FERRIN_E2E_ENVIRONMENT}" TIMEOUT ${timeout} LABELS e2e
    # Shown as skipped, not passed, where no namespace can be made.
    SKIP_REGULAR_EXPRESSION "skipped 'cannot make network namespaces")
  foreach(property PROCESSORS LOCK REQUIRES)
    if(DEFINED ${name}_${property})
      set(cmake_property ${property})
      if(property STREQUAL "LOCK")
        set(cmake_property RESOURCE_LOCK)
      elseif(property STREQUAL "REQUIRES")
        set(cmake_property FIXTURES_REQUIRED)
      endif()
      set_tests_properties(${tests} PROPERTIES ${cmake_property} "${${name}_${property}}")
    endif()
  endforeach()
endforeach()
