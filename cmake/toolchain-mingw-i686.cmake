# The 32-bit Windows build: the product, MV620ACQm.dll.
set(MV620_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
