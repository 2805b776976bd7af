# -Wall -Wextra for every C and C++ source of the project; warnings become
# errors when the CI environment variable is set, so CI builds stay
# warning-free. The options are limited to C and C++: the resource compiler
# (windres) shares the compile options of a target and knows neither flag.
# The environment is read at every configure, so `CI=1 cmake --preset ...`
# on an existing build tree switches -Werror on.
add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-Wall;-Wextra>")
if(DEFINED ENV{CI} AND NOT "$ENV{CI}" STREQUAL "" AND NOT "$ENV{CI}" STREQUAL "0")
  set(PELORUS_WERROR ON)
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-Werror>")
else()
  set(PELORUS_WERROR OFF)
endif()
