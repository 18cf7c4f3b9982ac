#pragma once
// Pushing a signed transaction to the network: the platform's oracle first, then WhatsOnChain,
// then ARC, with the wallet's records updated only once a route succeeded. Runs under the
// wallet state lock held by the caller.

#include <string>
#include <vector>

#include "wallet/wallet_state.h"

namespace dialo {

/// "success: " + txid, or "error: ..." with the services' own reasons. A success WhatsOnChain
/// does not show yet leaves the inputs doubted (record_broadcast).
std::string broadcast_tx(WalletState& w, const std::vector<Coin>& inputs, const std::vector<TxOutput>& outputs,
                         std::string* txidOut = nullptr) REQUIRES(walletMutex());

/// Replies that mean the inputs were already spent by another transaction (any letter case).
bool is_conflict_reply(const std::string& text);

/// Replies that mean the inputs do not exist (exact case).
bool is_missing_inputs_reply(const std::string& text);

/// POST to ARC; false with the reason in `error`.
[[nodiscard]] bool arc_broadcast(const std::string& rawHex, const std::string& txid, std::string& error);

/// Waits up to 8 × 0.7 s for WhatsOnChain to know the txid; "success: " + txid, or empty.
std::string confirm_broadcast(WalletState& w, const std::string& txid, const std::vector<Coin>& inputs,
                              const std::vector<TxOutput>& outputs) REQUIRES(walletMutex());

}  // namespace dialo
