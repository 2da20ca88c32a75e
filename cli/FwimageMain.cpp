#include "FwimageMain.h"

#include <algorithm>
#include <exception>
#include <iterator>
#include <optional>

#include "download/DownloadCommand.h"
#include "image/CheckCommand.h"
#include "image/CommandImage.h"
#include "image/ConvertCommand.h"
#include "download/UnitSerial.h"
#include "image/ExitCodes.h"
#include "image/FirmwareImage.h"
#include "image/InfoCommand.h"
#include "image/LockCommand.h"
#include "JsonOutput.h"
#include "report/ReportCommand.h"
#include "Usage.h"
#include "Version.h"
#include "runtime/Display.h"
#include "runtime/Exceptions.h"
#include "runtime/FileIO.h"

namespace {

// Wrong usage: what is wrong, in one line.
struct TUsageError {
    std::string Text;
};

// The command line as the commands read it.
struct TArgs {
    std::vector<std::string> Operands;
    std::optional<std::string> Key, Log, Timeout, ExpectSha256, ExpectSum, Serial, Since, Until, Html;
    bool Map = false, Digest = false, Json = false, Yes = false, Quiet = false, Repeat = false,
         AllowEmpty = false, AskSerial = false;
};

// The commands an option belongs to, one bit each; kEvery: all of them.
enum TCommandBit : unsigned {
    kInfo = 1,
    kCheck = 2,
    kConvert = 4,
    kLock = 8,
    kDownload = 16,
    kReport = 32,
    kEvery = 63
};

// An option: a flag, or one with a value (named as the help names it).
struct TOption {
    std::string_view Name;
    unsigned Commands;
    bool TArgs::*Flag = nullptr;
    std::optional<std::string> TArgs::*Value = nullptr;
    std::string_view ValueName = {};
};

constexpr TOption Flag(std::string_view name, unsigned commands, bool TArgs::*flag) {
    return {name, commands, flag};
}

constexpr TOption Valued(std::string_view name, std::string_view valueName, unsigned commands,
                         std::optional<std::string> TArgs::*value) {
    return {name, commands, nullptr, value, valueName};
}

// Every option of every command. A new option is its row here and its member
// in TArgs.
constexpr TOption kOptions[] = {
    Flag("--map", kInfo, &TArgs::Map),
    Flag("--digest", kInfo, &TArgs::Digest),
    Flag("--json", kInfo | kCheck | kDownload | kReport, &TArgs::Json),
    Valued("--key", "TEXT", kLock, &TArgs::Key),
    Flag("--yes", kDownload, &TArgs::Yes),
    Flag("--quiet", kDownload, &TArgs::Quiet),
    Valued("--log", "FILE", kDownload, &TArgs::Log),
    Valued("--timeout", "SECONDS", kDownload, &TArgs::Timeout),
    Valued("--expect-sha256", "HEX", kDownload, &TArgs::ExpectSha256),
    Valued("--expect-sum", "XXXX", kDownload, &TArgs::ExpectSum),
    Flag("--repeat", kDownload, &TArgs::Repeat),
    Flag("--allow-empty", kDownload, &TArgs::AllowEmpty),
    Valued("--serial", "TEXT", kDownload, &TArgs::Serial),
    Flag("--ask-serial", kDownload, &TArgs::AskSerial),
    Valued("--since", "YYYY-MM-DD", kReport, &TArgs::Since),
    Valued("--until", "YYYY-MM-DD", kReport, &TArgs::Until),
    Valued("--html", "FILE", kReport, &TArgs::Html),
};

// Runs one step and reports its failure as the window would show it, after
// "FILE: " when named (text lines of a command given several files, as
// check's are).
template <typename Step>
bool Report(Step step, std::ostream& err, const std::string* named = nullptr) {
    try {
        step();
        return true;
    } catch (...) {
        if (named) err << *named << ": ";
        err << FailureText(std::current_exception()) << '\n';
        return false;
    }
}

// How a command ended. Final: the code tells what happened outside the
// process (an instrument), which output that did not arrive cannot change.
struct TCommandEnd {
    int Code;
    bool Final = false;
};

// A whole number of seconds from 1 to about 24 days (the system's waits count
// milliseconds in 32 bits).
std::optional<unsigned> Seconds(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    if (text->empty() || text->size() > 7 || text->find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(*text) == 0 || std::stoul(*text) > 2000000)
        throw TUsageError{"--timeout: " + Quoted(*text) +
                          " is not a whole number of seconds from 1 to 2000000"};
    return static_cast<unsigned>(std::stoul(*text));
}

// The option's value as parse reads it; a bad one is wrong usage, told as
// the option, the value and what it should be.
template <typename T>
std::optional<T> Checked(const std::optional<std::string>& text, std::optional<T> (*parse)(std::string_view),
                         std::string_view option, std::string_view should) {
    if (!text) return std::nullopt;
    std::optional<T> value = parse(*text);
    if (!value)
        throw TUsageError{std::string(option) + ": " + Quoted(*text) + " is not " + std::string(should)};
    return value;
}

TCommandEnd RunInfo(const TArgs& args, std::ostream& out, std::ostream& err) {
    const TInfoRequest request{args.Map, args.Digest, args.Json};
    bool allDone = true;
    const bool several = args.Operands.size() > 1 && !args.Json;
    for (const std::string& file : args.Operands)
        allDone &= Report([&] { Info(file, request, out); }, err, several ? &file : nullptr);
    return {allDone ? kExitDone : kExitFailed};
}

TCommandEnd RunCheck(const TArgs& args, std::ostream& out, std::ostream&) {
    return {CheckFiles(args.Operands, args.Json, out)};
}

TCommandEnd RunConvert(const TArgs& args, std::ostream&, std::ostream& err) {
    return {Report([&] { Convert(args.Operands[0], args.Operands[1]); }, err) ? kExitDone : kExitFailed};
}

TCommandEnd RunLock(const TArgs& args, std::ostream& out, std::ostream& err) {
    const std::string keyText = args.Key.value_or(std::string(kDefaultKeyText));
    if (const std::optional<std::string> fault = KeyTextFault(keyText))
        throw TUsageError{"--key: " + Quoted(keyText) + " is not 8 hexadecimal pairs (" + *fault + ")"};
    bool keyChangesNothing = false;
    const bool done = Report(
        [&] {
            try {
                Lock(args.Operands[0], keyText, out);
            } catch (const EKeyChangesNothing&) {
                keyChangesNothing = true;
                throw;
            }
        },
        err);
    // Wrong usage, though no usage text would help.
    return {keyChangesNothing ? kExitUsage : done ? kExitDone : kExitFailed};
}

TCommandEnd RunDownload(const TArgs& args, std::ostream& out, std::ostream& err) {
    const std::string sha256Length =
        args.ExpectSha256 && args.ExpectSha256->size() != 64
            ? " (it has " + std::to_string(args.ExpectSha256->size()) + " characters)"
            : "";
    const TDownloadRequest request{
        args.Operands[0],
        args.Yes,
        args.Quiet,
        args.Log,
        Seconds(args.Timeout),
        {Checked(args.ExpectSha256, Sha256Option, "--expect-sha256", "64 hexadecimal digits" + sha256Length),
         Checked(args.ExpectSum, SumOption, "--expect-sum",
                 "1 to 4 hexadecimal digits, as the window shows a sum")},
        args.Repeat,
        args.Json,
        args.AllowEmpty,
        Checked(args.Serial, SerialOption, "--serial",
                "a serial number: 1 to 64 characters, none of them a tab or another control character"),
        args.AskSerial};
    if (args.Serial && (args.Repeat || args.AskSerial))
        throw TUsageError{std::string("--serial: names the one unit of a download; with ") +
                          (args.Repeat ? "--repeat" : "--ask-serial") +
                          " each unit's serial is asked on the console (--ask-serial)"};
    return {RunDownloadCommand(request, out, err), true};
}

TCommandEnd RunReport(const TArgs& args, std::ostream& out, std::ostream& err) {
    const TReportRequest request{args.Operands, args.Since, args.Until, args.Html, args.Json};
    if (const std::optional<std::string> wrong = ReportUsageError(request)) throw TUsageError{*wrong};
    return {RunReportCommand(request, out, err)};
}

struct TCommand {
    std::string_view Name;
    TCommandBit Bit;
    // As the usage names them; "..." after the last: one or more.
    std::string_view Operands;
    TCommandEnd (*Run)(const TArgs& args, std::ostream& out, std::ostream& err);
};

constexpr TCommand kCommands[] = {
    {"info", kInfo, "FILE...", RunInfo},
    {"check", kCheck, "FILE...", RunCheck},
    {"convert", kConvert, "IN.hex OUT.bin", RunConvert},
    {"lock", kLock, "FILE", RunLock},
    {"download", kDownload, "IMAGE", RunDownload},
    {"report", kReport, "LOG...", RunReport},
};

const TCommand* CommandNamed(std::string_view name) {
    for (const TCommand& command : kCommands)
        if (command.Name == name) return &command;
    return nullptr;
}

// The option of command named name, exactly: never by a prefix.
const TOption* OptionNamed(std::string_view name, const TCommand& command) {
    for (const TOption& option : kOptions)
        if ((option.Commands & command.Bit) && option.Name == name) return &option;
    return nullptr;
}

// As many operands as command takes, else which is missing or the first one
// too many. lastTaken: the option that took the last value given as an
// argument of its own, which may be the operand meant ("--timeout a.hex").
void CheckOperandCount(const TArgs& args, const TCommand& command, const TOption* lastTaken) {
    std::vector<std::string_view> names;
    for (std::string_view rest = command.Operands; !rest.empty();) {
        const size_t end = std::min(rest.find(' '), rest.size());
        names.push_back(rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    const bool orMore = names.back().ends_with("...");
    if (orMore) names.back().remove_suffix(3);
    const std::vector<std::string>& operands = args.Operands;
    std::string wrong;
    if (operands.size() < names.size()) {
        const std::string& value = lastTaken ? *(args.*lastTaken->Value) : std::string();
        if (lastTaken && OpenKindOf(value) != TImageKind::Ignored)
            throw TUsageError{std::string(lastTaken->Name) + ": " + Quoted(value) + " is taken as its " +
                              std::string(lastTaken->ValueName) + ", which leaves " +
                              std::string(names[operands.size()]) + " missing"};
        wrong = std::string(names[operands.size()]) + " is missing";
    } else if (operands.size() > names.size() && !orMore) {
        wrong = Quoted(operands[names.size()]) + " is one argument too many";
    } else {
        return;
    }
    const std::string name(command.Name);
    throw TUsageError{"fwimage " + name + ": " + wrong + " (fwimage " + name + " " +
                      std::string(command.Operands) + ")"};
}

// The arguments after the command, read over the option table: a flag,
// "--name VALUE" or "--name=VALUE", each at most once; after "--" only
// operands.
TArgs Parse(const std::vector<std::string>& args, const TCommand& command) {
    TArgs parsed;
    const TOption* lastTaken = nullptr;
    bool optionsEnded = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || !arg.starts_with('-')) {
            parsed.Operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-")
            throw TUsageError{"fwimage " + std::string(command.Name) +
                              ": \"-\" names no file: fwimage reads and writes files, not the standard "
                              "input or output (a file named \"-\": ./-)"};
        const std::string name = arg.substr(0, arg.find('='));
        const TOption* option = OptionNamed(name, command);
        if (!option)
            throw TUsageError{name + ": fwimage " + std::string(command.Name) + " has no such option"};
        const bool valueHere = name.size() < arg.size();
        if (option->Flag) {
            if (valueHere) throw TUsageError{name + ": takes no value, but is given " + Quoted(arg)};
            if (parsed.*option->Flag) throw TUsageError{name + ": given more than once"};
            parsed.*option->Flag = true;
            continue;
        }
        if (!valueHere && i + 1 == args.size())
            throw TUsageError{name + ": its " + std::string(option->ValueName) + " is missing"};
        const std::string value = valueHere ? arg.substr(name.size() + 1) : args[++i];
        std::optional<std::string>& given = parsed.*option->Value;
        if (given)
            throw TUsageError{name + ": given more than once (" + Quoted(*given) + ", then " + Quoted(value) +
                              ")"};
        given = value;
        lastTaken = valueHere ? nullptr : option;
    }
    CheckOperandCount(parsed, command, lastTaken);
    return parsed;
}

// Whether one of names is given before "--" (where a value may look like one too).
bool Given(const std::vector<std::string>& args, std::initializer_list<std::string_view> names) {
    for (const std::string& arg : args) {
        if (arg == "--") return false;
        if (std::find(names.begin(), names.end(), arg) != names.end()) return true;
    }
    return false;
}

// Why args name no command.
TUsageError NoCommand(const std::vector<std::string>& args) {
    std::string commands;
    for (size_t i = 0; i < std::size(kCommands); ++i)
        commands += (i == 0                         ? ""
                     : i + 1 < std::size(kCommands) ? ", "
                                                    : " or ") +
                    std::string(kCommands[i].Name);
    if (args.empty()) return {"fwimage: no command given (" + commands + ")"};
    if (args[0] == "--version") return {"--version: " + Quoted(args[1]) + " may not follow it"};
    if (args[0].starts_with('-'))
        return {"fwimage: the command (" + commands + ") comes before " + Quoted(args[0])};
    return {"fwimage: " + Quoted(args[0]) + " is not a command (" + commands + ")"};
}

// Wrong usage on the error output, and with --json as one JSON line on the
// standard output too.
void TellUsageError(const TUsageError& error, const TCommand* command, bool json, std::ostream& out,
                    std::ostream& err) {
    const std::string name = command ? " " + std::string(command->Name) : "";
    err << error.Text << "\nTry 'fwimage" << name << " --help' for more.\n";
    if (!json) return;
    nlohmann::ordered_json line = nlohmann::ordered_json::object();
    if (command) line["command"] = command->Name;
    line["error"] = JsonError(error.Text);
    WriteJsonLine(out, line);
}

}  // namespace

int RunFwimage(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const TCommand* command = args.empty() ? nullptr : CommandNamed(args[0]);
    TCommandEnd end{kExitUsage};
    if (Given(args, {"--help", "-h"})) {
        out << (command ? CommandHelp(command->Name) : WholeHelp());
        end = {kExitDone};
    } else if (args.size() == 1 && args[0] == "--version") {
        out << "fwimage " FWL_VERSION_TEXT "\n";
        end = {kExitDone};
    } else {
        try {
            if (!command) throw NoCommand(args);
            end = command->Run(Parse(args, *command), out, err);
        } catch (const TUsageError& error) {
            TellUsageError(error, command, Given(args, {"--json"}), out, err);
            end = {kExitUsage};
        }
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
