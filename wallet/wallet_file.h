#pragma once
// The wallet file Vaultra writes, loaded into the process-wide wallet record and written
// back when the phone changes what it holds (contacts, handle). Every function taking a
// `WalletState&` expects the caller to hold the wallet state lock.

#include <string>

#include <nlohmann/json_fwd.hpp>

#include "wallet/wallet_state.h"

namespace dialo {

/// The bound wallet's file, or the platform folder's "orvane_vaultra.json" when none is bound.
std::string wallet_file_path();

/// Loads the bound wallet on demand; true when a wallet is loaded afterwards.
[[nodiscard]] bool load_wallet(WalletState& w) REQUIRES(walletMutex());

/// Writes the loaded wallet back to the file it was loaded from, keeping keys of the file this
/// program does not know and what Vaultra changed there since the load (higher counts,
/// contacts, handle, backup flag). Refuses to write over a file that has been locked
/// meanwhile or that now holds another wallet.
[[nodiscard]] bool save_wallet(WalletState& w) REQUIRES(walletMutex());

/// The avatar the wallet file names: "ord_avatar" when it is text, else its "icon" text.
std::string wallet_avatar_text(const WalletState& w);

/// True when the wallet file has a ".seal" copy beside it or carries the lock envelope.
bool wallet_is_sealed();

/// Wipes everything held in memory so that the next load reads the file again.
void reset_wallet_state(WalletState& w) REQUIRES(walletMutex());

/// Raises the account counts to the file's (never lowers them, never above 100000) and takes
/// its handle; reads the file the wallet was loaded from.
void reload_wallet_counts(WalletState& w) REQUIRES(walletMutex());

/// Reads and parses a wallet file; false when it is missing or not a JSON object. The
/// document may hold the phrase: wipe it with wipe_wallet_document before it goes.
[[nodiscard]] bool read_wallet_document(const std::string& path, nlohmann::json& doc);

/// Overwrites every text of a wallet document.
void wipe_wallet_document(nlohmann::json& doc);

}  // namespace dialo
