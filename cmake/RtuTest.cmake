# rtu_add_test(NAME SOURCES src... LIBS lib... [LABELS label...] [ENVIRONMENT VAR=value...])
#
# One GoogleTest executable per subsystem; every test case becomes a CTest
# test so failures are reported by name and cases run in parallel.
function(rtu_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;ENVIRONMENT" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  set(properties TIMEOUT ${T_TIMEOUT})
  # The discovered tests' properties pass through a flat list, so a test
  # carries one label that joins its labels with "-" ("storage-threaded");
  # `ctest -L threaded` selects by a regular expression and still finds it.
  if(T_LABELS)
    string(JOIN "-" label ${T_LABELS})
    list(APPEND properties LABELS "${label}")
  endif()
  if(T_ENVIRONMENT)
    list(LENGTH T_ENVIRONMENT count)
    if(count GREATER 1)
      message(FATAL_ERROR "rtu_add_test(${name}): give at most one ENVIRONMENT entry")
    endif()
    list(APPEND properties ENVIRONMENT "${T_ENVIRONMENT}")
  endif()
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/tests
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${properties})
endfunction()
