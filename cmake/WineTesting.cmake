# Tests under Wine, in the Windows build.
#
# Every Windows program that CTest runs goes through scripts/wine-run.sh
# (CMAKE_CROSSCOMPILING_EMULATOR), which uses the project's Wine machine in
# <build>/wine-prefix (scripts/wine-machine.sh). The CTest fixture
# `wine_machine` brings the machine up to date and starts one persistent
# wineserver before the first Windows test (test wine_machine.setup) and ends
# it after the last (wine_machine.cleanup); every Windows test requires it.
# Every test has a timeout.
#
#   pelorus_windows_gtest(<target> [RESOURCE_LOCK <lock>...] [TIMEOUT <s>]
#                         [FIXTURES_REQUIRED <fixture>...])
#     Registers the cases of a GoogleTest executable, discovered when CTest
#     runs (DISCOVERY_MODE PRE_TEST: listing the cases needs Wine, which the
#     build does not), one CTest test per case. TIMEOUT is per case (default
#     60 s). RESOURCE_LOCK names the fixed machine-wide locations the cases
#     touch (see below), so parallel runs cannot collide. FIXTURES_REQUIRED
#     adds CTest fixtures every case needs besides wine_machine.
#
#   pelorus_wine_test(NAME <name> COMMAND <program> [<argument>...]
#                     [TIMEOUT <s>] [RESOURCE_LOCK <lock>...]
#                     [WORKING_DIRECTORY <dir>] [ENVIRONMENT <VAR=value>...]
#                     [PASS_REGULAR_EXPRESSION <re>] [FAIL_REGULAR_EXPRESSION <re>]
#                     [WILL_FAIL])
#     A plain command run under Wine, e.g. an end-to-end test through
#     orbhost: `pelorus_wine_test(NAME e2e.get_name COMMAND orbhost call GetName
#     PASS_REGULAR_EXPRESSION "Pelorus")`. <program> is a target of the build
#     or a path (Linux, or a Windows path inside the machine such as
#     "C:/Program Files/..."). Default timeout 120 s.
#
# Shared machine state. scripts/test.sh runs the tests in parallel (one per
# core), all in the one Wine machine under one wineserver. A test that
# changes a fixed, machine-wide thing, or reads one that another test
# changes, declares a RESOURCE_LOCK named after it: tests holding the same
# lock never run at the same time. Everything else a test uses is its own:
# scratch folders (wintest::ScratchFolder), "ProgramFiles" pointed at one
# (HwMachine), registry keys and event names carrying the process id, free
# ports (bind to port 0, never a fixed one). Reuse these names:
#   hklm:<key path, / for \>   a fixed HKLM key and what reads it, e.g.
#                              "hklm:SOFTWARE/WOW6432Node/QUON" (the maker's
#                              keys), "hklm:SOFTWARE/Pelorus Machine/ACPI Bridge"
#                              (the bridge stand-in: its profile, values, class
#                              registration and its server process),
#                              "hklm:SYSTEM/CurrentControlSet/Control/Power"
#                              (the active power scheme)
#   service:<name>             a service of the machine (install, start, stop)
#   window:<class>             a window found machine-wide by its class
#   all-users-log              the diagnostic-log folder under C:\ProgramData
#   programdata:<path, / for \>  another fixed folder under C:\ProgramData
#   program-files-x86          the companions in C:\Program Files (x86), their
#                              files and their running processes
#   users-public               C:\Users\Public (its Libraries folder)
# A lock costs parallelism: name only what the cases really share.
include_guard(GLOBAL)

set(PELORUS_WINE_RUN "${PROJECT_SOURCE_DIR}/scripts/wine-run.sh")
set(PELORUS_WINE_MACHINE "${PROJECT_SOURCE_DIR}/scripts/wine-machine.sh")
set(CMAKE_CROSSCOMPILING_EMULATOR "${PELORUS_WINE_RUN};--capture;--build-dir;${CMAKE_BINARY_DIR}")

