# Authenticode signing of the installer's DLLs and programs, of the installer and of its
# uninstaller, read by cpack when it packages. It is asked for through the environment, so that
# no key, password or certificate path reaches the build folder:
#   KESTREL_SIGN_CERT           a PKCS#12 file (.pfx) or, with KESTREL_SIGN_KEY, a PEM certificate
#   KESTREL_SIGN_KEY            the PEM private key of a PEM certificate
#   KESTREL_SIGN_PASSWORD_FILE  a file whose first line is the password of the key or the PKCS#12
#   KESTREL_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamping service (signatures outlive the certificate)
# Without KESTREL_SIGN_CERT nothing is signed. Any signing failure fails the package: an installer
# that was meant to be signed is never produced unsigned.
if("$ENV{KESTREL_SIGN_CERT}" STREQUAL "")
  return()
endif()
find_program(KESTREL_OSSLSIGNCODE osslsigncode)
if(NOT KESTREL_OSSLSIGNCODE)
  message(FATAL_ERROR "KESTREL_SIGN_CERT is set but osslsigncode is missing "
                      "(tools/setup-deps.sh windows)")
endif()
set(KESTREL_SIGN_FILE ${CMAKE_CURRENT_LIST_DIR}/sign-file.sh)
# The staged DLLs and programs, before makensis packs them.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/sign-staged.cmake)
# The installer and the uninstaller it writes, as makensis produces them.
set(CPACK_KESTREL_SIGNING
    "!finalize '\"${KESTREL_SIGN_FILE}\" \"%1\"' = 0\n!uninstfinalize '\"${KESTREL_SIGN_FILE}\" \"%1\"' = 0")
