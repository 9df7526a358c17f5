# Optimised Linux builds, the one the Debian package is made from among them, take Debian's
# hardening flags from dpkg-buildflags, as a package built by dpkg-buildpackage would: fortified
# libc calls, the strong stack protector, format-string checks, and relocations resolved and made
# read-only at start (bindnow, relro). Left out where they cannot work: without optimisation
# _FORTIFY_SOURCE does nothing but warn, and the sanitizers bring checks of their own. Debian's
# own optimisation and debug flags (-O2 -g) and path rewriting are not taken: the build type sets
# those.
option(KESTREL_DEBIAN_BUILDFLAGS "Compile and link with dpkg-buildflags' hardening flags" ON)
# Read by the package test: lintian's hardening notes are findings only where the flags were taken.
set(KESTREL_HARDENED 0)
find_program(KESTREL_DPKG_BUILDFLAGS dpkg-buildflags)
if(KESTREL_DEBIAN_BUILDFLAGS AND KESTREL_DPKG_BUILDFLAGS AND NOT WIN32
   AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$"
   AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  foreach(kind CPPFLAGS CFLAGS CXXFLAGS LDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env
              "DEB_BUILD_MAINT_OPTIONS=hardening=+all reproducible=-fixfilepath,-fixdebugpath"
              "DEB_${kind}_MAINT_STRIP=-g -O2"
              ${KESTREL_DPKG_BUILDFLAGS} --get ${kind}
      OUTPUT_VARIABLE KESTREL_DEB_${kind} OUTPUT_STRIP_TRAILING_WHITESPACE
      COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
  string(APPEND CMAKE_C_FLAGS " ${KESTREL_DEB_CPPFLAGS} ${KESTREL_DEB_CFLAGS}")
  string(APPEND CMAKE_CXX_FLAGS " ${KESTREL_DEB_CPPFLAGS} ${KESTREL_DEB_CXXFLAGS}")
  foreach(kind EXE SHARED MODULE)
    string(APPEND CMAKE_${kind}_LINKER_FLAGS " ${KESTREL_DEB_LDFLAGS}")
  endforeach()
  set(KESTREL_HARDENED 1)
  message(STATUS "Debian hardening flags: ${KESTREL_DEB_CPPFLAGS} ${KESTREL_DEB_CXXFLAGS} "
                 "${KESTREL_DEB_LDFLAGS}")
endif()
