#pragma once
// Vaultra's side of the shared files: wallets in the index, their files, and the connect
// requests waiting for an answer.

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace dialo::vaultra_tool {

/// A failure with the one line shown to the user.
struct VaultError {
    std::string message;
};

struct WalletEntry {
    std::string id;
    std::string name;
    bool active = false;
};

struct ConnectRequest {
    std::string id;
    std::string app;
    std::string instance;
    int64_t ts = 0;
};

/// The wallets of the index whose ids are plain names (usable as a folder name).
std::vector<WalletEntry> list_wallets();

/// Adds a new HD wallet for a valid 12-word phrase; returns its id. Throws VaultError.
std::string add_wallet(const std::string& mnemonic, const std::string& name, const std::string& handle);

/// The id given, else the active wallet, else the only one. Throws VaultError.
std::string choose_wallet(const std::string& id);

std::string wallet_file_of(const std::string& id);

/// The plain wallet document; throws VaultError when unknown, unreadable or locked.
nlohmann::json read_plain_wallet(const std::string& id);

/// The document as stored (plain or locked); throws VaultError when unknown or unreadable.
nlohmann::json read_stored_wallet(const std::string& id);

/// Replaces the wallet file whole; throws VaultError on failure.
void write_wallet(const std::string& id, const nlohmann::json& doc);

/// The identity key (m/44'/236'/100'/0/0) of a plain HD wallet document: priv, pub, address.
void identity_of(const nlohmann::json& doc, std::string& priv, std::string& pub, std::string& address);

/// The receive address of a plain wallet document (HD or single key).
std::string receive_address_of(const nlohmann::json& doc);

/// Connect requests without a reply, oldest first.
std::vector<ConnectRequest> pending_requests();

/// Writes the reply to a request: approved with a wallet id, or denied.
void answer_request(const std::string& requestId, bool approve, const std::string& walletId);

}  // namespace dialo::vaultra_tool
