#include "FwimageMain.h"

#include <exception>
#include <optional>

#include "FirmwareImage.h"
#include "HexFile2BinMemoryStream.h"
#include "Version.h"
#include "runtime/Display.h"
#include "runtime/Exceptions.h"
#include "runtime/FileIO.h"

namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

constexpr const char* kUsageText =
    "usage: fwimage info FILE...\n"
    "       fwimage convert IN.hex OUT.bin\n"
    "       fwimage lock [--key TEXT] FILE\n"
    "       fwimage --help\n"
    "       fwimage --version\n";

// The help is this, the usage lines and kHelpBody.
constexpr const char* kHelpHead =
    "fwimage - firmware image files of the tester's loader, without the window\n\n";

constexpr const char* kHelpBody =
    "\n"
    "Commands\n"
    "  info FILE...\n"
    "      Opens each FILE as the loader's Open command does and prints the three\n"
    "      lines the window shows for it: the name, the size and the 16-bit byte\n"
    "      sum, both in hexadecimal. A .hex file is converted from Intel HEX into\n"
    "      its flat image (gaps hold 0xFF); .bin and .lock files are taken byte\n"
    "      for byte. Letter case of the extension does not matter. A file that\n"
    "      fails is reported and the remaining files are still shown.\n"
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
    "Arguments after \"--\" are taken as file names even when they begin with \"-\".\n"
    "File names and output are UTF-8; on a Windows console any characters show.\n"
    "\n"
    "Exit status\n"
    "  0  done\n"
    "  1  a failure, its text on the error output (the text the loader's window\n"
    "     would show for it)\n"
    "  2  wrong usage\n";

// Thrown for an argument list that fits no command.
struct TUsageError {};

// Failures the tool finds itself, shown like the runtime's.
class ECommandError : public rt::Exception {
public:
    using rt::Exception::Exception;
};

struct TParsed {
    std::vector<std::string> operands;
    std::optional<std::string> key;
};

TParsed Parse(const std::vector<std::string>& args, bool takesKey) {
    TParsed parsed;
    bool optionsEnded = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            parsed.operands.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (takesKey && arg == "--key" && i + 1 < args.size() && !parsed.key) {
            parsed.key = args[++i];
        } else if (takesKey && arg.rfind("--key=", 0) == 0 && !parsed.key) {
            parsed.key = arg.substr(6);
        } else {
            throw TUsageError{};
        }
    }
    return parsed;
}

std::string Quoted(const std::string& path) {
    return "\"" + path + "\"";
}

// One file's three summary lines; the image goes into CurrentImage.
void Info(const std::string& fileName, std::ostream& out) {
    TImageInfo info;
    if (!OpenImage(fileName, info))
        throw ECommandError("Cannot open file " + Quoted(fileName) +
                            ": only .hex, .bin and .lock files are images");
    for (const std::string& line : SummaryLines(fileName, info)) out << line << '\n';
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
        err << rt::FailureDisplayText(rt::FailureMessage(std::current_exception())) << '\n';
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
        const TParsed parsed = Parse(args, false);
        if (parsed.operands.empty()) throw TUsageError{};
        bool allDone = true;
        for (const std::string& fileName : parsed.operands)
            allDone = Report([&] { Info(fileName, out); }, err) && allDone;
        return allDone ? kDone : kFailed;
    }
    if (command == "convert") {
        const TParsed parsed = Parse(args, false);
        if (parsed.operands.size() != 2) throw TUsageError{};
        return Report([&] { Convert(parsed.operands[0], parsed.operands[1]); }, err) ? kDone : kFailed;
    }
    if (command == "lock") {
        const TParsed parsed = Parse(args, true);
        if (parsed.operands.size() != 1) throw TUsageError{};
        const std::string keyText = parsed.key.value_or(std::string(kDefaultKeyText));
        return Report([&] { Lock(parsed.operands[0], keyText, out); }, err) ? kDone : kFailed;
    }
    throw TUsageError{};
}

}  // namespace

int RunFwimage(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    int code = kUsage;
    if (AsksForHelp(args)) {
        out << kHelpHead << kUsageText << kHelpBody;
        code = kDone;
    } else if (args.size() == 1 && args[0] == "--version") {
        out << "fwimage " FWL_VERSION_TEXT "\n";
        code = kDone;
    } else if (!args.empty()) {
        try {
            code = Dispatch(args, out, err);
        } catch (const TUsageError&) {
            code = kUsage;
        }
    }
    if (code == kUsage) err << kUsageText << "Try 'fwimage --help' for more.\n";
    // Output that did not arrive (a full disk, a closed pipe) is a failure too.
    if (!out.flush()) {
        err << rt::FailureDisplayText("Cannot write to the standard output") << '\n';
        if (code == kDone) code = kFailed;
    }
    if (!err.flush() && code == kDone) code = kFailed;
    return code;
}
