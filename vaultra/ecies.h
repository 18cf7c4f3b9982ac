#pragma once
// Electrum ECIES ("BIE1"): ECDH on secp256k1, SHA-512 key split, AES-128-CBC and
// HMAC-SHA256. Stateless and safe from any thread.

#include <string>
#include <string_view>

#include "base/bytes.h"
#include "wallet/secp256k1.h"

namespace dialo {

/// Private scalar times a 33- or 65-byte public key, written compressed.
[[nodiscard]] bool ecdh_shared_point(const Bytes& priv, const Bytes& pub, PubKey33& out);

/// Seals plaintext to a public key (66 or 130 hex); the blob as lower-case hex. `blobHex` is
/// cleared first and stays empty on failure.
[[nodiscard]] bool ecies_seal(std::string_view plaintext, std::string_view pubHex, std::string& blobHex);

/// Opens a blob with a 64-hex private key. A non-empty override replaces the blob's own
/// ephemeral key for the key agreement only. `plaintext` is cleared first.
[[nodiscard]] bool ecies_unseal(std::string_view blobHex, std::string_view privHex, std::string_view ephemeralOverride,
                                std::string& plaintext);

/// Lenient hex: white space anywhere is dropped, one leading "0x" removed, either case.
[[nodiscard]] bool parse_hex_bytes(std::string_view text, Bytes& out);

}  // namespace dialo
