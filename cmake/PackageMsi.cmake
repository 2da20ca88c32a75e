# Makes the Windows Installer package from a staged package (the zip's
# contents): wixl builds it from packaging/loader.wxs, msibuild gives its
# tables their Russian texts (packaging/loader-msi.sql), and it is signed as
# the programs are (SignPrograms.cmake) when a certificate is given.
#
# CPack runs it once the zip is made, with the CPACK_* values (see
# Package.cmake), and it puts the MSI and its SHA-256 beside the zip; by
# hand, or from a test:
#   cmake -DSTAGE=dir -DVERSION=x.y.z -DSOURCE=repo -DOUT=file.msi -P PackageMsi.cmake
if(CPACK_PACKAGE_FILES)
  set(STAGE "${CPACK_TEMPORARY_DIRECTORY}")
  set(VERSION "${CPACK_PACKAGE_VERSION}")
  set(SOURCE "${CPACK_FWL_SOURCE}")
  set(OUT "${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.msi")
endif()
foreach(name STAGE VERSION SOURCE OUT)
  if(NOT ${name})
    message(FATAL_ERROR "PackageMsi.cmake needs ${name}")
  endif()
endforeach()
if(NOT FWL_SIGN_WORK)
  get_filename_component(FWL_SIGN_WORK "${OUT}" DIRECTORY)
endif()

foreach(tool wixl msibuild)
  find_program(FWL_${tool} ${tool})
  if(NOT FWL_${tool})
    message(FATAL_ERROR "The MSI needs ${tool} (scripts/deps.sh installs wixl and msitools)")
  endif()
endforeach()

# The upgrade code, written once in the source; the product code follows
# from it and the version, so that a version is always the same product.
set(wxs "${SOURCE}/packaging/loader.wxs")
file(READ "${wxs}" text)
string(REGEX MATCH "UpgradeCode=\"([0-9A-F-]+)\"" found "${text}")
set(UPGRADE_CODE "${CMAKE_MATCH_1}")
string(UUID productCode NAMESPACE "${UPGRADE_CODE}" NAME "${VERSION}" TYPE SHA1 UPPER)

# This wixl takes sources only by relative paths.
file(RELATIVE_PATH icon "${STAGE}" "${SOURCE}/resources/loader.ico")
file(REMOVE "${OUT}")
execute_process(COMMAND "${FWL_wixl}" -D "Version=${VERSION}" -D "ProductCode=${productCode}" -D Stage=.
                        -D "Icon=${icon}" -o "${OUT}" "${wxs}"
                WORKING_DIRECTORY "${STAGE}" RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT rc EQUAL 0 OR NOT EXISTS "${OUT}")
  message(FATAL_ERROR "wixl failed (${rc}):\n${log}")
endif()

# The code page first, so that the texts that follow are kept.
set(codepage "${FWL_SIGN_WORK}/_ForceCodepage.idt")
file(WRITE "${codepage}" "\r\n\r\n1251\t_ForceCodepage\r\n")
execute_process(COMMAND "${FWL_msibuild}" "${OUT}" -i "${codepage}" RESULT_VARIABLE rc
                OUTPUT_VARIABLE log ERROR_VARIABLE log)
file(REMOVE "${codepage}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "msibuild could not set the code page:\n${log}")
endif()
file(STRINGS "${SOURCE}/packaging/loader-msi.sql" statements ENCODING UTF-8)
foreach(statement IN LISTS statements)
  if(statement STREQUAL "" OR statement MATCHES "^--")
    continue()
  endif()
  string(CONFIGURE "${statement}" statement @ONLY)
  execute_process(COMMAND "${FWL_msibuild}" "${OUT}" -q "${statement}" RESULT_VARIABLE rc
                  OUTPUT_VARIABLE log ERROR_VARIABLE log)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "msibuild failed on\n  ${statement}\n${log}")
  endif()
endforeach()

# The summary (the file's properties in Explorer) in Russian too, its package
# code the one wixl gave.
execute_process(COMMAND msiinfo suminfo "${OUT}" OUTPUT_VARIABLE summary)
string(REGEX MATCH "Revision number \\(UUID\\): ({[0-9A-F-]+})" found "${summary}")
execute_process(COMMAND "${FWL_msibuild}" "${OUT}" -s "Загрузчик для тестера" "Разработчики загрузчика для тестера"
                        "Intel;1049" "${CMAKE_MATCH_1}" RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT rc EQUAL 0 OR NOT CMAKE_MATCH_1)
  message(FATAL_ERROR "msibuild could not set the summary (${summary}):\n${log}")
endif()

get_filename_component(root "${OUT}" DIRECTORY)
get_filename_component(name "${OUT}" NAME)
set(FWL_SIGN_ROOT "${root}")
set(FWL_SIGNED "${name}")
include("${CMAKE_CURRENT_LIST_DIR}/SignPrograms.cmake")

if(CPACK_PACKAGE_FILES)
  file(SHA256 "${OUT}" sum)
  file(WRITE "${OUT}.sha256" "${sum}  ${name}\n")
endif()
message(STATUS "MSI ${VERSION} (product ${productCode}): ${OUT}")
