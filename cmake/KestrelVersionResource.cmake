# Version resources for the Windows files, all from one template and the project version, so that
# the module, the network component, the programs and the installer never disagree on who made
# them and which release they belong to.
set(KESTREL_VENDOR "kestrel-probe team")
set(KESTREL_COPYRIGHT "Copyright (C) 2026 the kestrel-probe developers")

# The four numbers of the fixed version part; a missing part counts as 0.
set(KESTREL_RC_VERSION_NUMBERS "${PROJECT_VERSION_MAJOR}")
foreach(part MINOR PATCH TWEAK)
  if("${PROJECT_VERSION_${part}}" STREQUAL "")
    string(APPEND KESTREL_RC_VERSION_NUMBERS ",0")
  else()
    string(APPEND KESTREL_RC_VERSION_NUMBERS ",${PROJECT_VERSION_${part}}")
  endif()
endforeach()
string(REPLACE "," "." KESTREL_VERSION_FOUR_PARTS "${KESTREL_RC_VERSION_NUMBERS}")

# Gives a DLL or program its version resource; DESCRIPTION is what Explorer shows as its
# description.
function(kestrel_version_resource target description)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(KESTREL_RC_FILE_TYPE VFT_APP)
  else()
    set(KESTREL_RC_FILE_TYPE VFT_DLL)
  endif()
  set(KESTREL_RC_TARGET ${target})
  set(KESTREL_RC_DESCRIPTION "${description}")
  set(rc ${CMAKE_BINARY_DIR}/version-resources/${target}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc}.in @ONLY)
  # The file name comes from the target itself, which only generation knows.
  file(GENERATE OUTPUT ${rc} INPUT ${rc}.in)
  target_sources(${target} PRIVATE ${rc})
endfunction()
