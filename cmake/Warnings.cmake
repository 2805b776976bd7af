# Warnings in every C and C++ source of the project: -Wall -Wextra (/W4 with
# MSVC); they become errors when the CI environment variable is set, so CI
# builds stay warning-free. The options are limited to C and C++: the
# resource compiler (windres) shares a target's compile options and knows
# neither flag. The environment is read at every configure, so
# `CI=1 cmake --preset ...` on an existing build tree switches errors on.
if(DEFINED ENV{CI} AND NOT "$ENV{CI}" STREQUAL "" AND NOT "$ENV{CI}" STREQUAL "0")
  set(PELORUS_WERROR ON)
else()
  set(PELORUS_WERROR OFF)
endif()

if(MSVC)
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:/W4>")
  if(PELORUS_WERROR)
    add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:/WX>")
  endif()
else()
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-Wall;-Wextra>")
  if(PELORUS_WERROR)
    add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-Werror>")
  endif()
endif()
