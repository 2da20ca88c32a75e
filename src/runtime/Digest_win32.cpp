// CNG through a hash object: the one-call BCryptHash needs Windows 10, and
// Windows 7 is supported.
#include <windows.h>

#include <bcrypt.h>

#include <algorithm>

#include "runtime/Digest.h"

namespace rt {

namespace {

void Check(NTSTATUS status, const char* call) {
    if (status < 0) {
        char code[16];
        wsprintfA(code, "0x%08lX", static_cast<unsigned long>(status));
        throw EDigestError(std::string(call) + " " + code);
    }
}

}  // namespace

struct TSha256Hasher::TState {
    BCRYPT_ALG_HANDLE Algorithm = nullptr;
    BCRYPT_HASH_HANDLE Hash = nullptr;
    ~TState() {
        if (Hash != nullptr) BCryptDestroyHash(Hash);
        if (Algorithm != nullptr) BCryptCloseAlgorithmProvider(Algorithm, 0);
    }
};

TSha256Hasher::TSha256Hasher() : state_(std::make_unique<TState>()) {
    Check(BCryptOpenAlgorithmProvider(&state_->Algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0),
          "BCryptOpenAlgorithmProvider");
    // Since Windows 7 CNG keeps the hash object's memory itself when given none.
    Check(BCryptCreateHash(state_->Algorithm, &state_->Hash, nullptr, 0, nullptr, 0, 0), "BCryptCreateHash");
}

TSha256Hasher::~TSha256Hasher() = default;

void TSha256Hasher::Update(const uint8_t* data, size_t size) {
    // CNG counts bytes in a ULONG.
    constexpr size_t kMaxChunk = 1u << 30;
    while (size > 0) {
        const size_t chunk = std::min(size, kMaxChunk);
        Check(BCryptHashData(state_->Hash, const_cast<PUCHAR>(data), static_cast<ULONG>(chunk), 0),
              "BCryptHashData");
        data += chunk;
        size -= chunk;
    }
}

TSha256 TSha256Hasher::Finish() {
    TSha256 digest{};
    Check(BCryptFinishHash(state_->Hash, digest.data(), static_cast<ULONG>(digest.size()), 0),
          "BCryptFinishHash");
    return digest;
}

}  // namespace rt
