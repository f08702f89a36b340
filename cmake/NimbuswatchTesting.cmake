# nimbuswatch_add_test(NAME LABEL label SOURCES a.cpp ... [LIBS ...] [REGISTRY])
# One GoogleTest program; each of its tests is registered with CTest under
# the given label (unit, integration, e2e), so `ctest -L unit` picks a group.
#
# REGISTRY: the tests use the filter's registry key or its start-up trace
# file. On Windows both are one for the whole machine, so there such tests
# run one at a time.
#
# In the Windows build the programs run under Wine (the toolchain's
# emulator); their tests are listed when ctest runs, not while building, so
# building needs no Wine.
find_package(GTest REQUIRED)
include(GoogleTest)

function(nimbuswatch_add_test name)
  cmake_parse_arguments(ARG "REGISTRY" "LABEL" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_LABEL)
    set(ARG_LABEL unit)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE nimbuswatch_test_support GTest::gtest GTest::gtest_main ${ARG_LIBS})
  set(properties LABELS ${ARG_LABEL})
  set(discovery)
  if(CMAKE_CROSSCOMPILING)
    set(discovery DISCOVERY_MODE PRE_TEST)
  endif()
  if(WIN32 AND ARG_REGISTRY)
    list(APPEND properties RESOURCE_LOCK nimbuswatch_registry)
  endif()
  gtest_discover_tests(${name}
    PROPERTIES ${properties}
    DISCOVERY_TIMEOUT 60
    ${discovery})
endfunction()
