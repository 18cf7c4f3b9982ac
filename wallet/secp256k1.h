#pragma once
// The secp256k1 curve as the wallet uses it, through libsecp256k1: key and point encodings,
// low-S ECDSA over 32-byte digests, public-key recovery, ECDH and the BIP-32 tweak. Everything
// crosses this header as bytes; scalars and coordinates are 32-byte big-endian.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/bytes.h"
#include "wallet/hashes.h"

namespace dialo {

using PubKey33 = std::array<uint8_t, 33>;
using PubKey65 = std::array<uint8_t, 65>;
using Scalar32 = std::array<uint8_t, 32>;

/// Creates the process's curve context (randomised against side channels) now rather than on
/// first use; start-up calls it once. Every function below creates it lazily otherwise.
void init_curve();

/// Whether 32 big-endian bytes are a usable private key: 1 <= k < n.
bool is_valid_scalar(const uint8_t* priv32);

/// Whether s is in the lower half of the order: s <= n/2.
bool is_low_s(const uint8_t* s32);

/// k·G written compressed; false for a scalar that is zero or not below n.
[[nodiscard]] bool public_key_of(const uint8_t* priv32, PubKey33& out);

/// A point given as 33 (02/03) or 65 (04) bytes, checked to be on the curve and written
/// compressed; false for any other form.
[[nodiscard]] bool compress_public_key(const uint8_t* data, size_t size, PubKey33& out);

/// The same check, the point written uncompressed (04, x, y).
[[nodiscard]] bool uncompress_public_key(const uint8_t* data, size_t size, PubKey65& out);

/// Signs a digest with the RFC 6979 nonce; s is always in the lower half of the order.
[[nodiscard]] bool ecdsa_sign_rs(const uint8_t* priv32, const Hash256& digest, Scalar32& r, Scalar32& s);

/// The same signature with the recovery id (0..3) that finds the signer's key again.
[[nodiscard]] bool ecdsa_sign_recoverable(const uint8_t* priv32, const Hash256& digest, Scalar32& r, Scalar32& s,
                                          int& recoveryId);

/// Plain ECDSA verification against a 33- or 65-byte public key. High S is accepted, as peers
/// may send it; r or s of zero or not below n is refused.
[[nodiscard]] bool ecdsa_verify_rs(const Hash256& digest, const uint8_t* r32, const uint8_t* s32,
                                   const uint8_t* pubkey, size_t pubkeySize);

/// The public key that made (r, s) over a digest, for recovery id 0..3, as 65 uncompressed
/// bytes; false when there is none.
[[nodiscard]] bool ecdsa_recover(const Hash256& digest, const uint8_t* r32, const uint8_t* s32, int recoveryId,
                                 PubKey65& out);

/// ECDH: the private scalar times a 33- or 65-byte public key, written compressed. False for a
/// scalar that is zero or not below n, or a key that is not a point.
[[nodiscard]] bool ecdh_compressed(const uint8_t* priv32, const uint8_t* pubkey, size_t pubkeySize, PubKey33& out);

/// key := (key + tweak) mod n, in place; false (key unchanged) when the tweak is not below n or
/// the sum is zero.
[[nodiscard]] bool scalar_add_tweak(uint8_t* key32, const uint8_t* tweak32);

/// DER of (r, s): SEQUENCE of two minimal positive INTEGERs.
Bytes der_encode_signature(const Scalar32& r, const Scalar32& s);

/// Signs a digest with a 64-hex private key into DER, low-S.
[[nodiscard]] bool sign_ecdsa(std::string_view privHex, const Hash256& digest, Bytes& der);

}  // namespace dialo
