#pragma once
// Handles join the paymail directory by a claim signed with their identity key: the first
// valid claim of an alias owns it, and only that key may change it later. This checks a
// claim and records it through the storage, which keeps the ownership rule atomic.
// Nothing here throws.

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "service/storage.h"

namespace dialo::service {

struct ClaimResult {
    int status = 200;   // HTTP status to answer with
    std::string error;  // empty when the claim was taken
    PaymailEntry entry;
};

/// Checks and records a claim object (alias, pubkey, address, avatar, ordAddress, bnPub,
/// bnAddress, ts, sig). `now` in Unix seconds bounds how old or new "ts" may be.
ClaimResult takeClaim(Storage& storage, const nlohmann::json& body, int64_t now);

/// The text the identity key signs for a claim, fields joined by "|".
std::string claimText(const PaymailEntry& e);

/// 1 to 64 characters of a-z, 0-9, ".", "_", "-", starting with a letter or digit.
bool validAlias(const std::string& alias);

}  // namespace dialo::service
