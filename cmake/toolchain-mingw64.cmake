# Cross build for 64-bit Windows with MinGW-w64 (posix thread model, so that
# std::thread and std::mutex exist).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PELORUS_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PELORUS_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PELORUS_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${PELORUS_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PELORUS_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread are linked statically so every binary runs
# in a bare Wine prefix without MinGW's runtime DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