add_test(NAME wine_machine.setup COMMAND "${PELORUS_WINE_MACHINE}" --build-dir
                                         "${CMAKE_BINARY_DIR}" --start)
set_tests_properties(wine_machine.setup PROPERTIES FIXTURES_SETUP wine_machine TIMEOUT 600)
add_test(NAME wine_machine.cleanup COMMAND "${PELORUS_WINE_MACHINE}" --build-dir
                                           "${CMAKE_BINARY_DIR}" --stop)
set_tests_properties(wine_machine.cleanup PROPERTIES FIXTURES_CLEANUP wine_machine TIMEOUT 120)

include(GoogleTest)

function(pelorus_windows_gtest target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TIMEOUT" "RESOURCE_LOCK;FIXTURES_REQUIRED")
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 60)
  endif()
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 300
    TEST_LIST ${target}_TESTS
    PROPERTIES TIMEOUT ${arg_TIMEOUT} FIXTURES_REQUIRED wine_machine)
  if(arg_RESOURCE_LOCK)
    # gtest_discover_tests flattens list-valued properties; the locks are set
    # by a script CTest runs after the discovery, over the discovered cases.
    set(script "${CMAKE_CURRENT_BINARY_DIR}/${target}_locks.cmake")
    file(WRITE "${script}"
         "foreach(t IN LISTS ${target}_TESTS)\n"
         "  set_tests_properties(\"\${t}\" PROPERTIES RESOURCE_LOCK \"${arg_RESOURCE_LOCK}\")\n"
         "endforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
  endif()
  if(arg_FIXTURES_REQUIRED)
    # A list as well: set the same way, after the discovery.
    set(script "${CMAKE_CURRENT_BINARY_DIR}/${target}_fixtures.cmake")
    file(WRITE "${script}"
         "foreach(t IN LISTS ${target}_TESTS)\n"
         "  set_tests_properties(\"\${t}\" PROPERTIES FIXTURES_REQUIRED "
         "\"wine_machine;${arg_FIXTURES_REQUIRED}\")\n"
         "endforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
  endif()
endfunction()

function(pelorus_wine_test)
  cmake_parse_arguments(PARSE_ARGV 0 arg "WILL_FAIL"
    "NAME;TIMEOUT;WORKING_DIRECTORY;PASS_REGULAR_EXPRESSION;FAIL_REGULAR_EXPRESSION"
    "COMMAND;RESOURCE_LOCK;ENVIRONMENT")
  if(NOT arg_NAME OR NOT arg_COMMAND)
    message(FATAL_ERROR "pelorus_wine_test(NAME <name> COMMAND <program> ...)")
  endif()
  list(POP_FRONT arg_COMMAND program)
  if(NOT TARGET ${program})
    # Targets get the emulator from CTest; anything else is wrapped here.
    set(program ${CMAKE_CROSSCOMPILING_EMULATOR} "${program}")
  endif()
  set(workdir)
  if(arg_WORKING_DIRECTORY)
    set(workdir WORKING_DIRECTORY "${arg_WORKING_DIRECTORY}")
  endif()
  add_test(NAME ${arg_NAME} COMMAND ${program} ${arg_COMMAND} ${workdir})
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 120)
  endif()
  set_tests_properties(${arg_NAME} PROPERTIES TIMEOUT ${arg_TIMEOUT}
                                              FIXTURES_REQUIRED wine_machine)
  foreach(property RESOURCE_LOCK ENVIRONMENT PASS_REGULAR_EXPRESSION FAIL_REGULAR_EXPRESSION)
    if(arg_${property})
      set_property(TEST ${arg_NAME} PROPERTY ${property} "${arg_${property}}")
    endif()
  endforeach()
  if(arg_WILL_FAIL)
    set_tests_properties(${arg_NAME} PROPERTIES WILL_FAIL TRUE)
  endif()
endfunction()
