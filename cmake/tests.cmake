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
file(GLOB FERRIN_E2E_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/test_*.py)
# test_systemd builds the Debian package from the source tree and boots a
# Debian system made once into this build folder (about 250 MB); the first
# run, which makes it, takes a few minutes more. The package does not depend
# on this build's configuration, so a sanitizer build leaves it out.
foreach(script ${FERRIN_E2E_TESTS})
  get_filename_component(name ${script} NAME_WE)
  set(timeout 600)
  if(name STREQUAL "test_systemd")
    if(FERRIN_SANITIZE)
      continue()
    endif()
    set(timeout 2400)
  endif()
  add_test(NAME e2e_${name} COMMAND ${FERRIN_PYTHON} ${script} -v
           WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests/e2e)
  set_tests_properties(e2e_${name} PROPERTIES
    ENVIRONMENT "FERRIN_BINARY=$<TARGET_FILE:ferrin>;FERRIN_BUILD_DIR=${CMAKE_BINARY_DIR};PYTHONDONTWRITEBYTECODE=1"
    TIMEOUT ${timeout} LABELS e2e
    # Shown as skipped, not passed, where no namespace can be made.
    SKIP_REGULAR_EXPRESSION "skipped 'cannot make network namespaces")
endforeach()
