# fwimage as a process, around its files: output that cannot be written, a
# full disk under an existing .lock, paths of about 300 and 1000 characters,
# an unprivileged user's targets, a write ended by a signal, and (32-bit
# Windows) images of 1 GiB, which need the large address space, and of 2 GiB,
# which fail.
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

# Paths of about 300 and 1000 characters through convert and lock (Windows
# takes them past 260 only in their long form).
string(REPEAT "d" 240 name)
foreach(long ${WORK}/${name} ${WORK}/a${name}/b${name}/c${name}/d${name})
  file(MAKE_DIRECTORY ${long})
  fwimage(ARGS convert ${z}${WORK}/one.hex ${z}${long}/a.bin)
  set(converted "${rc}")
  fwimage(ARGS lock --key "00 00 00 00 00 00 00 01" ${z}${long}/a.bin)
  file(READ ${long}/a.bin.lock locked HEX)
  string(LENGTH "${z}${long}/a.bin" length)
  expect_equal("${converted} ${rc} ${err}${locked}" "0 0 91" "convert and lock at a path of ${length} characters")
endforeach()

# As an unprivileged user (root writes anywhere): a writable file in a folder
# that takes no new file is written in place; another's file that the user
# may not write stays, though the folder would take a new one.
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND setpriv --reuid=nobody --regid=nogroup --clear-groups true RESULT_VARIABLE no_nobody
                OUTPUT_QUIET ERROR_QUIET)
if(WINDOWS)
elseif(uid STREQUAL "0" AND NOT no_nobody EQUAL 0)
  message(STATUS "no unprivileged user to run as (setpriv, nobody): the permission rows are skipped")
else()
  file(MAKE_DIRECTORY ${WORK}/user/closed)
  file(WRITE ${WORK}/user/closed/open.bin "OLD\n")
  file(WRITE ${WORK}/user/theirs.bin "OLD\n")
  execute_process(COMMAND chmod 777 ${WORK}/user COMMAND chmod 666 ${WORK}/user/closed/open.bin
                  COMMAND chmod 555 ${WORK}/user/closed)
  if(uid STREQUAL "0")
    set(EMULATOR setpriv --reuid=nobody --regid=nogroup --clear-groups)
  endif()
  fwimage(ARGS convert ${WORK}/one.hex ${WORK}/user/closed/open.bin)
  file(READ ${WORK}/user/closed/open.bin written HEX)
  expect_equal("${rc} ${err} ${written}" "0  11" "convert into a closed folder: exit code, errors, the file")
  if(uid STREQUAL "0")
    fwimage(ARGS convert ${WORK}/one.hex ${WORK}/user/theirs.bin)
    file(READ ${WORK}/user/theirs.bin kept)
    expect_equal("${rc} ${err}${kept}" "1 Cannot create file \"${WORK}/user/theirs.bin\". Permission denied.\nOLD\n"
                 "convert onto another's file: exit code, error output, the old file")
  endif()
  set(EMULATOR)
  execute_process(COMMAND chmod 755 ${WORK}/user/closed)
endif()

# A large convert ended by a signal leaves no temporary file (KILL too, where
# the file system makes unnamed files, as ext4 and tmpfs do, and under Wine,
# whose server removes a file marked delete-on-close). The signal goes once
# a process (not Wine's server) holds a file in the target's folder.
file(WRITE ${WORK}/large.hex ":0100000011EE\n:020000040FFFEC\n:01FFFF0022DF\n")
set(signals TERM:143 INT:130 HUP:129 KILL:137)  # with a shell's status for each
if(WINDOWS)
  set(signals KILL:137)  # Ctrl+C under Wine needs a console: e2e.console
