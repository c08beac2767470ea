# The project's warnings. They are errors only with MV620_WERROR (CI turns it on): users and
# packagers build with their own flags and compiler versions, where a new warning must not stop
# the build.
option(MV620_WERROR "Treat the project's warnings as errors" OFF)

function(mv620_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast
    -Wnon-virtual-dtor -Woverloaded-virtual -Wcast-align -Wnull-dereference -Wdouble-promotion)
  # Clang proves the locking of the fields its thread-safety attributes mark
  # (src/platform/thread_safety.h); other compilers ignore the attributes.
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE -Wthread-safety)
  endif()
  if(MV620_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

function(mv620_c_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wconversion)
  if(MV620_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
