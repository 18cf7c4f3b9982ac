#pragma once
// The secp256k1 curve as the wallet uses it: one shared group with its constants, key and
// point encodings, and low-S ECDSA over 32-byte digests.

#include <array>
#include <cstdint>
#include <string_view>

#include "base/bytes.h"
#include "wallet/hashes.h"
#include "wallet/openssl_handles.h"

namespace dialo {

using PubKey33 = std::array<uint8_t, 33>;
using Scalar32 = std::array<uint8_t, 32>;

/// The curve and its constants, built once for the process and only read afterwards.
struct Curve {
    const EC_GROUP* group;
    const BIGNUM* order;      // n
    const BIGNUM* halfOrder;  // n >> 1
    const BIGNUM* prime;      // p
};
const Curve& secp256k1();

/// Whether 32 big-endian bytes are a usable private key: 1 <= k < n.
bool is_valid_scalar(const uint8_t* priv32);

/// k·G written compressed; false for a scalar that is zero or not below n.
[[nodiscard]] bool public_key_of(const uint8_t* priv32, PubKey33& out);

/// Decodes 33 (02/03) or 65 (04) bytes into a point on the curve; null for anything else.
EcPointPtr decode_point(const uint8_t* data, size_t size, BN_CTX* ctx);

/// Writes a point in its 33-byte compressed form; false for the point at infinity.
[[nodiscard]] bool encode_compressed(const EC_POINT* point, PubKey33& out, BN_CTX* ctx);

/// Signs a digest; s is always in the lower half of the order. The nonce comes from OpenSSL,
/// hedged with the key and the digest so that a weak random source cannot leak the key.
[[nodiscard]] bool ecdsa_sign_rs(const uint8_t* priv32, const Hash256& digest, Scalar32& r, Scalar32& s);

/// Plain ECDSA verification (high-S accepted, as peers may send it).
[[nodiscard]] bool ecdsa_verify_rs(const Hash256& digest, const uint8_t* r32, const uint8_t* s32, const EC_POINT* key,
                                   BN_CTX* ctx);

/// DER of (r, s): SEQUENCE of two minimal positive INTEGERs.
Bytes der_encode_signature(const Scalar32& r, const Scalar32& s);

/// Signs a digest with a 64-hex private key into DER, low-S.
[[nodiscard]] bool sign_ecdsa(std::string_view privHex, const Hash256& digest, Bytes& der);

}  // namespace dialo
