# The release package, firmware-loader-<version>-win32.zip, and its Windows
# Installer form, firmware-loader-<version>-win32.msi (PackageMsi.cmake: the
# same files, the demo a feature off by default), made by
# `cmake --build --preset windows --target package`:
#   loader.exe, fwimage.exe, README.txt  the programs and the operator's guide
#   demo/                                a second loader.exe and fwimage.exe with
#                                        the simulated DFU.dll, its note and a
#                                        small image
# The simulated DFU.dll goes into demo/ only: beside the main loader.exe it
# would report finished downloads that reached no instrument.

# The guides are UTF-8 with a byte order mark and CR LF line ends, so that
# every Notepad reads them.
set(FWL_PACKAGE_FILES ${CMAKE_SOURCE_DIR}/packaging)
configure_file(${FWL_PACKAGE_FILES}/README.txt ${CMAKE_BINARY_DIR}/package-files/README.txt
               @ONLY NEWLINE_STYLE CRLF)
configure_file(${FWL_PACKAGE_FILES}/demo/README-DEMO.txt
               ${CMAKE_BINARY_DIR}/package-files/demo/README-DEMO.txt @ONLY NEWLINE_STYLE CRLF)

install(TARGETS loader fwimage RUNTIME DESTINATION .)
install(FILES ${CMAKE_BINARY_DIR}/package-files/README.txt DESTINATION .)
install(TARGETS loader fwimage DFU RUNTIME DESTINATION demo LIBRARY DESTINATION demo ARCHIVE EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_BINARY_DIR}/package-files/demo/README-DEMO.txt DESTINATION demo)
install(FILES ${CMAKE_SOURCE_DIR}/tests/data/hex/dense_40k.hex DESTINATION demo RENAME example.hex)

# Every program of the package is signed when a certificate is given (see
# SignPrograms.cmake); a program added above goes on this list.
set(FWL_SIGNED loader.exe fwimage.exe demo/loader.exe demo/fwimage.exe demo/DFU.dll)
install(CODE "set(FWL_SIGNED \"${FWL_SIGNED}\")\nset(FWL_SIGN_WORK \"${CMAKE_BINARY_DIR}\")")
install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/SignPrograms.cmake)

set(CPACK_GENERATOR ZIP)
# The MSI is made from the zip's staged files, the very programs signed for it.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/PackageMsi.cmake)
set(CPACK_FWL_SOURCE ${CMAKE_SOURCE_DIR})
set(CPACK_PACKAGE_NAME firmware-loader)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME firmware-loader-${PROJECT_VERSION}-win32)
# Unpacks into a folder of its own name.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
include(CPack)

# The package's exact file list, the version in its name and programs, the
# MSI's files, version and signature, and a guide that names everything
# fwimage --help lists.
if(FWL_TESTS)
  add_test(NAME package.contents
    COMMAND ${CMAKE_COMMAND} -DCPACK=${CMAKE_CPACK_COMMAND} -DCONFIG=${CMAKE_BINARY_DIR}/CPackConfig.cmake
            -DWORK=${CMAKE_BINARY_DIR}/package-test -DVERSION=${PROJECT_VERSION} -DWINDRES=${CMAKE_RC_COMPILER}
            -DFWIMAGE=$<TARGET_FILE:fwimage> "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
            -P ${CMAKE_CURRENT_LIST_DIR}/CheckPackage.cmake)
  # fwimage --help, which the guide is checked against, runs under Wine; the
  # MSI's cycle (e2e.msi) installs the package made here.
  set_tests_properties(package.contents PROPERTIES RESOURCE_LOCK wineprefix TIMEOUT 300 FIXTURES_SETUP package)
endif()
