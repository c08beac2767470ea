# Warnings are errors in every target of the project.
function(mv620_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast
    -Wnon-virtual-dtor -Woverloaded-virtual -Wcast-align -Wnull-dereference -Wdouble-promotion
    -Werror)
endfunction()

function(mv620_c_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wconversion -Werror)
endfunction()

# An internal subsystem: object library, sources of src/ reachable as "folder/file.h".
function(mv620_subsystem target)
  add_library(${target} OBJECT ${ARGN})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
  target_compile_definitions(${target} PUBLIC MV620_BUILDING_LIBRARY)
  mv620_warnings(${target})
endfunction()
