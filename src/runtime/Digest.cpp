#include "runtime/Digest.h"

namespace rt {

EDigestError::EDigestError(const std::string& call) : Exception("The system's SHA-256 failed: " + call) {}

TSha256 Sha256(const uint8_t* data, size_t size) {
    TSha256Hasher hasher;
    hasher.Update(data, size);
    return hasher.Finish();
}

std::string Sha256Hex(const TSha256& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * digest.size());
    for (const uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

std::string Sha256Hex(const uint8_t* data, size_t size) {
    return Sha256Hex(Sha256(data, size));
}

}  // namespace rt
