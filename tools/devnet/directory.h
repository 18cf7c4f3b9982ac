#pragma once
// The platform's paymail directory: handles join by a claim signed with their identity key;
// the first valid claim of an alias owns it, and only that key may change it later. Beside it,
// the aliases of the devnet's second paymail domain, added by hand.
// Kept in <data>/directory.sqlite. One mutex serialises every call; nothing here throws.

#include <cstdint>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/devnet/sqlite_db.h"

namespace dialo::devnet {

struct PaymailEntry {
    std::string alias;
    std::string pubkey;  // 66 lower-case hex
    std::string address;
    std::string avatar;
    std::string ordAddress;
    std::string bnPub;
    std::string bnAddress;
    int64_t ts = 0;  // claim time, Unix seconds
};

struct ClaimResult {
    int status = 200;   // HTTP status to answer with
    std::string error;  // empty when the claim was taken
    PaymailEntry entry;
};

class Directory {
public:
    [[nodiscard]] bool open(const std::string& dir, std::string& error);
    void close();

    /// Checks and records a claim object (alias, pubkey, address, avatar, ordAddress, bnPub,
    /// bnAddress, ts, sig). `now` in Unix seconds bounds how old or new "ts" may be.
    ClaimResult claim(const nlohmann::json& body, int64_t now);

    /// The entry of a lower-case alias.
    [[nodiscard]] bool lookup(const std::string& alias, PaymailEntry& out);

    /// Whether some alias is held by this identity key (66 lower-case hex).
    bool hasPubkey(const std::string& pubkey);

    /// Hosts an alias on the devnet's second paymail domain, paid at `address` (replacing any
    /// earlier address). The alias is kept lower-cased.
    [[nodiscard]] bool hostAlias(const std::string& alias, const std::string& address, std::string& error);

    /// The address of an alias hosted on the second paymail domain.
    [[nodiscard]] bool hostedAddress(const std::string& alias, std::string& address);

private:
    std::mutex mutex_;
    SqlitePtr db_;  // guarded by mutex_
};

/// The text the identity key signs for a claim, fields joined by "|".
std::string claimText(const PaymailEntry& e);

/// 1 to 64 characters of a-z, 0-9, ".", "_", "-", starting with a letter or digit.
bool validAlias(const std::string& alias);

}  // namespace dialo::devnet
