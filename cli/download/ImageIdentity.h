// fwimage download's identity guard: --expect-sha256 and --expect-sum name the
// image a script means to flash; any other is refused before the question.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "image/FirmwareImage.h"

struct TImageExpectation {
    std::optional<std::string> Sha256;  // 64 lowercase hexadecimal digits
    std::optional<uint16_t> Sum;

    bool Any() const { return Sha256 || Sum; }
};

// The option's value, or none when it is not 64 hexadecimal digits (the
// SHA-256, either letter case), or 1 to 4 (the sum, as the window shows it).
std::optional<std::string> Sha256Option(std::string_view text);
std::optional<uint16_t> SumOption(std::string_view text);

// What differs, each expected value beside the image's own; empty when the
// image is the expected one. sha256: the image's, when one is expected.
std::string ImageMismatch(const TImageExpectation& expected, const TImageInfo& info, std::string_view sha256);
