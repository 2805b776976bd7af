# GoogleTest for the Windows build: Debian ships it for the host only, so the
# sources of the googletest package (/usr/src/googletest) are compiled here
# with MinGW-w64. The result offers the same targets as Debian's package
# natively (GTest::gtest, GTest::gtest_main, GTest::gmock, GTest::gmock_main),
# so test code links the same names in both builds.
#
# The sources are added EXCLUDE_FROM_ALL (only what a test links is built) and
# SYSTEM (their headers raise no warnings in our tests), and compiled without
# -Werror: warnings in third-party code are not ours to fix.
include_guard(GLOBAL)

set(PELORUS_GOOGLETEST_SOURCE_DIR "/usr/src/googletest"
    CACHE PATH "GoogleTest sources compiled for the Windows build")
if(NOT EXISTS "${PELORUS_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt")
  message(FATAL_ERROR "GoogleTest sources not found in ${PELORUS_GOOGLETEST_SOURCE_DIR}: "
                      "install Debian's googletest package (scripts/setup.sh does)")
endif()

function(_pelorus_add_googletest)
  # Function scope: these settings stay local to the googletest subtree. Its
  # old cmake_minimum_required would make option() drop them without CMP0077.
  set(CMAKE_POLICY_DEFAULT_CMP0077 NEW)
  set(INSTALL_GTEST OFF)
  set(BUILD_GMOCK ON)
  set(gtest_force_shared_crt ON)
  # GoogleTest uses Win32 threads on Windows; skipping its pthread probe keeps
  # winpthread out of the test binaries' link.
  set(gtest_disable_pthreads ON)
  set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
  add_subdirectory("${PELORUS_GOOGLETEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/_deps/googletest"
                   EXCLUDE_FROM_ALL SYSTEM)
endfunction()

# The inherited -Wall/-Wextra/-Werror of the project must not reach the
# googletest subtree; the directory options are saved and restored around it.
get_directory_property(_pelorus_saved_options COMPILE_OPTIONS)
_pelorus_add_googletest()
set_directory_properties(PROPERTIES COMPILE_OPTIONS "${_pelorus_saved_options}")
unset(_pelorus_saved_options)
