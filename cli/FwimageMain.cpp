#include "FwimageMain.h"

#include <exception>
#include <optional>

#include "DownloadCommand.h"
#include "ExitCodes.h"
#include "FirmwareImage.h"
#include "HexFile2BinMemoryStream.h"
#include "ImageMap.h"
#include "Version.h"
#include "runtime/Display.h"
#include "runtime/Exceptions.h"
#include "runtime/FileIO.h"

namespace {

constexpr const char* kUsageText =
    "usage: fwimage info FILE...\n"
    "       fwimage info --map FILE...\n"
    "       fwimage convert IN.hex OUT.bin\n"
    "       fwimage lock [--key TEXT] FILE\n"
    "       fwimage download [--yes] [--quiet] [--log FILE] IMAGE\n"
    "       fwimage --help\n"
    "       fwimage --version\n";

// The help is this, the usage lines and kHelpBody.
constexpr const char* kHelpHead =
    "fwimage - firmware image files of the tester's loader, without the window\n\n";

constexpr const char* kHelpBody =
    "\n"
    "Commands\n"
    "  info [--map] FILE...\n"
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
    "  convert IN.hex OUT.bin\n"
    "      Converts the Intel HEX file IN.hex into the flat image the loader\n"
    "      sends: from the lowest address any data record covers to the highest,\n"
    "      with 0xFF wherever the file gives no byte. OUT.bin is overwritten.\n"
    "\n"
    "  lock [--key TEXT] FILE\n"
    "      Makes FILE.lock beside FILE (a .hex or .bin file), as the loader's Lock\n"
    "      command does: the image of FILE with every byte scrambled by the key.\n"
    "      An existing FILE.lock is overwritten. The key text is eight\n"
    "      hexadecimal pairs; blanks anywhere are ignored, as is everything after\n"
    "      the 16th other character. Default: \"3C 5A 91 0E D4 27 B8 66\".\n"
    "      --key=TEXT is accepted too.\n"
    "\n"
    "  download [--yes] [--quiet] [--log FILE] IMAGE\n"
    "      Loads IMAGE into the instrument as the loader's Start does (Windows\n"
    "      program only): prints the three summary lines, asks \" Загрузить\n"
    "      программу ? \" on the console (y/yes/д/да goes on), then switches the\n"
    "      instrument into its loader mode, sends the image and switches it back,\n"
    "      showing the progress. DFU.dll is loaded from fwimage.exe's folder, else\n"
    "      from the system folder, never from the current folder.\n"
    "      --yes      do not ask; without it a standard input that is not a\n"
    "                 console is refused (exit 2) before the library is called\n"
    "      --quiet    print only the outcome\n"
    "      --log FILE append one tab-separated line per download to FILE: UTC\n"
    "                 time, full path, size, sum, outcome, exit code\n"
    "      Ctrl+C before the library is called ends at once (exit 130); while\n"
    "      the library works it is held and the download finishes first.\n"
    "      The exit code is the outcome's even when the standard output cannot\n"
    "      be written; that is only told on the error output.\n"
    "\n"
    "Arguments after \"--\" are taken as file names even when they begin with \"-\".\n"
    "File names and output are UTF-8; on a Windows console any characters show.\n"
    "\n"
    "Exit status\n"
    "  0    done; download: the image was delivered and the instrument runs its\n"
    "       application again\n"
    "  1    a failure, its text on the error output (the text the loader's window\n"
    "       would show for it); download: also an empty image, no device\n"
    "       library, a log file that cannot be written, or no thread for the\n"
    "       download; no library call\n"
    "  2    wrong usage; download: not confirmed, or no console to ask on\n"
    "  3    download: the instrument refused its loader mode\n"
    "  4    download: the transfer failed\n"
    "  5    download: the instrument did not return to its application\n"
    "  130  download: interrupted by Ctrl+C before the library was called; in\n"
    "       the log also a download whose console was closed while the library\n"
    "       worked (outcome closed)\n";

// Thrown for an argument list that fits no command.
struct TUsageError {};

// Failures the tool finds itself, shown like the runtime's.
class ECommandError : public rt::Exception {
public:
    using rt::Exception::Exception;
};

// The options a command takes.
enum TOption : unsigned { kKeyOption = 1, kYesOption = 2, kQuietOption = 4, kLogOption = 8, kMapOption = 16 };

struct TParsed {
    std::vector<std::string> operands;
    std::optional<std::string> key;
    std::optional<std::string> log;
    bool yes = false;
    bool quiet = false;
    bool map = false;
};

// "--name VALUE" or "--name=VALUE", given once; false when arg is neither.
bool TakeValue(const std::vector<std::string>& args, size_t& i, std::string_view name,
               std::optional<std::string>& value) {
    const std::string& arg = args[i];
    if (arg.compare(0, name.size(), name) != 0) return false;
    if (arg.size() == name.size() && i + 1 < args.size() && !value) {
        value = args[++i];
        return true;
    }
    if (arg.size() > name.size() && arg[name.size()] == '=' && !value) {
        value = arg.substr(name.size() + 1);
        return true;
    }
    return false;
}

TParsed Parse(const std::vector<std::string>& args, unsigned allowed) {
    TParsed parsed;
    bool optionsEnded = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            parsed.operands.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if ((allowed & kKeyOption) && TakeValue(args, i, "--key", parsed.key)) {
        } else if ((allowed & kLogOption) && TakeValue(args, i, "--log", parsed.log)) {
        } else if ((allowed & kYesOption) && arg == "--yes") {
            parsed.yes = true;
        } else if ((allowed & kQuietOption) && arg == "--quiet") {
            parsed.quiet = true;
        } else if ((allowed & kMapOption) && arg == "--map") {
            parsed.map = true;
        } else {
            throw TUsageError{};
        }
    }
    return parsed;
}

