#include "FwimageMain.h"

#include <exception>
#include <optional>

#include "CommandImage.h"
#include "DownloadCommand.h"
#include "ExitCodes.h"
#include "FirmwareImage.h"
#include "CheckJson.h"
#include "HexCheck.h"
#include "HexFile2BinMemoryStream.h"
#include "InfoCommand.h"
#include "JsonOutput.h"
#include "Usage.h"
#include "Version.h"
#include "runtime/Display.h"
#include "runtime/Exceptions.h"
#include "runtime/FileIO.h"

namespace {

// Thrown for an argument list that fits no command.
struct TUsageError {};

// The options a command takes.
enum TOption : unsigned {
    kKeyOption = 1,
    kYesOption = 2,
    kQuietOption = 4,
    kLogOption = 8,
    kMapOption = 16,
    kTimeoutOption = 32,
    kExpectOption = 64,
    kDigestOption = 128,
    kJsonOption = 256,
    kRepeatOption = 512,
    kAllowEmptyOption = 1024
};

struct TParsed {
    std::vector<std::string> operands;
    std::optional<std::string> key;
    std::optional<std::string> log;
    std::optional<std::string> timeout;
    std::optional<std::string> expectSha256;
    std::optional<std::string> expectSum;
    bool yes = false;
    bool quiet = false;
    bool map = false;
    bool repeat = false;
    bool allowEmpty = false;
    bool json = false;
    bool digest = false;
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
        } else if ((allowed & kTimeoutOption) && TakeValue(args, i, "--timeout", parsed.timeout)) {
        } else if ((allowed & kExpectOption) && TakeValue(args, i, "--expect-sha256", parsed.expectSha256)) {
        } else if ((allowed & kExpectOption) && TakeValue(args, i, "--expect-sum", parsed.expectSum)) {
        } else if ((allowed & kYesOption) && arg == "--yes") {
            parsed.yes = true;
        } else if ((allowed & kQuietOption) && arg == "--quiet") {
            parsed.quiet = true;
        } else if ((allowed & kMapOption) && arg == "--map") {
            parsed.map = true;
        } else if ((allowed & kRepeatOption) && arg == "--repeat") {
            parsed.repeat = true;
        } else if ((allowed & kAllowEmptyOption) && arg == "--allow-empty") {
            parsed.allowEmpty = true;
        } else if ((allowed & kJsonOption) && arg == "--json") {
            parsed.json = true;
        } else if ((allowed & kDigestOption) && arg == "--digest") {
            parsed.digest = true;
        } else {
            throw TUsageError{};
        }
    }
    return parsed;
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

// A key whose steps cancel out: the .lock would equal the image.
class EKeyChangesNothing : public ECommandError {
public:
    using ECommandError::ECommandError;
};

void Lock(const std::string& fileName, const std::string& keyText, std::ostream& out) {
    const std::optional<ScrambleKey> key = KeyFromText(keyText);
    if (!key)
        throw ECommandError("The key " + Quoted(keyText) +
                            " has fewer than 16 characters besides blanks; it needs 8 hexadecimal pairs");
    if (ScrambleByte(*key, 0) == 0)
        throw EKeyChangesNothing("The key " + Quoted(keyText) +
                                 " changes nothing: its steps amount to an XOR with 00, which leaves every "
                                 "byte as it is; choose another key");
    // The name is opened as given: its full path may be too long to open.
    const std::optional<std::string> lockPath = LockImage(fileName, *key);
    if (!lockPath)
        throw ECommandError("Cannot lock file " + Quoted(fileName) +
                            ": only .hex and .bin files can be locked");
    // The window's dialog gives a full path, and its message names the .lock
    // file by it.
    out << LockDoneText(rt::ExpandFileName(*lockPath)) << '\n';
}

