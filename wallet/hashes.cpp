#include "wallet/hashes.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include "wallet/openssl_handles.h"

namespace dialo {
namespace {

// Fetched once: an implicit fetch on every call costs more than hashing a short message.
struct Algorithms {
    EVP_MD* sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    EVP_MD* sha512 = EVP_MD_fetch(nullptr, "SHA512", nullptr);
    EVP_MD* ripemd160 = EVP_MD_fetch(nullptr, "RIPEMD160", nullptr);
    EVP_MAC* hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    ~Algorithms() {
        EVP_MD_free(sha256);
        EVP_MD_free(sha512);
        EVP_MD_free(ripemd160);
        EVP_MAC_free(hmac);
    }
};

const Algorithms& algorithms() {
    static const Algorithms a;
    return a;
}

template <size_t N>
bool digest(const EVP_MD* md, const uint8_t* data, size_t size, std::array<uint8_t, N>& out) {
    unsigned int len = 0;
    if (md != nullptr && EVP_Digest(data, size, out.data(), &len, md, nullptr) == 1 && len == N) return true;
    out.fill(0);
    return false;
}

template <size_t N>
bool hmac(const char* digestName, const uint8_t* key, size_t keySize, const uint8_t* data, size_t size,
          std::array<uint8_t, N>& out) {
    if (algorithms().hmac == nullptr) return false;
    MacCtxPtr ctx(EVP_MAC_CTX_new(algorithms().hmac));
    if (!ctx) return false;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(digestName), 0),
        OSSL_PARAM_construct_end(),
    };
    size_t len = 0;
    if (EVP_MAC_init(ctx.get(), key, keySize, params) != 1 || EVP_MAC_update(ctx.get(), data, size) != 1 ||
        EVP_MAC_final(ctx.get(), out.data(), &len, out.size()) != 1 || len != N) {
        OPENSSL_cleanse(out.data(), out.size());
        return false;
    }
    return true;
}

}  // namespace

bool sha256(const uint8_t* data, size_t size, Hash256& out) { return digest(algorithms().sha256, data, size, out); }

bool sha256d(const uint8_t* data, size_t size, Hash256& out) {
    Hash256 once{};
    return sha256(data, size, once) && sha256(once.data(), once.size(), out);
}

bool sha512(const uint8_t* data, size_t size, Hash512& out) { return digest(algorithms().sha512, data, size, out); }

bool hash160(const uint8_t* data, size_t size, Hash160& out) {
    Hash256 s{};
    if (sha256(data, size, s) && digest(algorithms().ripemd160, s.data(), s.size(), out)) return true;
    out.fill(0);
    return false;
}

bool hmac_sha512(const uint8_t* key, size_t keySize, const uint8_t* data, size_t size, Hash512& out) {
    return hmac("SHA512", key, keySize, data, size, out);
}

bool hmac_sha256(const uint8_t* key, size_t keySize, const uint8_t* data, size_t size, Hash256& out) {
    return hmac("SHA256", key, keySize, data, size, out);
}

bool pbkdf2_sha512(std::string_view password, std::string_view salt, int iterations, Hash512& out) {
    return PKCS5_PBKDF2_HMAC(password.data(), int(password.size()), reinterpret_cast<const unsigned char*>(salt.data()),
                             int(salt.size()), iterations, algorithms().sha512, int(out.size()), out.data()) == 1;
}

}  // namespace dialo
