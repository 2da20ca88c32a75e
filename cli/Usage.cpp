#include "Usage.h"

#include <iterator>

namespace {

// One command's part of the help.
struct THelpPart {
    std::string_view Command;
    // Its lines of the usage block, without the block's indent.
    std::string_view Usage;
    // Its part of "Commands".
    std::string_view About;
};

const THelpPart kParts[] = {
    {"info",
     "fwimage info FILE...\n"
     "fwimage info [--map] [--digest] [--json] FILE...\n",
     "  info [--map] [--digest] [--json] FILE...\n"
     "      Opens each FILE as the loader's Open command does and prints the three\n"
     "      lines the window shows for it: the name, the size and the 16-bit byte\n"
     "      sum, both in hexadecimal. A .hex file is converted from Intel HEX into\n"
     "      its flat image (gaps hold 0xFF); .bin and .lock files are taken byte\n"
     "      for byte. Letter case of the extension does not matter. A file that\n"
     "      fails is reported and the remaining files are still shown.\n"
     "\n"
     "      --map adds the image's map: each run of addresses that holds data\n"
     "      (first and last address, size), the first address of the image and how\n"
     "      much of it is gap fill. When more than 90 % of an image over 1 MiB is\n"
     "      gap fill, a warning names the run that lies farthest from the others:\n"
     "      a few bytes far from the rest make a download take hours.\n"
     "\n"
     "      --digest adds, after the three lines, \"SHA-256: \" and the SHA-256 of\n"
     "      the image in 64 lowercase hexadecimal digits, as sha256sum prints them:\n"
     "      the digest of the bytes the instrument receives (for a .lock file its\n"
     "      bytes as they are, scrambled), the same as sha256sum of the .bin file\n"
     "      that convert makes.\n"
     "\n"
     "      --json prints one JSON object per FILE on one line instead (UTF-8\n"
     "      whatever the console's code page): format, path (as given), name, size,\n"
     "      sum (as the window shows it), sha256, and with --map also map: runs\n"
     "      (first, last, size), first_address, gap_fill and warning when there\n"
     "      is one; addresses in 8 hexadecimal digits. A FILE that fails gives\n"
     "      path and error: text (also on the error output) and os_code.\n"},
    {"check", "fwimage check [--json] FILE...\n",
     "  check [--json] FILE...\n"
     "      Reads each FILE as the loader's Open command does, without building\n"
     "      its image, and prints every finding as FILE:LINE: severity: text.\n"
     "      error: a line the loader would refuse, with the loader's text, or an\n"
     "      empty image; nothing else is told for that file. warning: what may\n"
     "      leave the instrument without data the file means to give: a line the\n"
     "      loader skips that holds a record (after a blank, or without its ':'),\n"
     "      a record type it does not know, text that is not a record before the\n"
     "      end-of-file record, characters after a checksum that are not blanks,\n"
     "      a NUL character (nothing after it is read), a wrong record checksum,\n"
     "      no end-of-file record, data records after it (still taken), records\n"
     "      that write the same addresses, no data record at all (the image is\n"
     "      one byte, FF), the far-region warning of --map. note: what changes\n"
     "      nothing: a start-address record, blanks after a checksum, text after\n"
     "      the end-of-file record.\n"
     "      .bin and .lock files get the open's own checks; an empty one is an\n"
     "      error.\n"
     "      --json  one JSON line per FILE: path, exit_code, findings (path,\n"
     "              line, severity, kind, text and the details of each kind)\n"},
    {"convert", "fwimage convert IN.hex OUT.bin\n",
     "  convert IN.hex OUT.bin\n"
     "      Converts the Intel HEX file IN.hex into the flat image the loader\n"
     "      sends: from the lowest address any data record covers to the highest,\n"
     "      with 0xFF wherever the file gives no byte. OUT.bin is overwritten.\n"},
    {"lock", "fwimage lock [--key TEXT] FILE\n",
     "  lock [--key TEXT] FILE\n"
     "      Makes FILE.lock beside FILE (a .hex or .bin file), as the loader's Lock\n"
     "      command does: the image of FILE with every byte scrambled by the key.\n"
     "      An existing FILE.lock is overwritten. The key text is eight\n"
     "      hexadecimal pairs (16 digits), blanks anywhere ignored; any other\n"
     "      key text is wrong usage (exit 2), though the window's key box ignores\n"
     "      what follows the 16th character. Default: \"3C 5A 91 0E D4 27 B8 66\".\n"
     "      A key acts as an XOR of every byte with one byte made from it; a key\n"
     "      whose byte is 00 (\"01 02 00 00 00 00 00 00\") would change nothing\n"
     "      and is refused (exit 2).\n"
     "      --key=TEXT is accepted too.\n"},
    {"download",
     "fwimage download [--yes] [--quiet] [--log FILE] [--timeout SECONDS]\n"
     "                 [--expect-sha256 HEX] [--expect-sum XXXX] [--repeat]\n"
     "                 [--json] [--allow-empty] [--serial TEXT | --ask-serial]\n"
     "                 IMAGE\n",
     "  download [--yes] [--quiet] [--log FILE] [--timeout SECONDS]\n"
     "           [--expect-sha256 HEX] [--expect-sum XXXX] [--repeat] [--json]\n"
     "           [--allow-empty] [--serial TEXT | --ask-serial] IMAGE\n"
     "      Loads IMAGE into the instrument as the loader's Start does (Windows\n"
     "      program only): prints the three summary lines, asks \" Загрузить\n"
     "      программу ? \" on the console itself, whatever the standard output is\n"
     "      (an answer starting with y or д, in either case, goes on), then\n"
     "      switches the instrument into its loader mode, sends the image and\n"
     "      switches it back, showing the progress.\n"
     "      DFU.dll is loaded from fwimage.exe's folder, else from the system\n"
     "      folder, never from the current folder.\n"
     "      --yes      do not ask; without it a standard input that is not a\n"
     "                 console is refused (exit 2) before the library is called\n"
     "      --quiet    print only the outcome\n"
     "      --log FILE append one tab-separated record per download to FILE: UTC\n"
     "                 time, full path, size, sum, outcome, exit code, the\n"
     "                 image's SHA-256, whole seconds from the confirmation to\n"
     "                 the end, the tool and its version, the unit's number in\n"
     "                 a station loop (else empty), its serial (else empty), the\n"
     "                 computer's name and the user's. A new FILE starts with a\n"
     "                 byte-order mark and a header row and has CR LF line ends;\n"
     "                 an existing one keeps its form. A FILE that could not\n"
     "                 take the record stops the command before the library is\n"
     "                 called (exit 1)\n"
     "      --timeout SECONDS  end without waiting for the library once it has\n"
     "                 worked that long (exit 9); no limit by default\n"
     "      --expect-sha256 HEX, --expect-sum XXXX  download only the image with\n"
     "                 this SHA-256 (64 hexadecimal digits) or this 16-bit sum (as\n"
     "                 the window shows it, 1 to 4 hexadecimal digits); any other\n"
     "                 is refused before the question (exit 8)\n"
     "      --repeat   a station loop: the image is opened once, then one\n"
     "                 instrument after another; after each ending the units\n"
     "                 done and failed and a prompt for the next one (Enter;\n"
     "                 Ctrl+C or Ctrl+Z to finish) on the console. Only the first\n"
     "                 unit is asked about. Each unit's record has its number;\n"
     "                 a summary line ends the loop. Exit 0 when every unit\n"
     "                 ended done, else the last failed unit's code. Ctrl+C\n"
     "                 during a unit ends the loop after it. Needs a console\n"
     "                 as standard input (else exit 2)\n"
     "      --json     JSON Lines on the standard output instead of its lines:\n"
     "                 the events image, searching, loading (at most once per\n"
     "                 10 %), ended (outcome, exit code, unit, serial, station,\n"
     "                 operator) and summary\n"
     "      --allow-empty  send an empty image, or the one byte FF of a .hex file\n"
     "                 without data records, as the window does; refused without\n"
     "                 it (exit 1)\n"
     "      --serial TEXT  the unit's serial number, for its record: 1 to 64\n"
     "                 characters, no tab or other control character\n"
     "      --ask-serial  ask for each unit's serial on the console before it\n"
     "                 starts, the first one's too (a scanner types it and\n"
     "                 Enter); with --repeat it replaces the prompt for the next\n"
     "                 unit. An empty line asks again, a refused one is told.\n"
     "                 A serial the log holds done with this image is told, and\n"
     "                 the unit goes ahead. Needs a console (else exit 2)\n"
     "      One download per computer: while another program (the loader's\n"
     "      window, another fwimage) loads an instrument here, the library is\n"
     "      not called (exit 10).\n"
     "      Ctrl+C before the library is called ends at once (exit 130); while\n"
     "      the library works it is held and the download finishes first; the\n"
     "      third Ctrl+C ends without waiting for the library (exit 9).\n"
     "      The exit code is the outcome's even when the standard output cannot\n"
     "      be written; that is only told on the error output.\n"},
    {"report",
     "fwimage report [--since YYYY-MM-DD] [--until YYYY-MM-DD] [--json]\n"
     "               [--html FILE] LOG...\n",
     "  report [--since YYYY-MM-DD] [--until YYYY-MM-DD] [--json] [--html FILE]\n"
     "         LOG...\n"
     "      Reads the download logs (--log of download and of the loader, of any\n"
     "      age) and counts per image (SHA-256, else the file's name), per station\n"
     "      and per day (UTC): attempts, done, units (distinct serials; a record\n"
     "      without one is a unit of its own), done units, first-pass units\n"
     "      (whose earliest attempt is done), both yields in per cent and the\n"
     "      records of each outcome. A record that sent nothing to the\n"
     "      instrument (declined, not-asked, interrupted, wrong-image, empty,\n"
     "      busy, no-library, failed, load-crashed) counts in the outcomes only.\n"
     "      A line that is not a record is told as LOG:LINE and skipped.\n"
     "      --since, --until  only the records of these days, both inclusive\n"
     "      --json     JSON lines instead of the tables: image, station, day and\n"
     "                 summary\n"
     "      --html FILE  also write the report as one self-contained page with\n"
     "                 charts of the yield per day and the outcomes per image\n"},
};

// The usage block's lines after the commands'.
constexpr std::string_view kOtherUsage =
    "fwimage --help\n"
    "fwimage --version\n";

constexpr std::string_view kHead =
    "fwimage - firmware image files of the tester's loader, without the window\n\n";

constexpr std::string_view kNotes =
    "Arguments after \"--\" are taken as file names even when they begin with \"-\".\n"
    "File names and output are UTF-8; on a Windows console any characters show.\n"
    "--utf8 (any command) or FWIMAGE_UTF8=1: UTF-8 also when redirected on Windows.\n";

// One exit code's lines; Command: the one command that gives it, empty
// where any may.
struct TExitPart {
    std::string_view Command;
    std::string_view Text;
};

const TExitPart kExits[] = {
    {"",
     "  0    done; download: the image was delivered and the instrument runs its\n"
     "       application again\n"},
    {"",
     "  1    a failure, its text on the error output (the text the loader's window\n"
     "       would show for it); download: also an empty image, no device\n"
     "       library or one that crashed while loading, a log file that cannot\n"
     "       be written, or no process for the library; no library call; check:\n"
     "       a file the loader would refuse, that cannot be read or whose image\n"
     "       is empty (the finding on the standard output); report: a log that\n"
     "       cannot be read, or a page that cannot be written\n"},
    {"",
     "  2    wrong usage; download: not confirmed, or no console to ask on;\n"
     "       lock: a key that changes nothing\n"},
    {"download",
     "  3    download: the instrument refused its loader mode, or\n"
     "       DFU_Reset_To_ISP crashed\n"},
    {"download", "  4    download: the transfer failed, or DFU_Download crashed\n"},
    {"download",
     "  5    download: the instrument did not return to its application, or\n"
     "       DFU_Reset_To_AP crashed\n"},
    {"download",
     "  6    download: the image was delivered, but its record could not be\n"
     "       written to the log (told on the error output); a failed one keeps\n"
     "       its own code\n"},
    {"check", "  7    check: every file loads, but some have warnings\n"},
    {"download",
     "  8    download: not the image --expect-sha256 or --expect-sum names; no\n"
     "       library call\n"},
    {"download",
     "  9    download: ended without waiting for the library (--timeout, or the\n"
     "       third Ctrl+C); the instrument may be left in its loader mode\n"},
    {"download",
     "  10   download: another program was loading an instrument on this\n"
     "       computer; no library call\n"},
    {"download",
     "  130  download: interrupted by Ctrl+C before the library was called; in\n"
     "       the log also a download whose console was closed while the library\n"
     "       worked (outcome closed)\n"},
};

// "usage: " before the block's first line, blanks as wide before the others.
void AddUsage(std::string& block, std::string_view lines) {
    while (!lines.empty()) {
        block += block.empty() ? "usage: " : "       ";
        const size_t end = lines.find('\n') + 1;
        block += lines.substr(0, end);
        lines.remove_prefix(end);
    }
}

std::string NotesAndExitStatus(std::string_view command) {
    std::string text = "\n";
    text.append(kNotes).append("\nExit status\n");
    for (const TExitPart& part : kExits)
        if (command.empty() || part.Command.empty() || part.Command == command) text += part.Text;
    return text;
}

}  // namespace

std::string WholeHelp() {
    std::string usage;
    for (const THelpPart& part : kParts) AddUsage(usage, part.Usage);
    AddUsage(usage, kOtherUsage);
    std::string help = std::string(kHead) + usage + "\nCommands\n";
    for (size_t i = 0; i < std::size(kParts); ++i) help.append(i == 0 ? "" : "\n").append(kParts[i].About);
    return help + NotesAndExitStatus({});
}

std::string CommandHelp(std::string_view command) {
    std::string help;
    for (const THelpPart& part : kParts) {
        if (part.Command != command) continue;
        AddUsage(help, part.Usage);
        help.append("\n").append(part.About);
    }
    return help + NotesAndExitStatus(command);
}
