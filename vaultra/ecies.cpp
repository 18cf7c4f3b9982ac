#include "vaultra/ecies.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "wallet/encoding.h"
#include "wallet/openssl_handles.h"

namespace dialo {
namespace {

constexpr uint8_t kMagic[4] = {'B', 'I', 'E', '1'};
constexpr size_t kKeyOffset = 4;
constexpr size_t kCipherOffset = 37;
constexpr size_t kMacSize = 32;
constexpr size_t kSmallestBlob = 85;  // magic, key, one AES block, MAC

// SHA-512 of the shared point, split into IV 0-15, AES key 16-31 and MAC key 32-63.
struct SealKeys {
    Hash512 bytes{};
    ~SealKeys() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
    const uint8_t* iv() const { return bytes.data(); }
    const uint8_t* aesKey() const { return bytes.data() + 16; }
    const uint8_t* macKey() const { return bytes.data() + 32; }
};

bool deriveKeys(const Bytes& priv, const Bytes& pub, SealKeys& keys) {
    PubKey33 shared{};
    ScopedWipe wipe(shared);
    return ecdh_shared_point(priv, pub, shared) && sha512(shared.data(), shared.size(), keys.bytes);
}

bool aes128cbc(bool encrypt, const SealKeys& keys, const uint8_t* in, size_t size, std::string& out) {
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || size > size_t(INT32_MAX) - 32) return false;
    if (EVP_CipherInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, keys.aesKey(), keys.iv(), encrypt ? 1 : 0) != 1)
        return false;
    out.assign(size + 16, '\0');
    int n = 0, tail = 0;
    auto* dst = reinterpret_cast<unsigned char*>(out.data());
    if (EVP_CipherUpdate(ctx.get(), dst, &n, in, int(size)) != 1 || EVP_CipherFinal_ex(ctx.get(), dst + n, &tail) != 1) {
        OPENSSL_cleanse(out.data(), out.size());
        out.clear();
        return false;
    }
    out.resize(size_t(n + tail));
    return true;
}

// A fresh ephemeral scalar in [1, n); a zero or out-of-range draw is drawn again.
bool drawEphemeral(Scalar32& eph) {
    for (int draw = 0; draw < 8; ++draw) {
        if (RAND_priv_bytes(eph.data(), int(eph.size())) != 1) return false;
        if (is_valid_scalar(eph.data())) return true;
    }
    return false;
}

}  // namespace

bool parse_hex_bytes(std::string_view text, Bytes& out) {
    out.clear();
    // The text may be a private key: the compacted copy is wiped like the key bytes.
    std::string compact;
    ScopedWipe wipeCompact(compact);
    compact.reserve(text.size());
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c))) compact.push_back(c);
    std::string_view digits = compact;
    if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits.remove_prefix(2);
    if (digits.size() % 2 != 0) return false;
    out = hex_decode(digits);
    return out.size() * 2 == digits.size();
}

bool ecdh_shared_point(const Bytes& priv, const Bytes& pub, PubKey33& out) {
    if (priv.size() != 32 || (pub.size() != 33 && pub.size() != 65)) return false;
    return ecdh_compressed(priv.data(), pub.data(), pub.size(), out);
}

bool ecies_seal(std::string_view plaintext, std::string_view pubHex, std::string& blobHex) {
    blobHex.clear();
    Bytes pub;
    if (!parse_hex_bytes(pubHex, pub)) return false;

    Bytes eph(32);
    ScopedWipe wipeEph(eph);
    Scalar32 scalar{};
    ScopedWipe wipeScalar(scalar);
    if (!drawEphemeral(scalar)) return false;
    std::copy(scalar.begin(), scalar.end(), eph.begin());
    PubKey33 ephPub{};
    if (!public_key_of(eph.data(), ephPub)) return false;

    SealKeys keys;
    if (!deriveKeys(eph, pub, keys)) return false;
    std::string cipher;
    if (!aes128cbc(true, keys, reinterpret_cast<const uint8_t*>(plaintext.data()), plaintext.size(), cipher))
        return false;

    Bytes blob(kCipherOffset + cipher.size() + kMacSize);
    std::memcpy(blob.data(), kMagic, sizeof kMagic);
    std::memcpy(blob.data() + kKeyOffset, ephPub.data(), ephPub.size());
    std::memcpy(blob.data() + kCipherOffset, cipher.data(), cipher.size());
    const size_t macAt = blob.size() - kMacSize;
    Hash256 mac{};
    if (!hmac_sha256(keys.macKey(), 32, blob.data(), macAt, mac)) return false;
    std::copy(mac.begin(), mac.end(), blob.begin() + ptrdiff_t(macAt));
    blobHex = hex_encode(blob);
    return true;
}

bool ecies_unseal(std::string_view blobHex, std::string_view privHex, std::string_view ephemeralOverride,
                  std::string& plaintext) {
    plaintext.clear();
    Bytes blob, priv;
    ScopedWipe wipePriv(priv);
    if (!parse_hex_bytes(blobHex, blob) || blob.size() < kSmallestBlob || !std::equal(kMagic, kMagic + 4, blob.begin()))
        return false;
    if (!parse_hex_bytes(privHex, priv) || priv.size() != 32) return false;

    Bytes ephPub;
    if (ephemeralOverride.empty() || !parse_hex_bytes(ephemeralOverride, ephPub) || ephPub.size() < 33)
        ephPub.assign(blob.begin() + kKeyOffset, blob.begin() + kCipherOffset);

    SealKeys keys;
    if (!deriveKeys(priv, ephPub, keys)) return false;
    const size_t macAt = blob.size() - kMacSize;
    Hash256 mac{};
    if (!hmac_sha256(keys.macKey(), 32, blob.data(), macAt, mac)) return false;
    if (CRYPTO_memcmp(mac.data(), blob.data() + macAt, kMacSize) != 0) return false;
    if (macAt <= kCipherOffset) return false;
    return aes128cbc(false, keys, blob.data() + kCipherOffset, macAt - kCipherOffset, plaintext);
}

}  // namespace dialo
