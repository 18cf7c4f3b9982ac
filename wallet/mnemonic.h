#pragma once
// The 12-word recovery phrase: validation, seed, and making one from fresh entropy.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "wallet/hashes.h"

namespace dialo {

/// True for exactly 12 words of the English list (any case, separated by spaces or tabs)
/// whose 4 checksum bits match. Longer phrases are refused even with a right checksum.
bool validate_mnemonic(std::string_view text);

/// PBKDF2-HMAC-SHA512 of the text exactly as given (no normalisation, no passphrase).
[[nodiscard]] bool mnemonic_to_seed(std::string_view text, Hash512& seed);

/// The 12 lower-case words, single-spaced, for 16 bytes of entropy; empty when the checksum
/// cannot be computed.
std::string mnemonic_from_entropy(const std::array<uint8_t, 16>& entropy);

}  // namespace dialo
