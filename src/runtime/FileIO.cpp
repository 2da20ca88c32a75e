#include "runtime/FileIO.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <random>

#include "runtime/Convert.h"
#include "runtime/Exceptions.h"

namespace rt {

void TReadFile::CheckUnchanged(const TFileStamp& before) const {
    if (Stamp() != before) throw EFileChanged(ExpandFileName(fileName_));
}

std::string TemporaryName(std::string_view targetName) {
    static std::random_device seed;
    static std::mt19937 numbers(seed());
    // Short enough that the name stays far below every system's 255 limit.
    constexpr size_t kKeptBytes = 64;
    size_t kept = std::min(targetName.size(), kKeptBytes);
    while (kept < targetName.size() && (static_cast<unsigned char>(targetName[kept]) & 0xC0) == 0x80) --kept;
    return ".~" + std::string(targetName.substr(0, kept)) + "." + IntToHex(numbers(), 8) + ".tmp";
}

bool HeldByAnother(uint32_t windowsCode) {
    constexpr uint32_t kAccessDenied = 5, kSharingViolation = 32, kLockViolation = 33;
    return windowsCode == kAccessDenied || windowsCode == kSharingViolation || windowsCode == kLockViolation;
}

bool DeleteMarkTakenBack(std::string_view fileSystem, bool localFixedDrive) {
    constexpr std::string_view kShipped[] = {"NTFS", "ReFS", "FAT", "FAT32", "exFAT"};
    return localFixedDrive &&
           std::find(std::begin(kShipped), std::end(kShipped), fileSystem) != std::end(kShipped);
}

std::optional<bool> SameById(const TFileId& a, const TFileId& b) {
    constexpr std::array<uint8_t, 16> kNone{};
    if (a.volume == 0 || b.volume == 0 || a.id == kNone || b.id == kNone) return std::nullopt;
    return a.volume == b.volume && a.id == b.id;
}

std::string TrimErrorText(std::string text) {
    while (!text.empty()) {
        const auto c = static_cast<unsigned char>(text.back());
        if (c <= ' ' || c == '.' || c == 0x7F)
            text.pop_back();
        else
            break;
    }
    return text;
}

std::string FillInserts(std::string_view text, std::string_view value) {
    std::string out;
    size_t i = 0;
    bool raise = false;
    while (i < text.size()) {
        if (text[i] != '%' || i + 1 >= text.size() || text[i + 1] < '1' || text[i + 1] > '9') {
            out += text[i++];
            continue;
        }
        // %1 to %99, perhaps with a format: %1!s!
        size_t end = i + 2;
        if (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        if (end < text.size() && text[end] == '!') {
            const size_t close = text.find('!', end + 1);
            if (close != std::string_view::npos) end = close + 1;
        }
        i = end;
        if (!value.empty()) {
            out += value;
            continue;
        }
        // Removed with the quotes around it and the blank it leaves double.
        if (!out.empty() && (out.back() == '"' || out.back() == '\'') && i < text.size() &&
            text[i] == out.back()) {
            out.pop_back();
            ++i;
        }
        if (out.empty() || (i < text.size() && std::strchr(" .,:;)", text[i]) != nullptr) || i == text.size())
            while (!out.empty() && out.back() == ' ') out.pop_back();
        if (out.empty()) {
            while (i < text.size() && text[i] == ' ') ++i;
            raise = true;
        }
    }
    if (raise && !out.empty() && out[0] >= 'a' && out[0] <= 'z')
        out[0] = static_cast<char>(out[0] - 'a' + 'A');
    return out;
}

}  // namespace rt
