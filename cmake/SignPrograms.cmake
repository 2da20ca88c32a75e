# Signs the installed programs, run as the last install step (so also when
# CPack stages the package): FWL_SIGNED names them under the install prefix,
# or under FWL_SIGN_ROOT where it is set (the MSI, PackageMsi.cmake).
# The environment gives the certificate:
#   FWL_SIGN_CERT           the certificate (chain), PEM or DER
#   FWL_SIGN_KEY            its private key, PEM or DER
#   FWL_SIGN_PASS           the key's password, when it has one
#   FWL_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server; without it the
#                           signatures hold only while the certificate does
# Without a certificate and key the programs stay unsigned.
set(cert "$ENV{FWL_SIGN_CERT}")
set(key "$ENV{FWL_SIGN_KEY}")
if(NOT cert AND NOT key)
  message(WARNING "Programs not signed: no FWL_SIGN_CERT and FWL_SIGN_KEY")
  return()
endif()
if(NOT cert OR NOT key)
  message(FATAL_ERROR "Signing needs both FWL_SIGN_CERT and FWL_SIGN_KEY")
endif()
find_program(OSSLSIGNCODE osslsigncode)
if(NOT OSSLSIGNCODE)
  message(FATAL_ERROR "Signing needs osslsigncode (scripts/deps.sh installs it)")
endif()

set(options -certs "${cert}" -key "${key}" -h sha256)
# The password goes through a file only its owner reads, off the command line.
set(passFile "${FWL_SIGN_WORK}/sign-pass")
if(DEFINED ENV{FWL_SIGN_PASS})
  file(WRITE "${passFile}" "")
  file(CHMOD "${passFile}" PERMISSIONS OWNER_READ OWNER_WRITE)
  file(WRITE "${passFile}" "$ENV{FWL_SIGN_PASS}")
  list(APPEND options -readpass "${passFile}")
endif()
if(NOT "$ENV{FWL_SIGN_TIMESTAMP_URL}" STREQUAL "")
  list(APPEND options -ts "$ENV{FWL_SIGN_TIMESTAMP_URL}")
endif()

set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
if(FWL_SIGN_ROOT)
  set(root "${FWL_SIGN_ROOT}")
endif()
foreach(program IN LISTS FWL_SIGNED)
  set(file "${root}/${program}")
  execute_process(COMMAND "${OSSLSIGNCODE}" sign ${options} -in "${file}" -out "${file}.signed"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE log)
  if(NOT rc EQUAL 0)
    file(REMOVE "${passFile}" "${file}.signed")
    message(FATAL_ERROR "Cannot sign ${program}:\n${log}")
  endif()
  file(RENAME "${file}.signed" "${file}")
  message(STATUS "Signed: ${program}")
endforeach()
file(REMOVE "${passFile}")
