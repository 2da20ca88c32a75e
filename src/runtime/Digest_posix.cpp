// OpenSSL's libcrypto, as Debian keeps it.
#include <openssl/evp.h>

#include "runtime/Digest.h"

namespace rt {

struct TSha256Hasher::TState {
    EVP_MD_CTX* Context = nullptr;
    ~TState() { EVP_MD_CTX_free(Context); }
};

TSha256Hasher::TSha256Hasher() : state_(std::make_unique<TState>()) {
    state_->Context = EVP_MD_CTX_new();
    if (state_->Context == nullptr) throw EDigestError("EVP_MD_CTX_new");
    if (EVP_DigestInit_ex(state_->Context, EVP_sha256(), nullptr) != 1)
        throw EDigestError("EVP_DigestInit_ex");
}

TSha256Hasher::~TSha256Hasher() = default;

void TSha256Hasher::Update(const uint8_t* data, size_t size) {
    if (size > 0 && EVP_DigestUpdate(state_->Context, data, size) != 1)
        throw EDigestError("EVP_DigestUpdate");
}

TSha256 TSha256Hasher::Finish() {
    TSha256 digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(state_->Context, digest.data(), &length) != 1 || length != digest.size())
        throw EDigestError("EVP_DigestFinal_ex");
    return digest;
}

}  // namespace rt
