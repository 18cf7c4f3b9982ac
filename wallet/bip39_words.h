#pragma once
// The mnemonic word list.

#include <array>

namespace dialo {

/// BIP-39 English words, sorted, in their published order.
extern const std::array<const char*, 2048> kBip39English;

}  // namespace dialo