std::string Quoted(const std::string& path) {
    return "\"" + path + "\"";
}

// One file's three summary lines, and its map when asked; the image goes
// into CurrentImage.
void Info(const std::string& fileName, bool map, std::ostream& out) {
    TImageInfo info;
    THexRuns runs;
    OpenCommandImage(fileName, info, map ? &runs : nullptr);
    for (const std::string& line : SummaryLines(fileName, info)) out << line << '\n';
    if (!map) return;
    std::vector<THexRun> found;
    uint32_t firstAddress = 0;
    if (OpenKindOf(fileName) == TImageKind::Hex) {
        found = runs.Runs();
        // No data record: the converter's empty image sits at the top address.
        firstAddress = found.empty() ? 0xFFFFFFFF : found.front().First;
    } else if (info.Size > 0) {
        found.push_back({0, static_cast<uint64_t>(info.Size)});
    }
    for (const std::string& line : MapLines(found, firstAddress, static_cast<uint64_t>(info.Size)))
        out << line << '\n';
}

void Convert(const std::string& hexName, const std::string& binName) {
    if (OpenKindOf(hexName) != TImageKind::Hex)
        throw ECommandError("Cannot convert file " + Quoted(hexName) +
                            ": an Intel HEX file must have the .hex extension");
    // Writing the image over its own source would lose the source.
    if (rt::SameFile(hexName, binName))
        throw ECommandError("Cannot convert file " + Quoted(hexName) + ": the output " + Quoted(binName) +
                            " is that same file");
    HexFileToStream(hexName)->SaveToFile(binName);
}

void Lock(const std::string& fileName, const std::string& keyText, std::ostream& out) {
    const std::optional<ScrambleKey> key = KeyFromText(keyText);
    if (!key)
        throw ECommandError("The key " + Quoted(keyText) +
                            " has fewer than 16 characters besides blanks; it needs 8 hexadecimal pairs");
    // The name is opened as given: its full path may be too long to open.
    const std::optional<std::string> lockPath = LockImage(fileName, *key);
    if (!lockPath)
        throw ECommandError("Cannot lock file " + Quoted(fileName) +
                            ": only .hex and .bin files can be locked");
    // The window's dialog gives a full path, and its message names the .lock
    // file by it.
    out << LockDoneText(rt::ExpandFileName(*lockPath)) << '\n';
}

