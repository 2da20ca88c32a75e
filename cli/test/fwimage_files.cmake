# fwimage as a process, around its files: output that cannot be written, a
# full disk under an existing .lock, and (32-bit Windows) images of 1 GiB,
# which need the large address space, and of 2 GiB, which fail.
#   cmake -DFWIMAGE=<exe> -DWORK=<folder> [-DEMULATOR=<runner>] [-DWINDOWS=ON] -P fwimage_files.cmake
set(failures)
# Notes a failure when actual does not begin with expected (a display server
# started for a Wine program may add its own lines after the program's).
function(expect_start actual expected what)
  string(LENGTH "${expected}" length)
  string(SUBSTRING "${actual}" 0 ${length} start)
  if(NOT start STREQUAL expected OR (actual STREQUAL "" AND NOT expected STREQUAL ""))
    set(failures ${failures} "${what}: [${actual}], expected [${expected}]" PARENT_SCOPE)
  endif()
endfunction()

function(expect_equal actual expected what)
  if(NOT actual STREQUAL expected)
    set(failures ${failures} "${what}: [${actual}], expected [${expected}]" PARENT_SCOPE)
  endif()
endfunction()

# Windows programs under Wine see this tree on drive Z:.
if(WINDOWS)
  set(z "Z:")
else()
  set(z "")
endif()

# Runs fwimage with ARGS; sets rc, out and err (read back from files: a pipe
# on a Wine program's output may never end).
function(fwimage)
  cmake_parse_arguments(F "" "OUT" "ARGS" ${ARGN})
  if(NOT F_OUT)
    set(F_OUT ${WORK}/out.txt)
  endif()
  execute_process(COMMAND ${EMULATOR} ${FWIMAGE} ${F_ARGS}
                  OUTPUT_FILE ${F_OUT} ERROR_FILE ${WORK}/err.txt RESULT_VARIABLE result TIMEOUT 120)
  set(rc ${result} PARENT_SCOPE)
  set(out "")
  if(NOT F_OUT STREQUAL "/dev/full")
    file(READ ${F_OUT} out)
  endif()
  file(READ ${WORK}/err.txt err)
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

# A small disk left mounted by a run that was cut short goes first.
if(EXISTS ${WORK}/small)
  execute_process(COMMAND umount ${WORK}/small OUTPUT_QUIET ERROR_QUIET)
endif()
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/one.hex ":0100000011EE\n")

# Standard output on a full disk.
fwimage(ARGS info ${z}${WORK}/one.hex OUT /dev/full)
expect_equal("${rc}" 1 "info >/dev/full: exit code")
expect_start("${err}" "Cannot write to the standard output.\n" "info >/dev/full: error output")

# A full disk under an existing .lock (a small tmpfs, where it may be mounted).
file(MAKE_DIRECTORY ${WORK}/small)
execute_process(COMMAND mount -t tmpfs -o size=1m tmpfs ${WORK}/small RESULT_VARIABLE mounted
                OUTPUT_QUIET ERROR_QUIET)
if(mounted EQUAL 0)
  execute_process(COMMAND head -c 700000 /dev/urandom OUTPUT_FILE ${WORK}/small/big.bin)
  file(WRITE ${WORK}/small/big.bin.lock "OLD\n")
  fwimage(ARGS lock ${z}${WORK}/small/big.bin)
  file(READ ${WORK}/small/big.bin.lock kept)
  file(GLOB left RELATIVE ${WORK}/small ${WORK}/small/*)
  execute_process(COMMAND umount ${WORK}/small)
  expect_equal("${rc}" 1 "lock on a full disk: exit code")
  string(REGEX MATCH "^Cannot create file \"[^\"]*big.bin.lock\"" named "${err}")
  set(path "${z}${WORK}/small/big.bin.lock")
  if(WINDOWS)
    string(REPLACE "/" "\\" path "${path}")
  endif()
  expect_equal("${named}" "Cannot create file \"${path}\"" "lock on a full disk: error output")
  expect_equal("${kept}" "OLD\n" "lock on a full disk: the old .lock")
  expect_equal("${left}" "big.bin;big.bin.lock" "lock on a full disk: files left")
else()
  message(STATUS "no tmpfs could be mounted: the full disk is left to the unit tests")
endif()

if(WINDOWS)
  # 0x40000000 bytes: 0x11, then 0xFF, then 0x22; the sum is 0xFE35.
  file(WRITE ${WORK}/gib.hex ":0100000011EE\n:020000043FFFBC\n:01FFFF0022DF\n")
  # 0x80000000 bytes: beyond what the in-memory stream holds.
  file(WRITE ${WORK}/two-gib.hex ":0100000011EE\n:020000047FFF7C\n:01FFFF0022DF\n")
  fwimage(ARGS info ${z}${WORK}/gib.hex ${z}${WORK}/two-gib.hex ${z}${WORK}/one.hex)
  expect_equal("${rc}" 1 "info of 1 and 2 GiB images: exit code")
  expect_start("${out}" "Имя: gib.hex\nРазмер: 40000000\nКонтрольная сумма: FE35\nИмя: one.hex\nРазмер: 0001\nКонтрольная сумма: 0011\n"
               "info of 1 and 2 GiB images: output")
  expect_start("${err}" "Out of memory.\n" "info of 1 and 2 GiB images: error output")
endif()

file(REMOVE_RECURSE ${WORK})
if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "fwimage around its files:\n  ${text}")
endif()
