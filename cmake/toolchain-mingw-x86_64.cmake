# The 64-bit Windows build of the same DLLs.
set(MV620_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
