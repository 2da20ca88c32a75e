#include "download/UnitSerial.h"

#include <vector>

namespace {

// The columns of a record: time, file, size, sum, outcome, exit code,
// SHA-256, seconds, tool, unit, serial, station, operator.
constexpr size_t kOutcomeColumn = 4, kSha256Column = 6, kSerialColumn = 10, kStationColumn = 11;

std::vector<std::string_view> Columns(std::string_view line) {
    std::vector<std::string_view> columns;
    for (;;) {
        const size_t tab = line.find('\t');
        columns.push_back(line.substr(0, tab));
        if (tab == std::string_view::npos) return columns;
        line.remove_prefix(tab + 1);
    }
}

std::string Key(std::string_view serial, std::string_view sha256) {
    return std::string(serial).append("\t").append(sha256);
}

}  // namespace

std::string_view TrimmedSerial(std::string_view text) {
    constexpr std::string_view kBlanks = " \r\n";
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

TSerialProblem SerialProblem(std::string_view serial) {
    if (serial.empty()) return TSerialProblem::Empty;
    size_t characters = 0;
    for (size_t i = 0; i < serial.size(); ++characters) {
        const auto lead = static_cast<unsigned char>(serial[i]);
        const size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3
                                                : (lead & 0xF8) == 0xF0 ? 4 : 0;
        if (length == 0 || i + length > serial.size()) return TSerialProblem::NotText;
        uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(serial[i + k]);
            if ((next & 0xC0) != 0x80) return TSerialProblem::NotText;
            code = code << 6 | (next & 0x3F);
        }
        // C0, DEL and C1: none of them shows, and a tab or a line end would split the record.
        if (code < 0x20 || (code >= 0x7F && code < 0xA0)) return TSerialProblem::Control;
        i += length;
    }
    return characters > kSerialMostCharacters ? TSerialProblem::TooLong : TSerialProblem::None;
}

std::optional<std::string> SerialOption(std::string_view text) {
    const std::string_view serial = TrimmedSerial(text);
    if (SerialProblem(serial) != TSerialProblem::None) return std::nullopt;
    return std::string(serial);
}

void TSerialHistory::Take(std::string_view bytes) {
    for (size_t end; (end = bytes.find('\n')) != std::string_view::npos;) {
        std::string_view line = bytes.substr(0, end);
        if (line.ends_with('\r')) line.remove_suffix(1);
        const std::vector<std::string_view> c = Columns(line);
        // Records of an older form have no serial; the header's outcome is no "done".
        if (c.size() > kStationColumn && c[kOutcomeColumn] == "done" && !c[kSerialColumn].empty())
            done_[Key(c[kSerialColumn], c[kSha256Column])] = {std::string(c[0]), std::string(c[kStationColumn])};
        bytes.remove_prefix(end + 1);
        taken_ += end + 1;
    }
}

std::optional<TSerialHistory::TDone> TSerialHistory::LastDone(std::string_view serial,
                                                             std::string_view sha256) const {
    const auto found = done_.find(Key(serial, sha256));
    if (found == done_.end()) return std::nullopt;
    return found->second;
}

std::string AlreadyDoneLine(std::string_view serial, const TSerialHistory::TDone& done) {
    return "Прибор " + std::string(serial) + " уже прошит этой прошивкой на станции " + done.Station + ", " +
           done.UtcTime;
}
