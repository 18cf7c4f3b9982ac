#pragma once
// The hash functions and key-stretching the wallet needs, over OpenSSL.

#include <array>
#include <cstdint>
#include <string_view>

#include "base/bytes.h"

namespace dialo {

using Hash256 = std::array<uint8_t, 32>;
using Hash160 = std::array<uint8_t, 20>;
using Hash512 = std::array<uint8_t, 64>;

// Every digest reports failure (the library could not hash) instead of answering an all-zero
// value that would then sign, address or name something.

[[nodiscard]] bool sha256(const uint8_t* data, size_t size, Hash256& out);
[[nodiscard]] inline bool sha256(const Bytes& b, Hash256& out) { return sha256(b.data(), b.size(), out); }
[[nodiscard]] inline bool sha256(std::string_view s, Hash256& out) {
    return sha256(reinterpret_cast<const uint8_t*>(s.data()), s.size(), out);
}

/// SHA-256 applied twice, as transaction ids and checksums use it.
[[nodiscard]] bool sha256d(const uint8_t* data, size_t size, Hash256& out);
[[nodiscard]] inline bool sha256d(const Bytes& b, Hash256& out) { return sha256d(b.data(), b.size(), out); }

[[nodiscard]] bool sha512(const uint8_t* data, size_t size, Hash512& out);

/// RIPEMD-160 of SHA-256: the hash an address carries.
[[nodiscard]] bool hash160(const uint8_t* data, size_t size, Hash160& out);

/// HMAC-SHA512; false only when the library fails.
[[nodiscard]] bool hmac_sha512(const uint8_t* key, size_t keySize, const uint8_t* data, size_t size, Hash512& out);
/// HMAC-SHA256; false only when the library fails.
[[nodiscard]] bool hmac_sha256(const uint8_t* key, size_t keySize, const uint8_t* data, size_t size, Hash256& out);

/// PBKDF2-HMAC-SHA512 with `iterations` rounds into a 64-byte key.
[[nodiscard]] bool pbkdf2_sha512(std::string_view password, std::string_view salt, int iterations, Hash512& out);

}  // namespace dialo
