# Builds the tree under another release number, so that the installer checks have an earlier
# release to upgrade from:
#   cmake --preset windows -B build/windows-older -DKESTREL_RELEASE_VERSION=0.0.1 \
#     -DCMAKE_PROJECT_kestrel-probe_INCLUDE=tests/packaging/as-release.cmake
# The release also ships a file that the current one does not, which an upgrade must remove.
if(NOT KESTREL_RELEASE_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "KESTREL_RELEASE_VERSION must be MAJOR.MINOR.PATCH, not '${KESTREL_RELEASE_VERSION}'")
endif()
foreach(prefix PROJECT CMAKE_PROJECT ${PROJECT_NAME})
  set(${prefix}_VERSION ${KESTREL_RELEASE_VERSION})
  set(${prefix}_VERSION_MAJOR ${CMAKE_MATCH_1})
  set(${prefix}_VERSION_MINOR ${CMAKE_MATCH_2})
  set(${prefix}_VERSION_PATCH ${CMAKE_MATCH_3})
endforeach()

file(WRITE ${CMAKE_BINARY_DIR}/retired.txt "Shipped by ${PROJECT_VERSION} only.\n")
install(FILES ${CMAKE_BINARY_DIR}/retired.txt DESTINATION .)
