# The exported functions, read from their one list (src/context/export_list.h):
#   MV620_EXPORTS        "ordinal name" pairs, one list entry each, in ordinal order
#   MV620_EXPORT_NAMES   the names alone
#   MV620_EXPORTED_NAMES_FILE  the pairs one a line, for the checks of the built libraries
# and the writers of the files that pin the exported names.
set(MV620_EXPORT_LIST ${PROJECT_SOURCE_DIR}/src/context/export_list.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${MV620_EXPORT_LIST})

file(STRINGS ${MV620_EXPORT_LIST} mv620_export_lines REGEX "^MV620_EXPORT\\(")
set(MV620_EXPORTS "")
set(MV620_EXPORT_NAMES "")
set(mv620_expected_ordinal 1)
foreach(line IN LISTS mv620_export_lines)
  if(NOT line MATCHES "^MV620_EXPORT\\(([0-9]+), ([A-Za-z0-9_]+), [A-Za-z]+, [0-9]+\\)$")
    message(FATAL_ERROR "export_list.h: cannot read '${line}'")
  endif()
  if(NOT CMAKE_MATCH_1 EQUAL mv620_expected_ordinal)
    message(FATAL_ERROR "export_list.h: ordinal ${CMAKE_MATCH_1} where ${mv620_expected_ordinal} is due")
  endif()
  list(APPEND MV620_EXPORTS "${CMAKE_MATCH_1} ${CMAKE_MATCH_2}")
  list(APPEND MV620_EXPORT_NAMES ${CMAKE_MATCH_2})
  math(EXPR mv620_expected_ordinal "${mv620_expected_ordinal} + 1")
endforeach()

set(MV620_EXPORTED_NAMES_FILE ${CMAKE_BINARY_DIR}/exported_names.txt)
list(JOIN MV620_EXPORTS "\n" mv620_pairs)
file(CONFIGURE OUTPUT ${MV620_EXPORTED_NAMES_FILE} @ONLY CONTENT
     "# Written from src/context/export_list.h: ordinal and name of every exported function.\n@mv620_pairs@\n")

# mv620_write_def(OUTPUT MODULE [LINE...]): a module definition file that exports every function
# of the list under its ordinal, then the extra lines.
function(mv620_write_def output module)
  set(text "; Written from src/context/export_list.h: the exported names under their ordinals.\n")
  string(APPEND text "LIBRARY ${module}\nEXPORTS\n")
  foreach(pair IN LISTS MV620_EXPORTS)
    string(REPLACE " " ";" fields "${pair}")
    list(GET fields 0 ordinal)
    list(GET fields 1 name)
    string(APPEND text "    ${name} @${ordinal}\n")
  endforeach()
  foreach(line IN LISTS ARGN)
    string(APPEND text "${line}\n")
  endforeach()
  file(CONFIGURE OUTPUT ${output} @ONLY CONTENT "${text}")
endfunction()

# mv620_write_version_script(OUTPUT [PATTERN...]): a version script that exports every function
# of the list, then the extra names or patterns, and keeps everything else local.
function(mv620_write_version_script output)
  set(text "/* Written from src/context/export_list.h: what the library exports. */\n{\n  global:\n")
  foreach(name IN LISTS MV620_EXPORT_NAMES ARGN)
    string(APPEND text "    ${name};\n")
  endforeach()
  string(APPEND text "  local:\n    *;\n};\n")
  file(CONFIGURE OUTPUT ${output} @ONLY CONTENT "${text}")
endfunction()

# The public header declares exactly the functions of the list.
set(mv620_header ${PROJECT_SOURCE_DIR}/include/MV620ACQm.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${mv620_header})
file(STRINGS ${mv620_header} mv620_declarations REGEX "MV620_API int MV620_CALL [A-Za-z0-9_]+\\(")
set(mv620_declared "")
foreach(line IN LISTS mv620_declarations)
  string(REGEX MATCH "MV620_CALL ([A-Za-z0-9_]+)\\(" ignored "${line}")
  list(APPEND mv620_declared ${CMAKE_MATCH_1})
endforeach()
set(mv620_listed ${MV620_EXPORT_NAMES})
list(SORT mv620_declared)
list(SORT mv620_listed)
if(NOT mv620_declared STREQUAL mv620_listed)
  message(FATAL_ERROR "include/MV620ACQm.h declares ${mv620_declared}\n"
                      "src/context/export_list.h lists ${mv620_listed}")
endif()
