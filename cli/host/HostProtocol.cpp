#include "host/HostProtocol.h"

#include <algorithm>
#include <charconv>

namespace {

void Put(char* at, uint32_t value) noexcept {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<char>(value >> (8 * i));
}

uint32_t Get(const char* at) noexcept {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= uint32_t(static_cast<unsigned char>(at[i])) << (8 * i);
    return value;
}

template <class T>
bool Number(std::string_view text, T& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::array<char, kReportHeadSize> Head(THostReport::TKind kind, TLibraryCall call, uint32_t value,
                                       uint32_t length) noexcept {
    std::array<char, kReportHeadSize> head{};
    Put(&head[0], kind);
    Put(&head[4], static_cast<uint32_t>(call));
    Put(&head[8], value);
    Put(&head[12], length);
    return head;
}

}  // namespace

std::array<char, kReportHeadSize> EncodeReportHead(THostReport::TKind kind, TLibraryCall call,
                                                   uint32_t value) noexcept {
    return Head(kind, call, value, 0);
}

std::string EncodeReport(const THostReport& report) {
    const std::string_view text = std::string_view(report.Text).substr(0, kReportTextLimit);
    const auto head = Head(report.Kind, report.Call, report.Value, static_cast<uint32_t>(text.size()));
    std::string bytes(head.begin(), head.end());
    return bytes.append(text);
}

size_t DecodeReport(std::string_view bytes, THostReport& report) {
    if (bytes.size() < kReportHeadSize) return 0;
    const uint32_t length = std::min(Get(&bytes[12]), kReportTextLimit);
    if (bytes.size() - kReportHeadSize < length) return 0;
    const uint32_t kind = Get(&bytes[0]), call = Get(&bytes[4]);
    // Anything else read as nothing: a report the host never makes.
    report.Kind = kind < THostReport::KindCount ? static_cast<THostReport::TKind>(kind) : THostReport::KindCount;
    report.Call = call < kLibraryCallCount ? static_cast<TLibraryCall>(call) : TLibraryCall::None;
    report.Value = Get(&bytes[8]);
    report.Text.assign(bytes.substr(kReportHeadSize, length));
    return kReportHeadSize + length;
}

char EncodeCommand(THostCommand command) noexcept {
    return static_cast<char>(command);
}

std::optional<THostCommand> DecodeCommand(char byte) noexcept {
    if (byte == static_cast<char>(THostCommand::Go)) return THostCommand::Go;
    return std::nullopt;
}

std::string HostArguments(const THostLaunch& launch) {
    std::string args = std::string(" ") + kLibraryHostSwitch;
    for (const uint64_t n : {launch.Commands, launch.Reports, launch.Section}) args += " " + std::to_string(n);
    return args + " " + std::to_string(launch.Size) + " " + std::to_string(launch.Sum);
}

std::optional<THostLaunch> ParseHostArguments(const std::vector<std::string_view>& args) {
    THostLaunch launch;
    if (args.size() != 6 || args[0] != kLibraryHostSwitch || !Number(args[1], launch.Commands) ||
        !Number(args[2], launch.Reports) || !Number(args[3], launch.Section) || !Number(args[4], launch.Size) ||
        !Number(args[5], launch.Sum) || launch.Size < 0)
        return std::nullopt;
    return launch;
}