endif()
foreach(row ${signals})
  string(REPLACE ":" ";" row ${row})
  list(GET row 0 signal)
  # Only the started process and its children are looked at, so that a busy
  # machine's many processes do not slow the look. A convert that ended
  # before the signal could go says nothing about the signal: run it again.
  set(sent "")
  foreach(attempt RANGE 1 5)
    file(REMOVE_RECURSE ${WORK}/signal)
    file(MAKE_DIRECTORY ${WORK}/signal)
    execute_process(
      COMMAND sh -c "dir=$1 signal=$2; shift 2; env --default-signal \"$@\" & started=$!
                     tree() { echo $1; for c in $(pgrep -P $1); do tree $c; done; }
                     while kill -0 $started 2>/dev/null; do
                       for p in $(tree $started); do
                         for f in /proc/$p/fd/*; do
                           case $(readlink $f 2>/dev/null) in \"$dir\"/*) ;; *) continue ;; esac
                           case $(cat /proc/$p/comm 2>/dev/null) in wineserver*) ;; *) kill -$signal $p; echo sent; break 3 ;; esac
                         done
                       done
                       sleep 0.01
                     done
                     wait $started"
              sh ${WORK}/signal ${signal} ${EMULATOR} ${FWIMAGE} convert ${z}${WORK}/large.hex ${z}${WORK}/signal/a.bin
      OUTPUT_VARIABLE sent ERROR_QUIET RESULT_VARIABLE rc TIMEOUT 120)
    if(sent MATCHES "sent")
      break()
    endif()
  endforeach()
  file(GLOB left RELATIVE ${WORK}/signal ${WORK}/signal/*)
  list(JOIN row " " expected)
  expect_equal("${signal} ${rc} [${left}]" "${expected} []" "a signal during convert: status, files left")
endforeach()

if(WINDOWS)
  # 0x40000000 bytes: 0x11, then 0xFF, then 0x22; the sum is 0xFE35.
  file(WRITE ${WORK}/gib.hex ":0100000011EE\n:020000043FFFBC\n:01FFFF0022DF\n")
  # 0x80000000 bytes: beyond what the in-memory stream holds.
  file(WRITE ${WORK}/two-gib.hex ":0100000011EE\n:020000047FFF7C\n:01FFFF0022DF\n")
  fwimage(ARGS info ${z}${WORK}/gib.hex ${z}${WORK}/two-gib.hex ${z}${WORK}/one.hex)
  expect_equal("${rc}" 1 "info of 1 and 2 GiB images: exit code")
  expect_start("${out}" "Имя: gib.hex\nРазмер: 40000000\nКонтрольная сумма: FE35\nИмя: one.hex\nРазмер: 0001\nКонтрольная сумма: 0011\n"
               "info of 1 and 2 GiB images: output")
  expect_start("${err}" "${z}${WORK}/two-gib.hex: Out of memory.\n" "info of 1 and 2 GiB images: error output")
endif()

# report over the two logs of tests/data/report, with its page.
get_filename_component(logs ${CMAKE_CURRENT_LIST_DIR}/../../tests/data/report ABSOLUTE)
fwimage(ARGS report --json --html ${z}${WORK}/report.html ${z}${logs}/old.tsv ${z}${logs}/new.tsv)
string(REGEX MATCH "{\"format\":1,\"event\":\"summary\",[^\r\n]*" summary "${out}")
string(REGEX MATCH "new.tsv:7: [^\r\n]*" torn "${err}")
file(READ ${WORK}/report.html page LIMIT 15)
string(STRIP "${page}" page)
expect_equal("${rc} ${torn} ${page}\n${summary}"
             "0 new.tsv:7: not a record (7 columns; a record has 6, 10, or 13 or more); skipped <!DOCTYPE html>\n{\"format\":1,\"event\":\"summary\",\"logs\":2,\"records\":14,\"skipped_lines\":1,\"since\":null,\"until\":null,\"attempts\":12,\"done\":7,\"units\":9,\"done_units\":6,\"first_pass_units\":4,\"outcomes\":{\"busy\":1,\"declined\":1,\"done\":7,\"loader-refused\":1,\"return-failed\":1,\"transfer-failed\":3},\"first_pass_yield\":44.4,\"final_yield\":66.7}"
             "report of two logs: exit code, the torn line, the page, the summary")

file(REMOVE_RECURSE ${WORK})
if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "fwimage around its files:\n  ${text}")
endif()
