#pragma once
// One spendable output owned by the wallet, and one output of a transaction being built.
// A coin names its owner only: keys are looked up under the wallet lock when a spend signs.

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
    Hash160 owner{};       // Hash160 of the owning address; its key is found when signing
};

struct TxOutput {
    int64_t sats = 0;
    Bytes locking;
};

}  // namespace dialo
