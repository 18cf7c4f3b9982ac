#pragma once
// One spendable output owned by the wallet, and one output of a transaction being built.

#include <cstdint>
#include <string>

#include "base/bytes.h"
#include "wallet/hashes.h"

namespace dialo {

struct Coin {
    std::string txid;      // 64 hex characters, display order
    uint32_t vout = 0;
    int64_t sats = 0;
    Bytes unlocking;       // empty until signed
    Bytes locking;         // the funded output's script when known
    std::string priv;      // 64 hex of the owning key, or empty for the default key
    std::string pub;       // 66 hex matching priv, or empty
    Hash160 owner{};       // Hash160 of the owning address
};

struct TxOutput {
    int64_t sats = 0;
    Bytes locking;
};

}  // namespace dialo
