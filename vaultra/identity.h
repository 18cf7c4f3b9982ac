#pragma once
// The wallet's identity key (m/44'/236'/100'/0/0) and BN key (m/44'/236'/102'/0/0), the
// identity signature carried by signed envelopes, compact "Bitcoin Signed Message"
// signatures, and the verifiers of other users' signatures.

#include <array>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "wallet/hashes.h"
#include "wallet/openssl_handles.h"
#include "wallet/wallet_state.h"

namespace dialo {

/// SHA-256² of 0x18 "Bitcoin Signed Message:\n" varint(len) message; false when the
/// digest fails.
[[nodiscard]] bool signed_message_digest(std::string_view message, Hash256& digest);

/// The identity private key as 64 hex characters. Takes the wallet state lock.
[[nodiscard]] bool identity_key_hex(std::string& privHex, std::string& error);

/// Signs a message with the identity key: 64-byte r‖s in Base64 (88 characters), no header.
/// Takes the wallet state lock.
[[nodiscard]] bool identity_sign(std::string_view message, std::string& pubHex, std::string& signature,
                                 std::string& error);

/// identity_sign for a caller that already holds the wallet state lock.
[[nodiscard]] bool identity_sign_held(WalletState& w, std::string_view message, std::string& pubHex,
                                      std::string& signature, std::string& error) REQUIRES(walletMutex());

/// derive_bn_key for a caller that already holds the wallet state lock.
[[nodiscard]] bool derive_bn_key_held(WalletState& w, std::string& pubHex, std::string& privHex, std::string& address,
                                      std::string& error) REQUIRES(walletMutex());

/// The BN key, used by the platform's paymail claim. Takes the wallet state lock.
[[nodiscard]] bool derive_bn_key(std::string& pubHex, std::string& privHex, std::string& address,
                                 std::string& error);

/// Compact, recoverable signature (header 31..34, r, s) in Base64 over the signed-message digest.
[[nodiscard]] bool sign_message_compact(std::string_view privHex, std::string_view message, std::string& signature);

/// The public key that made a 64-byte r‖s over a digest, for recovery id 0..3: 33 bytes when
/// `compressed`, else 65; false (and empty) when there is none.
[[nodiscard]] bool recover_public_key(const Hash256& digest, const uint8_t* rs64, int recoveryId, bool compressed,
                                      Bytes& pubkey);

/// ECDSA check of a 64-byte r‖s (or 65 bytes, whose first byte is ignored) against a 33- or
/// 65-byte public key.
bool verify_signature(const Hash256& digest, const Bytes& signature, const Bytes& pubkey);

/// Accepts a signature over the signed-message digest, the SHA-256, or the double SHA-256
/// of the message.
bool verify_message(std::string_view message, std::string_view pubHex, std::string_view signatureBase64);

/// 66 lower-case hex characters of a 33-byte key, or of a 65-byte key re-encoded compressed;
/// empty for anything else.
std::string normalize_pubkey(const Bytes& pubkey);

/// Hex with white space trimmed at the ends and one "0x"/"0X" removed; false on odd length or
/// a non-hex pair.
[[nodiscard]] bool parse_hex_trimmed(std::string_view text, Bytes& out);

}  // namespace dialo
