#pragma once
// Owners for the OpenSSL objects the wallet and identity code use, and a guard that wipes
// secret buffers when they go out of scope.

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <memory>
#include <string>

namespace dialo {

struct BnFree {
    void operator()(BIGNUM* p) const { BN_clear_free(p); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
struct MacCtxFree {
    void operator()(EVP_MAC_CTX* p) const { EVP_MAC_CTX_free(p); }
};

using BnPtr = std::unique_ptr<BIGNUM, BnFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;
using MacCtxPtr = std::unique_ptr<EVP_MAC_CTX, MacCtxFree>;

/// Overwrites a secret text and empties it.
inline void wipe_text(std::string& s) {
    if (!s.empty()) OPENSSL_cleanse(s.data(), s.size());
    s.clear();
}

/// Overwrites a container's bytes when the scope ends, on every path out of it.
template <class Buffer>
class ScopedWipe {
public:
    explicit ScopedWipe(Buffer& buffer) : buffer_(buffer) {}
    ~ScopedWipe() {
        // In bytes: a buffer of wider elements is wiped whole, not only its first size() bytes.
        if (!buffer_.empty()) OPENSSL_cleanse(buffer_.data(), buffer_.size() * sizeof(*buffer_.data()));
    }
    ScopedWipe(const ScopedWipe&) = delete;
    ScopedWipe& operator=(const ScopedWipe&) = delete;

private:
    Buffer& buffer_;
};

}  // namespace dialo
