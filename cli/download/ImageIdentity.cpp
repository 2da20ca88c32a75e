#include "download/ImageIdentity.h"

#include <algorithm>

#include "runtime/Convert.h"

namespace {

bool AllHex(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return rt::HexDigitValue(c) != rt::kNotHexDigit; });
}

}  // namespace

std::optional<std::string> Sha256Option(std::string_view text) {
    if (text.size() != 64 || !AllHex(text)) return std::nullopt;
    std::string lower;
    for (char c : text) lower += "0123456789abcdef"[rt::HexDigitValue(c)];
    return lower;
}

std::optional<uint16_t> SumOption(std::string_view text) {
    if (text.empty() || text.size() > 4 || !AllHex(text)) return std::nullopt;
    uint16_t sum = 0;
    for (char c : text) sum = static_cast<uint16_t>(sum << 4 | rt::HexDigitValue(c));
    return sum;
}

std::string ImageMismatch(const TImageExpectation& expected, const TImageInfo& info,
                          std::string_view sha256) {
    std::string differs;
    const auto add = [&](std::string_view expectedWhat, const std::string& want, std::string_view has) {
        if (!differs.empty()) differs += "; ";
        differs.append(expectedWhat).append(" ").append(want);
        differs.append(", у прошивки ").append(has);
    };
    if (expected.Sha256 && *expected.Sha256 != sha256) add("ожидался SHA-256", *expected.Sha256, sha256);
    if (expected.Sum && *expected.Sum != info.Sum)
        add("ожидалась сумма", rt::IntToHex(*expected.Sum, 4), rt::IntToHex(info.Sum, 4));
    return differs;
}
