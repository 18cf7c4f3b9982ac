#pragma once
// The connect handshake with Vaultra, through files in the shared platform folder: the wallet
// index and its lock, the connect request and reply files, and the bind file it writes for
// the wallet client to read (wallet/binding.h).

#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "wallet/binding.h"

namespace dialo {

/// The index lock: a recursive process-wide mutex plus byte 0 of "wallets.lock".
void lock_wallets();
void unlock_wallets();
struct WalletsLock {
    WalletsLock() { lock_wallets(); }
    ~WalletsLock() { unlock_wallets(); }
    WalletsLock(const WalletsLock&) = delete;
    WalletsLock& operator=(const WalletsLock&) = delete;
};

/// Start-up: enters app mode, migrates a legacy wallet, and binds this instance (from its bind
/// file, or to the only wallet of the index).
void bind_instance(std::string_view instance, std::string_view appName);

/// Asks Vaultra to approve a wallet and loads it; "success" or a text beginning "error: ".
/// Blocks for up to 60 seconds. Arm it first (vaultra_connect_arm).
std::string vaultra_connect();

/// Clears an earlier abort. A front end calls it before it starts the thread that connects, so
/// that an abort which comes before that thread gets going is kept, not lost.
void vaultra_connect_arm();

/// Makes a vaultra_connect give up at its next poll, or at once when it has not begun (used at
/// shutdown). Stays in force until the next arm.
void vaultra_connect_abort();

/// Forgets the bound wallet for this instance; always "success".
std::string vaultra_disconnect();

/// The index name of a wallet, or the id itself when it is not listed.
std::string wallet_display_name(const std::string& id);

/// Sets a wallet's name in the index to its handle.
void name_wallet(const std::string& id, const std::string& handle);

/// True when a `vaultra watch` is running or a Vaultra could be started.
bool launch_vaultra();

/// "w" followed by Unix milliseconds; strictly increasing within the process.
std::string new_wallet_id();

/// The index as an object with a "wallets" array (empty when missing or unreadable).
nlohmann::json load_wallet_index();
[[nodiscard]] bool save_wallet_index(const nlohmann::json& index);

/// Paths below the base folder.
std::string connect_dir_path();
std::string watch_lock_path();

}  // namespace dialo
