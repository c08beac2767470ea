# The test suite in the Windows cross builds.
#
# No GoogleTest package exists for the mingw-w64 toolchains, so GoogleTest (with GoogleMock) is
# built here from the source tree of Debian's "googletest" package, and provides the same
# targets as find_package(GTest) does natively: GTest::gtest, GTest::gtest_main, GTest::gmock,
# GTest::gmock_main. The test programs link statically (toolchain files) and ctest runs them
# under Wine through CMAKE_CROSSCOMPILING_EMULATOR (scripts/wine-run.sh).
set(MV620_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest source tree for the cross builds (Debian package googletest)")
if(NOT EXISTS ${MV620_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${MV620_GOOGLETEST_SOURCE_DIR}: install the "
                      "googletest package or set MV620_GOOGLETEST_SOURCE_DIR")
endif()

set(INSTALL_GTEST OFF)
set(BUILD_GMOCK ON)
# SYSTEM: the project's warnings (errors) do not apply to GoogleTest's headers, as they do not
# to the installed ones of the native build.
add_subdirectory(${MV620_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL
                 SYSTEM)

if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  message(WARNING "No CMAKE_CROSSCOMPILING_EMULATOR: ctest cannot run the Windows test programs "
                  "(use cmake/toolchain-mingw-*.cmake)")
endif()
