# Makes the release package with CPack into WORK and checks it: its name
# carries VERSION, it holds exactly the expected files (the simulated DFU.dll
# only in demo/), the MSI beside it holds the same files byte for byte under
# "Program Files/Firmware Loader", carries VERSION and its Russian texts and
# is signed, both programs carry VERSION in their version resource and
# a manifest with asInvoker (no file virtualisation) and longPathAware, and
# every program is signed: the package is made with a throwaway self-signed
# certificate, made here, and each signature verified against it; the guide
# names what fwimage --help lists, and its examples on the demo run as printed.
#   cmake -DCPACK=... -DCONFIG=.../CPackConfig.cmake -DWORK=dir -DVERSION=x.y.z
#         -DWINDRES=... -P CheckPackage.cmake
set(top firmware-loader-${VERSION}-win32)
set(expected
  ${top}/README.txt
  ${top}/demo/DFU.dll
  ${top}/demo/README-DEMO.txt
  ${top}/demo/example.hex
  ${top}/demo/fwimage.exe
  ${top}/demo/loader.exe
  ${top}/fwimage.exe
  ${top}/loader.exe)

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
set(pass throwaway)
execute_process(COMMAND openssl req -x509 -newkey rsa:2048 -days 2 -subj "/CN=Throwaway package test"
                        -addext extendedKeyUsage=codeSigning -passout pass:${pass}
                        -keyout ${WORK}/sign.key -out ${WORK}/sign.crt
                OUTPUT_QUIET ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=FWL_SIGN_TIMESTAMP_URL FWL_SIGN_CERT=${WORK}/sign.crt
                        FWL_SIGN_KEY=${WORK}/sign.key FWL_SIGN_PASS=${pass}
                        ${CPACK} --config ${CONFIG} -B ${WORK}
                RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cpack failed:\n${log}")
endif()
set(zip ${WORK}/${top}.zip)
if(NOT EXISTS ${zip})
  file(GLOB made ${WORK}/*.zip)
  message(FATAL_ERROR "no ${top}.zip; cpack made: ${made}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${zip} RESULT_VARIABLE rc OUTPUT_VARIABLE listing)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot list ${zip}")
endif()
string(REPLACE "\n" ";" listing "${listing}")
set(files)
foreach(entry IN LISTS listing)
  if(entry AND NOT entry MATCHES "/$")  # folders are not files
    list(APPEND files ${entry})
  endif()
endforeach()
list(SORT files)
list(SORT expected)
if(NOT files STREQUAL expected)
  string(REPLACE ";" "\n  " files "${files}")
  string(REPLACE ";" "\n  " expected "${expected}")
  message(FATAL_ERROR "the package holds\n  ${files}\nbut should hold\n  ${expected}")
endif()

# The version resources, as the resource compiler reads them back.
set(unpacked ${WORK}/unpacked)
file(MAKE_DIRECTORY ${unpacked})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zip} WORKING_DIRECTORY ${unpacked} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot unpack ${zip}")
endif()
string(REPLACE "." ", " numbers "${VERSION}")
foreach(program loader.exe fwimage.exe demo/loader.exe demo/fwimage.exe)
  execute_process(COMMAND ${WINDRES} -i ${unpacked}/${top}/${program} -O rc
                  RESULT_VARIABLE rc OUTPUT_VARIABLE resources ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cannot read the resources of ${program}: ${err}")
  endif()
  foreach(wanted "FILEVERSION ${numbers}, 0" "PRODUCTVERSION ${numbers}, 0"
                 "VALUE \"FileVersion\", \"${VERSION}\"" "VALUE \"ProductVersion\", \"${VERSION}\"")
    string(FIND "${resources}" "${wanted}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${program}: no '${wanted}' in its version resource:\n${resources}")
    endif()
  endforeach()
  # The manifest as windres writes it back, quotes doubled.
  string(REGEX MATCH "RT_MANIFEST.*</assembly>" manifest "${resources}")
  foreach(wanted [[<requestedExecutionLevel level=""asInvoker""]]
                 [[<longPathAware xmlns=""http://schemas.microsoft.com/SMI/2016/WindowsSettings"">true</longPathAware>]])
    string(FIND "${manifest}" "${wanted}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${program}: no '${wanted}' in its manifest:\n${manifest}")
    endif()
  endforeach()
endforeach()
# Every program in the package, the list in Package.cmake or not.
file(GLOB_RECURSE programs RELATIVE ${unpacked}/${top} ${unpacked}/${top}/*.exe ${unpacked}/${top}/*.dll)
foreach(program IN LISTS programs)
  execute_process(COMMAND osslsigncode verify -CAfile ${WORK}/sign.crt -in ${unpacked}/${top}/${program}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE log)
  if(NOT rc EQUAL 0 OR NOT log MATCHES "Signature verification: ok")
    message(FATAL_ERROR "${program} is not signed by the package's certificate:\n${log}")
  endif()
endforeach()

# The MSI: signed, the zip's files byte for byte, its version, and the line
# refusing an older package over a newer (which Wine's installer does not log).
set(msi ${WORK}/${top}.msi)
execute_process(COMMAND osslsigncode verify -CAfile ${WORK}/sign.crt -in ${msi} OUTPUT_VARIABLE log ERROR_VARIABLE log)
execute_process(COMMAND msiextract -C ${WORK}/msi ${msi} OUTPUT_QUIET)
execute_process(COMMAND diff -r "${WORK}/msi/Program Files/Firmware Loader" ${unpacked}/${top}
                RESULT_VARIABLE differ OUTPUT_VARIABLE difference ERROR_VARIABLE difference)
execute_process(COMMAND msiinfo export ${msi} Property OUTPUT_VARIABLE rows)
execute_process(COMMAND msiinfo export ${msi} LaunchCondition OUTPUT_VARIABLE condition)
if(NOT log MATCHES "Signature verification: ok" OR NOT differ EQUAL 0 OR NOT rows MATCHES "ProductVersion\t${VERSION}[\r\n]"
   OR NOT condition MATCHES "\tУже установлена более новая версия программы «Загрузчик для тестера»\\.")
  message(FATAL_ERROR "${top}.msi: unsigned, not the zip's files or not ${VERSION}:\n${log}\n${difference}\n${rows}${condition}")
endif()

# The simulated library says what it is: "ИМИТАЦИЯ" at the start of its
# description, and the mark the programs put in their records, as the
# resource compiler writes them back.
execute_process(COMMAND ${WINDRES} -i ${unpacked}/${top}/demo/DFU.dll -O rc OUTPUT_VARIABLE resources)
foreach(simulated [[VALUE "FileDescription", L"\x0418\x041c\x0418\x0422\x0410\x0426\x0418\x042f ]]
                  [[VALUE "Simulated", "1"]])
  string(FIND "${resources}" "${simulated}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "demo/DFU.dll does not describe itself as simulated:\n${resources}")
  endif()
endforeach()

# The guide against the help: the usage block gives the commands and their
# options, the "Exit status" table the codes; the guide's own table starts
# each code's line with two blanks.
execute_process(COMMAND ${EMULATOR} ${FWIMAGE} --help RESULT_VARIABLE rc OUTPUT_VARIABLE help ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "fwimage --help failed (${rc}): ${err}")
endif()
string(REPLACE "\r" "" help "${help}")
string(REGEX MATCH "usage:[^\n]*\n(       [^\n]*\n)*" usage "${help}")
string(REGEX MATCHALL "fwimage [a-z]+" commands "${usage}")
string(REGEX MATCHALL "--[a-z0-9-]+" options "${usage}")
string(REGEX MATCH "\nExit status\n.*" status "${help}")
string(REGEX MATCHALL "\n  [0-9]+ " codes "${status}")
list(REMOVE_DUPLICATES commands)
list(REMOVE_DUPLICATES options)
if(NOT commands OR NOT options OR NOT codes)
  message(FATAL_ERROR "no commands, options or exit codes read from fwimage --help:\n${help}")
endif()
file(READ ${unpacked}/${top}/README.txt guide)
string(REPLACE "\r" "" guide "${guide}")
set(unnamed)
foreach(name IN LISTS commands options)
  string(REGEX MATCH "${name}([^a-z0-9-]|$)" found "${guide}")
  if(NOT found)
    list(APPEND unnamed "${name}")
  endif()
endforeach()
foreach(code IN LISTS codes)
  string(FIND "${guide}" "${code}" at)
  if(at EQUAL -1)
    string(STRIP "${code}" code)
    list(APPEND unnamed "exit code ${code}")
  endif()
endforeach()
if(unnamed)
  string(REPLACE ";" "\n  " unnamed "${unnamed}")
  message(FATAL_ERROR "README.txt does not name what fwimage --help lists:\n  ${unnamed}")
endif()
# The guide's examples (its lines of fwimage commands under a command's
# description) run as printed, in the guide's order, from the package's top
# folder through cmd as an operator types them: each must end with 0. A batch
# file's lines (with %1) are not run on their own.
string(REGEX MATCHALL "\n        (demo\\\\)?fwimage(\\.exe)? [^\n]*" examples "${guide}")
list(FILTER examples EXCLUDE REGEX "%")
list(LENGTH examples exampleCount)
if(exampleCount LESS 12)
  message(FATAL_ERROR "README.txt has ${exampleCount} examples to run; at least 12 were expected")
endif()
set(broken)
foreach(example IN LISTS examples)
  string(STRIP "${example}" example)
  # As words, which Wine quotes again where they hold blanks, as cmd read them.
  separate_arguments(words WINDOWS_COMMAND "${example}")
  execute_process(COMMAND ${EMULATOR} cmd /c ${words} WORKING_DIRECTORY ${unpacked}/${top}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
  if(NOT rc EQUAL 0)
    list(APPEND broken "${example}: exit ${rc}\n${out}${err}")
  endif()
endforeach()
if(broken)
  string(REPLACE ";" "\n  " broken "${broken}")
  message(FATAL_ERROR "the guide's examples fail as printed:\n  ${broken}")
endif()

list(LENGTH codes codeCount)
message(STATUS "${top}.zip and .msi: ${VERSION}, ${files}, signed: ${programs}; the guide names ${commands}, ${options} and ${codeCount} exit codes; its ${exampleCount} examples run")
