#pragma once
// The binding of this installed copy of the phone to one Vaultra wallet, through files in the
// shared platform folder: the wallet index and its lock, per-instance bind files, and the
// connect request and reply files.

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace dialo {

/// The shared folder, created when missing.
std::string vaultra_base_dir();

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
/// Blocks for up to 60 seconds.
std::string vaultra_connect();

/// Makes a waiting vaultra_connect give up at its next poll (used at shutdown).
void vaultra_connect_abort();

/// Forgets the bound wallet for this instance; always "success".
std::string vaultra_disconnect();

/// A wallet is bound, loads, and holds a valid mnemonic.
bool vaultra_connected();

bool vaultra_app_mode();
std::string bound_wallet_id();
/// "<base>/wallets/<bound id>/wallet.json", or empty when nothing is bound.
std::string bound_wallet_file();

/// The index name of a wallet, or the id itself when it is not listed.
std::string wallet_display_name(const std::string& id);

/// Sets a wallet's name in the index to its handle.
void name_wallet(const std::string& id, const std::string& handle);

/// True when a `vaultra watch` is running or a Vaultra could be started.
bool launch_vaultra();

/// The bind file's name for an instance: letters and digits lower-cased, the rest "_", the
/// last 96 characters, "default" when empty.
std::string instance_key(std::string_view instance);

/// "w" followed by Unix milliseconds; strictly increasing within the process.
std::string new_wallet_id();

/// The index as an object with a "wallets" array (empty when missing or unreadable).
nlohmann::json load_wallet_index();
[[nodiscard]] bool save_wallet_index(const nlohmann::json& index);

/// Paths below the base folder.
std::string wallet_dir_path(const std::string& id);
std::string connect_dir_path();
std::string watch_lock_path();

}  // namespace dialo
