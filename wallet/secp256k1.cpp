#include "wallet/secp256k1.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <secp256k1.h>
#include <secp256k1_ecdh.h>
#include <secp256k1_recovery.h>

#include <algorithm>
#include <cstring>

#include "wallet/encoding.h"
#include "wallet/openssl_handles.h"

namespace dialo {
namespace {

// n/2, rounded down: the largest s a low-S signature may carry.
constexpr Scalar32 kHalfOrder = {0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x5D, 0x57, 0x6E, 0x73, 0x57, 0xA4,
                                 0x50, 0x1D, 0xDF, 0xE9, 0x2F, 0x46, 0x68, 0x1B, 0x20, 0xA0};

secp256k1_context* makeContext() {
    secp256k1_context* ctx = secp256k1_context_create(SECP256K1_CONTEXT_NONE);
    if (ctx == nullptr) return nullptr;
    // Blinds the generator multiplications; without fresh randomness the context still works.
    unsigned char seed[32];
    if (RAND_priv_bytes(seed, sizeof seed) == 1 && secp256k1_context_randomize(ctx, seed) != 1) {
        secp256k1_context_destroy(ctx);
        ctx = nullptr;
    }
    OPENSSL_cleanse(seed, sizeof seed);
    return ctx;
}

// Created once, used read-only from every thread afterwards. Never destroyed: detached workers
// may still sign while the process exits.
const secp256k1_context* context() {
    static secp256k1_context* const ctx = makeContext();
    return ctx;
}

// Parses only the forms peers send: 02/03 compressed and 04 uncompressed (no hybrid 06/07).
bool parseKey(const secp256k1_context* ctx, const uint8_t* data, size_t size, secp256k1_pubkey& key) {
    if (ctx == nullptr || data == nullptr) return false;
    if (!(size == 33 && (data[0] == 0x02 || data[0] == 0x03)) && !(size == 65 && data[0] == 0x04)) return false;
    return secp256k1_ec_pubkey_parse(ctx, &key, data, size) == 1;
}

template <size_t N>
bool serialiseKey(const secp256k1_context* ctx, const secp256k1_pubkey& key, std::array<uint8_t, N>& out) {
    static_assert(N == 33 || N == 65);
    size_t len = N;
    const unsigned flags = N == 33 ? SECP256K1_EC_COMPRESSED : SECP256K1_EC_UNCOMPRESSED;
    return secp256k1_ec_pubkey_serialize(ctx, out.data(), &len, &key, flags) == 1 && len == N;
}

// The shared point written as a compressed key, so that the ECIES key material stays the SHA-512
// of those 33 bytes.
int compressedPoint(unsigned char* output, const unsigned char* x32, const unsigned char* y32, void*) {
    output[0] = uint8_t(0x02 | (y32[31] & 1));
    std::memcpy(output + 1, x32, 32);
    return 1;
}

void appendDerInteger(Bytes& out, const Scalar32& v) {
    size_t start = 0;
    while (start < v.size() - 1 && v[start] == 0) ++start;
    bool pad = (v[start] & 0x80) != 0;
    out.push_back(0x02);
    out.push_back(uint8_t(v.size() - start + (pad ? 1 : 0)));
    if (pad) out.push_back(0x00);
    out.insert(out.end(), v.begin() + ptrdiff_t(start), v.end());
}

}  // namespace

void init_curve() { (void)context(); }

bool is_valid_scalar(const uint8_t* priv32) {
    const secp256k1_context* ctx = context();
    return ctx != nullptr && secp256k1_ec_seckey_verify(ctx, priv32) == 1;
}

bool is_low_s(const uint8_t* s32) {
    return !std::lexicographical_compare(kHalfOrder.begin(), kHalfOrder.end(), s32, s32 + 32);
}

bool public_key_of(const uint8_t* priv32, PubKey33& out) {
    const secp256k1_context* ctx = context();
    secp256k1_pubkey key;
    return ctx != nullptr && secp256k1_ec_pubkey_create(ctx, &key, priv32) == 1 && serialiseKey(ctx, key, out);
}

bool compress_public_key(const uint8_t* data, size_t size, PubKey33& out) {
    const secp256k1_context* ctx = context();
    secp256k1_pubkey key;
    return parseKey(ctx, data, size, key) && serialiseKey(ctx, key, out);
}

bool uncompress_public_key(const uint8_t* data, size_t size, PubKey65& out) {
    const secp256k1_context* ctx = context();
    secp256k1_pubkey key;
    return parseKey(ctx, data, size, key) && serialiseKey(ctx, key, out);
}

bool ecdsa_sign_rs(const uint8_t* priv32, const Hash256& digest, Scalar32& r, Scalar32& s) {
    const secp256k1_context* ctx = context();
    secp256k1_ecdsa_signature sig;
    std::array<uint8_t, 64> rs{};
    // Null nonce function: RFC 6979, and the library always gives the low S.
    if (ctx == nullptr || secp256k1_ecdsa_sign(ctx, &sig, digest.data(), priv32, nullptr, nullptr) != 1 ||
        secp256k1_ecdsa_signature_serialize_compact(ctx, rs.data(), &sig) != 1)
        return false;
    std::copy(rs.begin(), rs.begin() + 32, r.begin());
    std::copy(rs.begin() + 32, rs.end(), s.begin());
    return true;
}

bool ecdsa_sign_recoverable(const uint8_t* priv32, const Hash256& digest, Scalar32& r, Scalar32& s, int& recoveryId) {
    const secp256k1_context* ctx = context();
    secp256k1_ecdsa_recoverable_signature sig;
    std::array<uint8_t, 64> rs{};
    if (ctx == nullptr ||
        secp256k1_ecdsa_sign_recoverable(ctx, &sig, digest.data(), priv32, nullptr, nullptr) != 1 ||
        secp256k1_ecdsa_recoverable_signature_serialize_compact(ctx, rs.data(), &recoveryId, &sig) != 1)
        return false;
    std::copy(rs.begin(), rs.begin() + 32, r.begin());
    std::copy(rs.begin() + 32, rs.end(), s.begin());
    return true;
}

bool ecdsa_verify_rs(const Hash256& digest, const uint8_t* r32, const uint8_t* s32, const uint8_t* pubkey,
                     size_t pubkeySize) {
    const secp256k1_context* ctx = context();
    secp256k1_pubkey key;
    if (!parseKey(ctx, pubkey, pubkeySize, key)) return false;
    std::array<uint8_t, 64> rs{};
    std::copy(r32, r32 + 32, rs.begin());
    std::copy(s32, s32 + 32, rs.begin() + 32);
    // Parsing refuses r or s not below n; verification refuses zero and, alone, a high S.
    secp256k1_ecdsa_signature sig;
    if (secp256k1_ecdsa_signature_parse_compact(ctx, &sig, rs.data()) != 1) return false;
    secp256k1_ecdsa_signature_normalize(ctx, &sig, &sig);
    return secp256k1_ecdsa_verify(ctx, &sig, digest.data(), &key) == 1;
}

bool ecdsa_recover(const Hash256& digest, const uint8_t* r32, const uint8_t* s32, int recoveryId, PubKey65& out) {
    const secp256k1_context* ctx = context();
    if (ctx == nullptr || recoveryId < 0 || recoveryId > 3) return false;
    std::array<uint8_t, 64> rs{};
    std::copy(r32, r32 + 32, rs.begin());
    std::copy(s32, s32 + 32, rs.begin() + 32);
    secp256k1_ecdsa_recoverable_signature sig;
    secp256k1_pubkey key;
    return secp256k1_ecdsa_recoverable_signature_parse_compact(ctx, &sig, rs.data(), recoveryId) == 1 &&
           secp256k1_ecdsa_recover(ctx, &key, &sig, digest.data()) == 1 && serialiseKey(ctx, key, out);
}

bool ecdh_compressed(const uint8_t* priv32, const uint8_t* pubkey, size_t pubkeySize, PubKey33& out) {
    const secp256k1_context* ctx = context();
    secp256k1_pubkey key;
    return parseKey(ctx, pubkey, pubkeySize, key) &&
           secp256k1_ecdh(ctx, out.data(), &key, priv32, compressedPoint, nullptr) == 1;
}

bool scalar_add_tweak(uint8_t* key32, const uint8_t* tweak32) {
    const secp256k1_context* ctx = context();
    Scalar32 sum{};
    ScopedWipe wipe(sum);
    std::copy(key32, key32 + 32, sum.begin());
    if (ctx == nullptr || secp256k1_ec_seckey_tweak_add(ctx, sum.data(), tweak32) != 1) return false;
    std::copy(sum.begin(), sum.end(), key32);
    return true;
}

Bytes der_encode_signature(const Scalar32& r, const Scalar32& s) {
    Bytes body;
    appendDerInteger(body, r);
    appendDerInteger(body, s);
    Bytes out(2 + body.size());
    out[0] = 0x30;
    out[1] = uint8_t(body.size());
    std::copy(body.begin(), body.end(), out.begin() + 2);
    return out;
}

bool sign_ecdsa(std::string_view privHex, const Hash256& digest, Bytes& der) {
    der.clear();
    Bytes priv = hex_decode(privHex);
    ScopedWipe wipe(priv);
    if (priv.size() != 32) return false;
    Scalar32 r{}, s{};
    if (!ecdsa_sign_rs(priv.data(), digest, r, s)) return false;
    der = der_encode_signature(r, s);
    return !der.empty();
}

}  // namespace dialo
