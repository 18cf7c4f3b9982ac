#pragma once
// The address book kept in the wallet file, so that every program connected to the wallet
// sees the same contacts. Each call takes the wallet state lock for its whole run.

#include <string>
#include <string_view>
#include <vector>

#include "wallet/wallet_state.h"

namespace dialo {

/// A copy of the contacts, in insertion order; empty when no wallet is loaded.
std::vector<Contact> contacts_list();

/// Adds a contact or replaces the note of an existing one; "success" or "error: ...".
std::string contact_add(std::string_view dest, std::string_view note);

/// Removes a contact; "success" or "error: ...".
std::string contact_remove(std::string_view dest);

}  // namespace dialo
