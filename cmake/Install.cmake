# What `cmake --install` puts into a prefix:
#   include/                    MV620ACQm.h and MV620ACQm_sim.h
#   lib/ (Linux)                libMV620ACQm.so.1 and libMV620ACQm-sim.so.1, with their .so links
#   bin/, lib/ (Windows)        MV620ACQm.dll and MV620ACQm-sim.dll; their import libraries and
#                               .def files, from which other toolchains make their own
#   lib/cmake/MV620ACQm/        the CMake package: find_package(MV620ACQm) gives the imported
#                               targets MV620ACQm::MV620ACQm and MV620ACQm::MV620ACQm-sim
#   lib/pkgconfig/              MV620ACQm.pc and MV620ACQm-sim.pc
#   share/doc/MV620ACQm/        the README and the example programs' sources
#   driver/ (Windows)           mv620.inf, which binds WinUSB to the instrument
#                               (src/platform/CMakeLists.txt)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(MV620_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/MV620ACQm)

foreach(artifact MV620ACQm MV620ACQm-sim)
  # The headers come from the source tree in a build, from the prefix once installed.
  target_include_directories(${artifact} INTERFACE
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  if(NOT WIN32)
    # libMV620ACQm.so.1: the ABI is the 25 functions, which only a major version may change.
    set_target_properties(${artifact} PROPERTIES
      VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}
      SOVERSION ${PROJECT_VERSION_MAJOR})
  endif()
endforeach()

install(TARGETS MV620ACQm MV620ACQm-sim EXPORT MV620ACQmTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/MV620ACQm.h ${PROJECT_SOURCE_DIR}/include/MV620ACQm_sim.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/MV620ACQm.def ${CMAKE_CURRENT_BINARY_DIR}/MV620ACQm-sim.def
    DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

install(EXPORT MV620ACQmTargets NAMESPACE MV620ACQm:: DESTINATION ${MV620_PACKAGE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/package/MV620ACQmConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/MV620ACQmConfig.cmake INSTALL_DESTINATION ${MV620_PACKAGE_DIR})
# Any 1.x library serves a program built against the 25 functions of 1.0.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/MV620ACQmConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/MV620ACQmConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/MV620ACQmConfigVersion.cmake
  DESTINATION ${MV620_PACKAGE_DIR})

# The .pc files find the prefix from their own place, so an installed tree can be moved (and
# `cmake --install --prefix` chooses it after the build).
file(RELATIVE_PATH MV620_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" MV620_PC_TO_PREFIX "${MV620_PC_TO_PREFIX}")
foreach(artifact MV620ACQm MV620ACQm-sim)
  if(artifact STREQUAL "MV620ACQm")
    set(MV620_PC_DESCRIPTION "Driver library of the MV620 data-acquisition instrument")
  else()
    set(MV620_PC_DESCRIPTION "MV620 driver library over the simulated instrument")
  endif()
  set(MV620_PC_NAME ${artifact})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/package/MV620ACQm.pc.in
    ${CMAKE_CURRENT_BINARY_DIR}/${artifact}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${artifact}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
  FILES_MATCHING PATTERN "*.c")
