# Cross build of the Windows DLLs with mingw-w64 (posix thread model, for std::thread and
# std::mutex), for the architecture in MV620_MINGW_ARCH (i686 or x86_64): included by
# toolchain-mingw-i686.cmake and toolchain-mingw-x86_64.cmake.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${MV620_MINGW_ARCH})
set(CMAKE_C_COMPILER ${MV620_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${MV620_MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${MV620_MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MV620_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs (the tests) link the C and C++ runtimes statically: they run under Wine, or on a
# Windows machine, without the toolchain's DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# ctest runs the Windows programs under Wine, each machine in its own prefix (scripts/wine.sh).
get_filename_component(_mv620_wine_run "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_mv620_wine_run}" CACHE FILEPATH
    "Runs the cross-built Windows programs (Wine)")
