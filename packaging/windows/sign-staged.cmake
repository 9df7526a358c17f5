# Signs every DLL and program that cpack staged for the installer (CPACK_PRE_BUILD_SCRIPTS).
file(GLOB_RECURSE binaries "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.dll"
     "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.exe")
if(NOT binaries)
  message(FATAL_ERROR "sign: nothing to sign in ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
foreach(binary ${binaries})
  execute_process(COMMAND ${KESTREL_SIGN_FILE} ${binary} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "sign: ${binary} could not be signed")
  endif()
endforeach()
