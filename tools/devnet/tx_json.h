#pragma once
// Transactions in WhatsOnChain's JSON shape, as the phone's readers expect them.

#include <nlohmann/json.hpp>

#include "tools/devnet/ledger.h"

namespace dialo::devnet {

/// The "/tx/<txid>" object: txid, size, vin, vout (value in coins, scriptPubKey with hex,
/// asm, type, addresses, isTruncated and, for data outputs, opReturn with parts and text),
/// and block fields once confirmed. `tipHeight` gives the confirmations.
nlohmann::json txJson(const TxRecord& tx, int64_t tipHeight, bool withBlock = true);

/// JSON text that survives bytes which are not UTF-8 (they are replaced).
std::string dumpJson(const nlohmann::json& j);

}  // namespace dialo::devnet
