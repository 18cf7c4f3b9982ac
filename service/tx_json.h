#pragma once
// Transactions in WhatsOnChain's JSON shape, as the phone's readers expect them: the devnet's
// WhatsOnChain routes build it from the ledger, the platform from its index.

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "base/bytes.h"

namespace dialo::service {

/// Where a transaction stands: its block (height -1 while unconfirmed) and the chain's tip.
struct TxPlace {
    int64_t height = -1;
    int64_t tipHeight = -1;
    std::string blockHash;  // empty when not known: no "blockhash" field then
    int64_t blockTime = 0;  // Unix seconds; 0 when not known (the time seen stands in)
    int64_t seen = 0;       // Unix seconds the network first held it
};

/// The "/tx/<txid>" object: txid, size, vin, vout (value in coins, scriptPubKey with hex,
/// asm, type, addresses, isTruncated and, for data outputs, opReturn with parts and text),
/// and block fields once confirmed; confirmations count from the tip. An empty object when
/// the bytes do not parse.
nlohmann::json txJson(const Bytes& raw, const std::string& txid, const TxPlace& place, bool withBlock = true);

/// JSON text that survives bytes which are not UTF-8 (they are replaced).
std::string dumpJson(const nlohmann::json& j);

}  // namespace dialo::service
