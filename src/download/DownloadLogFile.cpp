// What may be a log, decided without the file system's writing calls: a
// mistyped --log must never change a firmware image or reach a device.
#include "download/DownloadLogFile.h"

#include <array>

#include "image/FirmwareImage.h"
#include "runtime/FileIO.h"
#include "runtime/FileName.h"

namespace {

std::string Refusal(std::string_view named, std::string_view why) {
    return "Cannot write the log file \"" + std::string(named) + "\": " + std::string(why);
}

bool IsLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The last part of path as Windows opens it: without a drive ("C:con"), a
// stream or a device's colon ("CON:"), and trailing dots and blanks.
std::string_view LastPart(std::string_view path) {
    const size_t slash = path.find_last_of("\\/");
    std::string_view part = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (slash == std::string_view::npos && part.size() >= 2 && part[1] == ':' && IsLetter(part[0]))
        part.remove_prefix(2);
    part = part.substr(0, part.find(':'));
    while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.remove_suffix(1);
    return part;
}

constexpr std::array<std::string_view, 6> kDevices = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
// COM and LPT take a digit, the superscripts ¹ ² ³ included.
constexpr std::array<std::string_view, 13> kPortNumbers = {"0", "1", "2", "3",      "4",      "5",     "6",
                                                           "7", "8", "9", "\u00B9", "\u00B2", "\u00B3"};

}  // namespace

std::string ReservedDeviceName(std::string_view path) {
    std::string_view base = LastPart(path);
    base = base.substr(0, base.find('.'));
    while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
    const std::string name = rt::AsciiUpper(base);
    for (std::string_view device : kDevices)
        if (name == device) return name;
    for (std::string_view port : {"COM", "LPT"})
        for (std::string_view number : kPortNumbers)
            if (name == std::string(port).append(number)) return name;
    return {};
}

std::optional<std::string> LogPathRefusal(const std::string& logPath, const std::string& imagePath) {
    // Named as given: the full path of a device is its device path.
    if (const std::string device = ReservedDeviceName(logPath); !device.empty())
        return Refusal(logPath, device + " is a device, not a file");
    const std::string full = rt::ExpandFileName(logPath);
    const std::string_view part = LastPart(logPath);
    if (OpenKindOf(part) != TImageKind::Ignored)
        return Refusal(full,
                       "a " + std::string(rt::ExtractFileExt(part)) + " file is a firmware image, not a log");
    if (!imagePath.empty() && rt::SameFile(logPath, imagePath))
        return Refusal(full, "it is the image being downloaded");
    return std::nullopt;
}

std::string NotALogText(const std::string& logPath) {
    return Refusal(rt::ExpandFileName(logPath),
                   "it is not a log (it is not empty and starts neither with the log's header row nor with a "
                   "record) and is left as it is");
}