// Every finding of every file; the worst file's code: a refused one over one
// with findings.
int CheckFiles(const std::vector<std::string>& fileNames, bool json, std::ostream& out) {
    int code = kExitDone;
    for (const std::string& fileName : fileNames) {
        const TCheckResult result = CheckImageFile(fileName);
        if (json) {
            WriteJsonLine(out, CheckJson(fileName, result));
        } else {
            for (const TFinding& finding : result.Findings) out << FindingLine(fileName, finding) << '\n';
        }
        if (code != kExitFailed && result.ExitCode() != kExitDone) code = result.ExitCode();
    }
    return code;
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

// How a command ended. Final: the code tells what happened outside the
// process (an instrument), which output that did not arrive cannot change.
struct TCommandEnd {
    int Code;
    bool Final = false;
};

TCommandEnd Ended(bool allDone) {
    return {allDone ? kExitDone : kExitFailed};
}

// A whole number of seconds from 1 to about 24 days (the system's waits count
// milliseconds in 32 bits).
std::optional<unsigned> Seconds(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    if (text->empty() || text->size() > 7 || text->find_first_not_of("0123456789") != std::string::npos)
        throw TUsageError{};
    const unsigned seconds = static_cast<unsigned>(std::stoul(*text));
    if (seconds == 0 || seconds > 2000000) throw TUsageError{};
    return seconds;
}

// The option's value as parse reads it; a bad one is wrong usage.
template <typename T>
std::optional<T> Checked(const std::optional<std::string>& text,
                         std::optional<T> (*parse)(std::string_view)) {
    if (!text) return std::nullopt;
    std::optional<T> value = parse(*text);
    if (!value) throw TUsageError{};
    return value;
}

TCommandEnd Dispatch(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const std::string& command = args[0];
    if (command == "info") {
        const TParsed parsed = Parse(args, kMapOption | kDigestOption | kJsonOption);
        if (parsed.operands.empty()) throw TUsageError{};
        const TInfoRequest request{parsed.map, parsed.digest, parsed.json};
        bool allDone = true;
        for (const std::string& fileName : parsed.operands)
            allDone = Report([&] { Info(fileName, request, out); }, err) && allDone;
        return Ended(allDone);
    }
    if (command == "check") {
        const TParsed parsed = Parse(args, kJsonOption);
        if (parsed.operands.empty()) throw TUsageError{};
        return {CheckFiles(parsed.operands, parsed.json, out)};
    }
    if (command == "convert") {
        const TParsed parsed = Parse(args, 0);
        if (parsed.operands.size() != 2) throw TUsageError{};
        return Ended(Report([&] { Convert(parsed.operands[0], parsed.operands[1]); }, err));
    }
    if (command == "lock") {
        const TParsed parsed = Parse(args, kKeyOption);
        if (parsed.operands.size() != 1) throw TUsageError{};
        const std::string keyText = parsed.key.value_or(std::string(kDefaultKeyText));
        bool keyChangesNothing = false;
        const bool done = Report(
            [&] {
                try {
                    Lock(parsed.operands[0], keyText, out);
                } catch (const EKeyChangesNothing&) {
                    keyChangesNothing = true;
                    throw;
                }
            },
            err);
        // Wrong usage, though no usage text would help.
        return keyChangesNothing ? TCommandEnd{kExitUsage} : Ended(done);
    }
    if (command == "download") {
        const TParsed parsed =
            Parse(args, kYesOption | kQuietOption | kLogOption | kTimeoutOption | kExpectOption |
                            kRepeatOption | kJsonOption | kAllowEmptyOption);
        if (parsed.operands.size() != 1) throw TUsageError{};
        const TDownloadRequest request{
            parsed.operands[0],
            parsed.yes,
            parsed.quiet,
            parsed.log,
            Seconds(parsed.timeout),
            {Checked(parsed.expectSha256, Sha256Option), Checked(parsed.expectSum, SumOption)},
            parsed.repeat,
            parsed.json,
            parsed.allowEmpty};
        return {RunDownloadCommand(request, out, err), true};
    }
    throw TUsageError{};
}

}  // namespace

int RunFwimage(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    TCommandEnd end{kExitUsage};
    // Exit code 2 also tells a download that was not confirmed: no usage text then.
    bool wrongUsage = false;
    if (AsksForHelp(args)) {
        out << kHelpHead << kUsageText << kHelpBody;
        end = {kExitDone};
    } else if (args.size() == 1 && args[0] == "--version") {
        out << "fwimage " FWL_VERSION_TEXT "\n";
        end = {kExitDone};
    } else if (args.empty()) {
        wrongUsage = true;
    } else {
        try {
            end = Dispatch(args, out, err);
        } catch (const TUsageError&) {
            wrongUsage = true;
        }
    }
    if (wrongUsage) {
        end = {kExitUsage};
        err << kUsageText << "Try 'fwimage --help' for more.\n";
    }
    // Output that did not arrive (a full disk, a closed pipe) is a failure too,
    // unless the code is final: a download's must not turn into "no library call".
    const bool spoils = end.Code == kExitDone && !end.Final;
    if (!out.flush()) {
        err << rt::FailureDisplayText("Cannot write to the standard output") << '\n';
        if (spoils) end.Code = kExitFailed;
    }
    if (!err.flush() && spoils) end.Code = kExitFailed;
    return end.Code;
}
