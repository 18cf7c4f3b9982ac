#pragma once
// Which Vaultra wallet this installed copy of the phone is bound to, as the wallet client
// reads it. The connect handshake above writes the binding; everything here only keeps and
// reads it, so the wallet client never needs the handshake.

#include <string>
#include <string_view>

#include "wallet/wallet_state.h"

namespace dialo {

/// The shared platform folder Vaultra and the phone meet in.
std::string vaultra_base_dir();
/// "<base>/wallets/<id>".
std::string wallet_dir_path(const std::string& id);

/// A wallet id fit to be a path part: a plain name without "/", "\\", NUL or a leading ".".
bool is_plain_wallet_id(std::string_view id);

/// Enters app mode for one installed copy (its instance path and app name); forgets the
/// bound id. Caller holds the wallet state lock (`w`).
void set_app_instance(WalletState& w, std::string_view instance, std::string_view appName) REQUIRES(walletMutex());

/// Out of app mode with nothing bound, as a process starts.
void reset_app_binding();
bool vaultra_app_mode();
std::string app_name();
std::string app_instance();

std::string bound_wallet_id();
/// "<base>/wallets/<bound id>/wallet.json", or empty when nothing is bound.
std::string bound_wallet_file();
/// Changes the bound id. Only under the wallet state lock, so that no spend or load sees the
/// wallet change under it.
void set_bound_wallet_id(WalletState& w, const std::string& id) REQUIRES(walletMutex());

/// The bind file's name for an instance: letters and digits lower-cased, the rest "_", the
/// last 96 characters, "default" when empty.
std::string instance_key(std::string_view instance);
/// "<base>/binds/<instance key>.json".
std::string bind_file_path();
/// The wallet id of this instance's bind file; empty when missing, unreadable or not a plain id.
std::string read_bind_file();
[[nodiscard]] bool write_bind_file(const std::string& id);

/// A wallet is bound, loads, and holds a valid mnemonic. Follows a bind file changed by
/// another copy of this instance, and publishes the answer (wallet/published.h). Takes the
/// wallet state lock and reads files: displays read the published view instead.
bool vaultra_connected();

}  // namespace dialo
