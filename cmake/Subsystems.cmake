# The library's subsystems, each a folder of src/ and an object library, and the layering between
# them, which the build enforces:
#
#   context      the exported entry points, load and unload        uses acquisition, control
#   acquisition  rates, the acquisition thread, the ring, readers   uses device, platform
#   control      lines and inputs, status, configuration download   uses device, platform
#   device       the connection to the driver, the wire protocol    uses platform
#   platform     the seam to the driver, the system's primitives    uses nothing
#   sim          the simulated instrument, a driver backend         uses platform
#
# A subsystem's sources include its own headers and the PUBLIC headers of the subsystems it
# DEPENDS on, always as "folder/file.h", and nothing else: each subsystem sees src/ only through
# include roots made of forwarding headers, one root with all of its own headers and one with the
# public headers of each of its dependencies. An include of anything else does not compile. The
# public header of the library (include/) is seen only by the subsystems marked API.

set(MV620_INCLUDE_ROOTS ${CMAKE_BINARY_DIR}/include-roots)

# mv620_forwarding_header(AT FILE): a header at AT that stands for FILE.
function(mv620_forwarding_header at file)
  file(CONFIGURE OUTPUT ${at} @ONLY CONTENT
       "// Stands for ${file} in a subsystem's include root (cmake/Subsystems.cmake).\n#include \"${file}\"\n")
endfunction()

# mv620_subsystem(TARGET FOLDER folder SOURCES source... [PUBLIC_HEADERS header...]
#                 [DEPENDS target...] [API])
function(mv620_subsystem target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "API" "FOLDER" "SOURCES;PUBLIC_HEADERS;DEPENDS")
  set(folder ${PROJECT_SOURCE_DIR}/src/${arg_FOLDER})
  set(roots ${MV620_INCLUDE_ROOTS}/${target})
  add_library(${target} OBJECT ${arg_SOURCES})

  file(GLOB_RECURSE own CONFIGURE_DEPENDS RELATIVE ${folder} ${folder}/*.h)
  foreach(header IN LISTS own)
    mv620_forwarding_header(${roots}/own/${arg_FOLDER}/${header} ${folder}/${header})
  endforeach()
  foreach(header IN LISTS arg_PUBLIC_HEADERS)
    if(NOT EXISTS ${folder}/${header})
      message(FATAL_ERROR "${target}: no public header ${arg_FOLDER}/${header}")
    endif()
    mv620_forwarding_header(${roots}/public/${arg_FOLDER}/${header} ${folder}/${header})
  endforeach()
  file(MAKE_DIRECTORY ${roots}/own ${roots}/public)

  target_include_directories(${target} PRIVATE ${roots}/own INTERFACE ${roots}/public)
  if(arg_API)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/include)
  endif()
  target_link_libraries(${target} PUBLIC ${arg_DEPENDS})
  target_compile_definitions(${target} PRIVATE MV620_BUILDING_LIBRARY)
  mv620_warnings(${target})
endfunction()
