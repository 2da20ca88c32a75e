// SHA-256 by the system's own implementation (CNG on Windows, OpenSSL's
// libcrypto elsewhere): an image's identity that, unlike its 16-bit sum,
// tells any two different images apart.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "runtime/Exceptions.h"

namespace rt {

using TSha256 = std::array<uint8_t, 32>;

// Incremental: Update any number of times, then Finish once.
class TSha256Hasher {
public:
    TSha256Hasher();
    ~TSha256Hasher();
    TSha256Hasher(const TSha256Hasher&) = delete;
    TSha256Hasher& operator=(const TSha256Hasher&) = delete;

    void Update(const uint8_t* data, size_t size);
    TSha256 Finish();

private:
    struct TState;
    std::unique_ptr<TState> state_;
};

TSha256 Sha256(const uint8_t* data, size_t size);

// 64 lowercase hexadecimal digits, as sha256sum prints them.
std::string Sha256Hex(const TSha256& digest);
std::string Sha256Hex(const uint8_t* data, size_t size);

// "The system's SHA-256 failed: %s", naming the call that failed.
class EDigestError : public Exception {
public:
    explicit EDigestError(const std::string& call);
};

}  // namespace rt
