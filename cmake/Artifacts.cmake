# Link settings of the two shared libraries: exactly the exported names, no other dependencies.
# The names come from their one list (cmake/Exports.cmake).
set(MV620_CONTEXT_DIR ${PROJECT_SOURCE_DIR}/src/context)

if(WIN32)
  enable_language(RC)
  # The simulating DLL exports the 25 names at the same ordinals, then every MV620Sim_ function
  # that its public header declares, in the header's order.
  set(sim_header ${PROJECT_SOURCE_DIR}/include/MV620ACQm_sim.h)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${sim_header})
  file(STRINGS ${sim_header} sim_lines REGEX "MV620Sim_[A-Za-z0-9_]+ *\\(")
  list(LENGTH MV620_EXPORTS ordinal)
  set(sim_exports "")
  foreach(line IN LISTS sim_lines)
    math(EXPR ordinal "${ordinal} + 1")
    string(REGEX MATCH "MV620Sim_[A-Za-z0-9_]+" name "${line}")
    list(APPEND sim_exports "    ${name} @${ordinal}")
  endforeach()
  mv620_write_def(${CMAKE_CURRENT_BINARY_DIR}/MV620ACQm.def MV620ACQm.dll)
  mv620_write_def(${CMAKE_CURRENT_BINARY_DIR}/MV620ACQm-sim.def MV620ACQm-sim.dll ${sim_exports})

  string(REPLACE "." "," MV620_RC_VERSION "${PROJECT_VERSION}")
  foreach(artifact MV620ACQm MV620ACQm-sim)
    if(artifact STREQUAL "MV620ACQm")
      set(MV620_RC_DESCRIPTION "MV620 data-acquisition instrument driver library")
    else()
      set(MV620_RC_DESCRIPTION "MV620 driver library over the simulated instrument")
    endif()
    set(MV620_RC_NAME ${artifact})
    configure_file(${MV620_CONTEXT_DIR}/version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${artifact}.rc @ONLY)
    target_sources(${artifact} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${artifact}.rc
                                       ${CMAKE_CURRENT_BINARY_DIR}/${artifact}.def)
    set_target_properties(${artifact} PROPERTIES PREFIX "")
    # -static: the DLL imports only system DLLs (no libstdc++, libgcc or libwinpthread DLL).
    # --disable-stdcall-fixup: a name of the .def never silently binds to a decorated stdcall one.
    target_link_options(${artifact} PRIVATE -static -static-libgcc -static-libstdc++
                                            -Wl,--disable-stdcall-fixup)
  endforeach()
else()
  mv620_write_version_script(${CMAKE_CURRENT_BINARY_DIR}/MV620ACQm.map)
  mv620_write_version_script(${CMAKE_CURRENT_BINARY_DIR}/MV620ACQm-sim.map "MV620Sim_*")
  foreach(artifact MV620ACQm MV620ACQm-sim)
    set(map ${CMAKE_CURRENT_BINARY_DIR}/${artifact}.map)
    target_link_options(${artifact} PRIVATE -Wl,--version-script=${map} -Wl,--no-undefined)
    set_target_properties(${artifact} PROPERTIES LINK_DEPENDS ${map})
  endforeach()
endif()
