#pragma once
// Owners for the OpenSSL objects the wallet and identity code use, and a guard that wipes
// secret buffers when they go out of scope.

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <memory>
#include <string>

namespace dialo {

struct BnFree {
    void operator()(BIGNUM* p) const { BN_clear_free(p); }
};
struct BnCtxFree {
    void operator()(BN_CTX* p) const { BN_CTX_free(p); }
};
struct BnMontFree {
    void operator()(BN_MONT_CTX* p) const { BN_MONT_CTX_free(p); }
};
struct EcPointFree {
    void operator()(EC_POINT* p) const { EC_POINT_clear_free(p); }
};
struct EcGroupFree {
    void operator()(EC_GROUP* p) const { EC_GROUP_free(p); }
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
using BnCtxPtr = std::unique_ptr<BN_CTX, BnCtxFree>;
using BnMontPtr = std::unique_ptr<BN_MONT_CTX, BnMontFree>;
using EcPointPtr = std::unique_ptr<EC_POINT, EcPointFree>;
using EcGroupPtr = std::unique_ptr<EC_GROUP, EcGroupFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;
using MacCtxPtr = std::unique_ptr<EVP_MAC_CTX, MacCtxFree>;

inline BnPtr newBn() { return BnPtr(BN_new()); }
/// A big number that holds a secret: arithmetic on it takes the constant-time paths.
inline BnPtr newSecretBn() {
    BnPtr b(BN_secure_new());
    if (b) BN_set_flags(b.get(), BN_FLG_CONSTTIME);
    return b;
}
inline BnCtxPtr newBnCtx() { return BnCtxPtr(BN_CTX_new()); }

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
