# nimbuswatch_add_test(NAME LABEL label SOURCES a.cpp ... [LIBS ...])
# One GoogleTest program; each of its tests is registered with CTest under
# the given label (unit, integration, e2e), so `ctest -L unit` picks a group.
find_package(GTest REQUIRED)
include(GoogleTest)

function(nimbuswatch_add_test name)
  cmake_parse_arguments(ARG "" "LABEL" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_LABEL)
    set(ARG_LABEL unit)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE nimbuswatch_test_support GTest::gtest GTest::gtest_main ${ARG_LIBS})
  gtest_discover_tests(${name}
    PROPERTIES LABELS ${ARG_LABEL}
    DISCOVERY_TIMEOUT 60)
endfunction()