// Runs one step and reports its failure as the window would show it.
template <typename Step>
bool Report(Step step, std::ostream& err) {
    try {
        step();
        return true;
    } catch (...) {
        err << FailureText(std::current_exception()) << '\n';
        return false;
    }
}

// "--help" or "-h" anywhere before "--" asks for the help, whatever else is given.
bool AsksForHelp(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg == "--") return false;
        if (arg == "--help" || arg == "-h") return true;
    }
    return false;
}

int Dispatch(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const std::string& command = args[0];
    if (command == "info") {
        const TParsed parsed = Parse(args, kMapOption);
        if (parsed.operands.empty()) throw TUsageError{};
        bool allDone = true;
        for (const std::string& fileName : parsed.operands)
            allDone = Report([&] { Info(fileName, parsed.map, out); }, err) && allDone;
        return allDone ? kExitDone : kExitFailed;
    }
    if (command == "convert") {
        const TParsed parsed = Parse(args, 0);
        if (parsed.operands.size() != 2) throw TUsageError{};
        return Report([&] { Convert(parsed.operands[0], parsed.operands[1]); }, err) ? kExitDone
                                                                                     : kExitFailed;
    }
    if (command == "lock") {
        const TParsed parsed = Parse(args, kKeyOption);
        if (parsed.operands.size() != 1) throw TUsageError{};
        const std::string keyText = parsed.key.value_or(std::string(kDefaultKeyText));
        return Report([&] { Lock(parsed.operands[0], keyText, out); }, err) ? kExitDone : kExitFailed;
    }
    if (command == "download") {
        const TParsed parsed = Parse(args, kYesOption | kQuietOption | kLogOption);
        if (parsed.operands.size() != 1) throw TUsageError{};
        return RunDownloadCommand({parsed.operands[0], parsed.yes, parsed.quiet, parsed.log}, out, err);
    }
    throw TUsageError{};
}

}  // namespace

void OpenCommandImage(const std::string& fileName, TImageInfo& info, THexRuns* runs) {
    if (!OpenImage(fileName, info, runs))
        throw ECommandError("Cannot open file " + Quoted(fileName) +
                            ": only .hex, .bin and .lock files are images");
}

std::string FailureText(std::exception_ptr failure) {
    return rt::FailureDisplayText(rt::FailureMessage(failure));
}

int RunFwimage(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    int code = kExitUsage;
    // Exit code 2 also tells a download that was not confirmed: no usage text then.
    bool wrongUsage = false;
    bool outcomeCode = false;
    if (AsksForHelp(args)) {
        out << kHelpHead << kUsageText << kHelpBody;
        code = kExitDone;
    } else if (args.size() == 1 && args[0] == "--version") {
        out << "fwimage " FWL_VERSION_TEXT "\n";
        code = kExitDone;
    } else if (args.empty()) {
        wrongUsage = true;
    } else {
        try {
            code = Dispatch(args, out, err);
            outcomeCode = args[0] == "download";
        } catch (const TUsageError&) {
            wrongUsage = true;
        }
    }
    if (wrongUsage) {
        code = kExitUsage;
        err << kUsageText << "Try 'fwimage --help' for more.\n";
    }
    // Output that did not arrive (a full disk, a closed pipe) is a failure too,
    // except after a download: its exit code tells what the instrument went
    // through, as its log record does, and must not turn into "no library call".
    if (!out.flush()) {
        err << rt::FailureDisplayText("Cannot write to the standard output") << '\n';
        if (code == kExitDone && !outcomeCode) code = kExitFailed;
    }
    if (!err.flush() && code == kExitDone && !outcomeCode) code = kExitFailed;
    return code;
}
