# fwimage as a process, around its files: output that cannot be written, a
# full disk under an existing .lock, a read-only target, paths of about 300
# and 1000 characters, targets an unprivileged user may not replace, a
# write ended by a signal, and (32-bit Windows) images of 1 GiB, which need
# the large address space, and of 2 GiB, which fail.
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

# The path as the program names it in a failure.
function(shown_path path out)
  set(shown "${z}${path}")
  if(WINDOWS)
    string(REPLACE "/" "\\" shown "${shown}")
  endif()
  set(${out} "${shown}" PARENT_SCOPE)
endfunction()

# A read-only target is refused by name and kept, also for root.
file(WRITE ${WORK}/ro.bin "OLD\n")
file(CHMOD ${WORK}/ro.bin PERMISSIONS OWNER_READ GROUP_READ WORLD_READ)
fwimage(ARGS convert ${z}${WORK}/one.hex ${z}${WORK}/ro.bin)
file(READ ${WORK}/ro.bin kept)
shown_path(${WORK}/ro.bin shown)
expect_equal("${rc}" 1 "convert onto a read-only file: exit code")
expect_start("${err}" "Cannot create file \"${shown}\". The file is read-only.\n"
             "convert onto a read-only file: error output")
expect_equal("${kept}" "OLD\n" "convert onto a read-only file: the old file")
file(CHMOD ${WORK}/ro.bin PERMISSIONS OWNER_READ OWNER_WRITE)

# Paths of about 300 and 1000 characters (folders of at most 240), through
# convert and lock; Windows takes them past 260 only in their long form.
string(REPEAT "d" 240 folder)
foreach(depth 1 4)
  set(long ${WORK}/long)
  foreach(i RANGE 1 ${depth})
    set(long ${long}/${i}${folder})
  endforeach()
  file(MAKE_DIRECTORY ${long})
  set(long ${long}/image.bin)
  string(LENGTH "${z}${long}" length)
  fwimage(ARGS convert ${z}${WORK}/one.hex ${z}${long})
  set(converted "${rc}")
  fwimage(ARGS lock --key "00 00 00 00 00 00 00 01" ${z}${long})
  file(READ ${long}.lock locked HEX)
  expect_equal("${converted}" 0 "convert to a path of ${length} characters: exit code")
  expect_equal("${rc} ${err}" "0 " "lock at a path of ${length} characters: exit code and error output")
  expect_equal("${locked}" "91" "lock at a path of ${length} characters: the .lock file")
endforeach()
file(REMOVE_RECURSE ${WORK}/long)

# As an unprivileged user (root writes anywhere): a writable file in a folder
# that takes no new file is written in place; a file of another owner that
# the user may not write stays, though the folder would take a new one.
if(NOT WINDOWS)
  execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
  find_program(SETPRIV setpriv)
  set(as_user)
  if(NOT uid STREQUAL "0")
    set(as_user env)
  elseif(SETPRIV)
    execute_process(COMMAND id -u nobody RESULT_VARIABLE no_nobody OUTPUT_QUIET ERROR_QUIET)
    if(no_nobody EQUAL 0)
      set(as_user ${SETPRIV} --reuid=nobody --regid=nogroup --clear-groups)
    endif()
  endif()
  if(as_user)
    file(MAKE_DIRECTORY ${WORK}/user/closed)
    file(WRITE ${WORK}/user/closed/open.bin "OLD\n")
    file(WRITE ${WORK}/user/theirs.bin "OLD\n")
    file(CHMOD ${WORK}/user DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_WRITE
               GROUP_EXECUTE WORLD_READ WORLD_WRITE WORLD_EXECUTE)
    file(CHMOD ${WORK}/user/closed/open.bin PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ GROUP_WRITE WORLD_READ
               WORLD_WRITE)
    file(CHMOD ${WORK}/user/closed DIRECTORY_PERMISSIONS OWNER_READ OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
               WORLD_READ WORLD_EXECUTE)
    set(EMULATOR ${as_user})
    fwimage(ARGS convert ${WORK}/one.hex ${WORK}/user/closed/open.bin OUT ${WORK}/user/out.txt)
    file(READ ${WORK}/user/closed/open.bin written HEX)
    expect_equal("${rc} ${err} ${written}" "0  11" "convert into a closed folder: exit code, errors, the file")
    if(uid STREQUAL "0")
      file(CHMOD ${WORK}/user/theirs.bin PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
      fwimage(ARGS convert ${WORK}/one.hex ${WORK}/user/theirs.bin OUT ${WORK}/user/out.txt)
      file(READ ${WORK}/user/theirs.bin kept)
      expect_equal("${rc}" 1 "convert onto another's file: exit code")
      expect_start("${err}" "Cannot create file \"${WORK}/user/theirs.bin\". Permission denied.\n"
                   "convert onto another's file: error output")
      expect_equal("${kept}" "OLD\n" "convert onto another's file: the old file")
    endif()
    set(EMULATOR)
    file(CHMOD ${WORK}/user/closed DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  else()
    message(STATUS "no unprivileged user to run as (setpriv and nobody): the permission rows are skipped")
  endif()
endif()

# A write of a large image ended by a signal leaves no temporary file: it is
# sent once a process other than Wine's server holds a file open in the
# target's folder. KILL relies on a file system that makes unnamed files, as
# ext4 and tmpfs do, or on Wine's server removing a file marked
# delete-on-close when its process is killed; Ctrl+C under Wine needs a
# console, which this test has not.
if(EXISTS /proc/self/fd)
  file(WRITE ${WORK}/large.hex ":0100000011EE\n:020000040FFFEC\n:01FFFF0022DF\n")
  # The status of a shell's wait for a process that a signal ended.
  set(status_TERM 143)
  set(status_INT 130)
  set(status_HUP 129)
  set(status_KILL 137)
  set(signals TERM INT HUP KILL)
  if(WINDOWS)
    set(signals KILL)
  endif()
  foreach(signal ${signals})
    file(REMOVE_RECURSE ${WORK}/signal)
    file(MAKE_DIRECTORY ${WORK}/signal)
    execute_process(
      COMMAND sh -c "dir=$1 signal=$2; shift 2; env --default-signal \"$@\" & started=$!
                     while kill -0 $started 2>/dev/null; do
                       for f in $(find /proc/[0-9]*/fd -maxdepth 1 -lname \"$dir/*\" 2>/dev/null); do
                         p=\${f#/proc/}; p=\${p%%/*}
                         case $(cat /proc/$p/comm) in wineserver*) ;; *) kill -$signal $p; break 2 ;; esac
                       done
                       sleep 0.01
                     done
                     wait $started"
              sh ${WORK}/signal ${signal} ${EMULATOR} ${FWIMAGE} convert ${z}${WORK}/large.hex ${z}${WORK}/signal/large.bin
      OUTPUT_QUIET ERROR_QUIET RESULT_VARIABLE rc TIMEOUT 120)
    file(GLOB left RELATIVE ${WORK}/signal ${WORK}/signal/*)
    expect_equal("${rc} [${left}]" "${status_${signal}} []" "SIG${signal} during convert: status, files left")
  endforeach()
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
