#include "wallet/wallet_lock.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>

#include <nlohmann/json.hpp>

#include "base/json_fields.h"
#include "wallet/encoding.h"
#include "wallet/openssl_handles.h"

namespace dialo {
namespace {

using nlohmann::json;

constexpr char kMarker[] = "OV-LOCK1";

int64_t iterationsOf(const json& doc) {
    auto it = doc.find("iter");
    if (it == doc.end()) return kLockIterations;
    return it->is_number_integer() ? it->get<int64_t>() : -1;
}

bool passwordKey(std::string_view password, const Bytes& salt, int64_t iterations, std::array<uint8_t, 32>& key) {
    return PKCS5_PBKDF2_HMAC(password.data(), int(password.size()), salt.data(), int(salt.size()), int(iterations),
                             EVP_sha256(), int(key.size()), key.data()) == 1;
}

}  // namespace

bool is_locked_envelope(const json& doc) {
    if (!doc.is_object() || string_field(doc, "lock") != kMarker) return false;
    int64_t iter = iterationsOf(doc);
    if (iter < 10000 || iter > 5000000) return false;
    return hex_decode(string_field(doc, "salt")).size() == 16 && hex_decode(string_field(doc, "iv")).size() == 12 &&
           hex_decode(string_field(doc, "tag")).size() == 16 && !string_field(doc, "ct").empty();
}

bool lock_wallet_text(std::string_view plain, std::string_view password, json& envelope) {
    Bytes salt(16), iv(12), tag(16), ct(plain.size() + 16);
    if (RAND_bytes(salt.data(), 16) != 1 || RAND_bytes(iv.data(), 12) != 1) return false;
    std::array<uint8_t, 32> key{};
    ScopedWipe wipeKey(key);
    if (!passwordKey(password, salt, kLockIterations, key)) return false;
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    int n = 0, tail = 0;
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), iv.data()) != 1 ||
        EVP_EncryptUpdate(ctx.get(), ct.data(), &n, reinterpret_cast<const uint8_t*>(plain.data()),
                          int(plain.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), ct.data() + n, &tail) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, 16, tag.data()) != 1)
        return false;
    ct.resize(size_t(n + tail));
    envelope = {{"lock", kMarker},          {"kdf", "pbkdf2-sha256"}, {"iter", kLockIterations},
                {"salt", hex_encode(salt)}, {"iv", hex_encode(iv)},   {"tag", hex_encode(tag)},
                {"ct", hex_encode(ct)}};
    return true;
}

bool unlock_wallet_text(const json& envelope, std::string_view password, std::string& plain) {
    plain.clear();
    if (!is_locked_envelope(envelope) || string_field(envelope, "kdf") != "pbkdf2-sha256") return false;
    Bytes salt = hex_decode(string_field(envelope, "salt")), iv = hex_decode(string_field(envelope, "iv"));
    Bytes tag = hex_decode(string_field(envelope, "tag")), ct = hex_decode(string_field(envelope, "ct"));
    if (ct.empty()) return false;
    std::array<uint8_t, 32> key{};
    ScopedWipe wipeKey(key);
    if (!passwordKey(password, salt, iterationsOf(envelope), key)) return false;
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    std::string out(ct.size() + 16, '\0');
    ScopedWipe wipeOut(out);
    int n = 0, tail = 0;
    auto* dst = reinterpret_cast<uint8_t*>(out.data());
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), iv.data()) != 1 ||
        EVP_DecryptUpdate(ctx.get(), dst, &n, ct.data(), int(ct.size())) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, 16, tag.data()) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), dst + n, &tail) != 1)
        return false;
    plain.assign(out.data(), size_t(n + tail));
    return true;
}

}  // namespace dialo
