#include "FwimageMain.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <exception>
#include <iterator>
#include <optional>

#include "image/CommandImage.h"
#include "download/DownloadCommand.h"
#include "image/ExitCodes.h"
#include "image/FirmwareImage.h"
#include "image/CheckJson.h"
#include "check/HexCheck.h"
#include "HexFile2BinMemoryStream.h"
#include "image/InfoCommand.h"
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
    std::optional<std::string> Key, Log, Timeout, ExpectSha256, ExpectSum, Since, Until, Html;
    bool Map = false, Digest = false, Json = false, Yes = false, Quiet = false, Repeat = false,
         AllowEmpty = false;
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
    Valued("--since", "YYYY-MM-DD", kReport, &TArgs::Since),
    Valued("--until", "YYYY-MM-DD", kReport, &TArgs::Until),
    Valued("--html", "FILE", kReport, &TArgs::Html),
};

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
    for (const std::string& fileName : args.Operands)
        allDone = Report([&] { Info(fileName, request, out); }, err) && allDone;
    return Ended(allDone);
}

TCommandEnd RunCheck(const TArgs& args, std::ostream& out, std::ostream&) {
    return {CheckFiles(args.Operands, args.Json, out)};
}

TCommandEnd RunConvert(const TArgs& args, std::ostream&, std::ostream& err) {
    return Ended(Report([&] { Convert(args.Operands[0], args.Operands[1]); }, err));
}

TCommandEnd RunLock(const TArgs& args, std::ostream& out, std::ostream& err) {
    const std::string keyText = args.Key.value_or(std::string(kDefaultKeyText));
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
    return keyChangesNothing ? TCommandEnd{kExitUsage} : Ended(done);
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
        args.AllowEmpty};
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

// arg as an option of command: "--name" or "--name=VALUE".
const TOption* OptionOf(std::string_view arg, const TCommand& command) {
    for (const TOption& option : kOptions)
        if ((option.Commands & command.Bit) && arg.starts_with(option.Name) &&
            (arg.size() == option.Name.size() || arg[option.Name.size()] == '='))
            return &option;
    return nullptr;
}

TUsageError NoSuchOption(std::string_view arg, const TCommand& command) {
    return {std::string(arg.substr(0, arg.find('='))) + ": fwimage " + std::string(command.Name) +
            " has no such option"};
}

// The arguments after the command as the parser is to read them, in its
// reversed order. The parser reads "--log=" as "--log" with its value in the
// next argument: here that value is empty, as written. A flag with a value
// and an option without one are refused here. optionsEnd: the number of them
// before the "--" that ends the options, when there is one.
std::vector<std::string> ForParser(const std::vector<std::string>& args, const TCommand& command,
                                   std::optional<size_t>& optionsEnd) {
    std::vector<std::string> words;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const TOption* option = optionsEnd ? nullptr : OptionOf(arg, command);
        if (!optionsEnd && arg == "--") optionsEnd = words.size();
        words.push_back(arg);
        if (!option) continue;
        const size_t nameEnd = option->Name.size();
        if (option->Flag && arg.size() > nameEnd)
            throw TUsageError{std::string(option->Name) + ": takes no value, but is given " + Quoted(arg)};
        if (option->Value && arg.size() == nameEnd) {
            if (i + 1 == args.size())
                throw TUsageError{std::string(option->Name) + ": its " + std::string(option->ValueName) +
                                  " is missing"};
            words.push_back(args[++i]);
        } else if (option->Value && arg.size() == nameEnd + 1) {
            words.back().pop_back();
            words.emplace_back();
        }
    }
    std::reverse(words.begin(), words.end());
    return words;
}

// As many operands as command takes, else which is missing or the first one
// too many.
void CheckOperandCount(const std::vector<std::string>& operands, const TCommand& command) {
    std::vector<std::string_view> names;
    for (std::string_view rest = command.Operands; !rest.empty();) {
        const size_t end = std::min(rest.find(' '), rest.size());
        names.push_back(rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    const bool orMore = names.back().ends_with("...");
    if (orMore) names.back().remove_suffix(3);
    std::string wrong;
    if (operands.size() < names.size())
        wrong = std::string(names[operands.size()]) + " is missing";
    else if (operands.size() > names.size() && !orMore)
        wrong = Quoted(operands[names.size()]) + " is one argument too many";
    else
        return;
    const std::string name(command.Name);
    throw TUsageError{"fwimage " + name + ": " + wrong + " (fwimage " + name + " " +
                      std::string(command.Operands) + ")"};
}

TArgs Parse(const std::vector<std::string>& args, const TCommand& command) {
    std::optional<size_t> optionsEnd;
    std::vector<std::string> words = ForParser(args, command, optionsEnd);
    const size_t afterEnd = optionsEnd ? words.size() - *optionsEnd - 1 : 0;
    TArgs parsed;
    std::vector<std::string> values[std::size(kOptions)];
    CLI::App parser;
    parser.set_help_flag();
    parser.allow_extras();
    // "/name" is a file name.
    parser.allow_windows_style_options(false);
    parser.add_option("operands", parsed.Operands);
    for (size_t i = 0; i < std::size(kOptions); ++i) {
        const TOption& option = kOptions[i];
        if (!(option.Commands & command.Bit)) continue;
        if (option.Flag)
            parser.add_flag(std::string(option.Name), parsed.*option.Flag);
        else
            parser.add_option(std::string(option.Name), values[i])->allow_extra_args(false)->take_all();
    }
    try {
        parser.parse(words);
    } catch (const CLI::ParseError& error) {
        throw TUsageError{error.what()};
    }
    for (const std::string& extra : parser.remaining())
        if (extra != "--") throw NoSuchOption(extra, command);
    // The parser takes "-5" for an operand; before "--" it is an option.
    for (size_t i = 0; i + afterEnd < parsed.Operands.size(); ++i)
        if (parsed.Operands[i].size() > 1 && parsed.Operands[i][0] == '-')
            throw NoSuchOption(parsed.Operands[i], command);
    for (size_t i = 0; i < std::size(kOptions); ++i) {
        if (values[i].size() > 1)
            throw TUsageError{std::string(kOptions[i].Name) + ": given more than once (" +
                              Quoted(values[i][0]) + ", then " + Quoted(values[i][1]) + ")"};
        if (values[i].size() == 1) parsed.*kOptions[i].Value = values[i][0];
    }
    CheckOperandCount(parsed.Operands, command);
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
