#pragma once
// The address book kept in the wallet file, so that every program connected to the wallet
// sees the same contacts. Each call takes the wallet state lock for its whole run.

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "wallet/wallet_state.h"

namespace dialo {

/// A copy of the contacts, in insertion order; empty when no wallet is loaded.
std::vector<Contact> contacts_list();

/// Adds a contact or replaces the note of an existing one; "success" or "error: ...".
std::string contact_add(std::string_view dest, std::string_view note);

/// Removes a contact; "success" or "error: ...".
std::string contact_remove(std::string_view dest);

/// The contacts of a wallet file document: entries that are not objects or whose destination
/// normalises to nothing are skipped; notes are trimmed and cut to 80 bytes.
std::vector<Contact> contacts_from_document(const nlohmann::json& doc);

/// The wallet file's "contacts" array; empty notes are left out.
nlohmann::json contacts_document(const std::vector<Contact>& contacts);

}  // namespace dialo
