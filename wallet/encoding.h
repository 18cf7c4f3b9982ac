#pragma once
// Byte and text encodings of the wallet: variable-length integers, Base58Check and
// pay-to-public-key-hash addresses and scripts.

#include <cstdint>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "wallet/hashes.h"

namespace dialo {

/// Appends a Bitcoin variable-length integer: 1, 3, 5 or 9 bytes.
void append_varint(Bytes& out, uint64_t value);

std::string base58_encode(const uint8_t* data, size_t size);
/// Decodes Base58; false on a character outside the alphabet.
[[nodiscard]] bool base58_decode(std::string_view text, Bytes& out);

/// Base58 of version, payload and the 4-byte double-SHA-256 checksum; empty when the
/// checksum cannot be computed.
std::string base58check_encode(uint8_t version, const uint8_t* payload, size_t size);

/// Hash160 of a mainnet P2PKH address; false for any other form, length or a bad checksum.
[[nodiscard]] bool decode_p2pkh_address(std::string_view address, Hash160& out);

/// Address of a Hash160 (version 0x00); empty when it cannot be computed.
std::string address_from_hash(const Hash160& h);

/// The 25-byte locking script OP_DUP OP_HASH160 <20> OP_EQUALVERIFY OP_CHECKSIG.
Bytes p2pkh_script(const Hash160& h);

/// Whether a locking script is exactly that form; fills `hash` when it is.
bool is_p2pkh_script(const Bytes& script, Hash160* hash = nullptr);

}  // namespace dialo
