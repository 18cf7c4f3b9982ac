#pragma once
// Which handle's file is loaded, and the one-time move out of the old single-file layout.

#include <string>

#include <nlohmann/json_fwd.hpp>

#include "state/phone_state.h"

namespace dialo {

/// Saves the outgoing handle's lists, clears them and loads (or migrates) the new handle's
/// file; raises the history-refresh and restore-positions requests and tells the window.
/// Nothing happens when the handle has the current store key. Takes the phone-state mutex.
void switch_store_handle(const std::string& handle);

/// The store key of the loaded handle file; empty when none is loaded.
std::string current_store_key();

/// Loads the current key's file, migrating from the shared file when it has none.
/// Caller holds the phone-state mutex and the store lock. False when nothing could be read
/// (shared or per-handle file unreadable): the lists are then not the handle's.
bool load_handle_file(PhoneState& st) REQUIRES(phoneMutex());

/// Gives the old layout's saved messages to the first handle that loads: in `doc`, drops
/// them unless the current key owns them (recording the owner in the shared file S).
void legacy_saved_check(nlohmann::json& shared, nlohmann::json& doc);

/// Numbers saved messages 1..N: other people's first, then the user's own, list order kept.
/// True when any number changed.
bool renumber_saved(PhoneState& st) REQUIRES(phoneMutex());

/// Atomic requests raised by a switch; reading one clears it.
bool take_history_refresh_request();
bool take_restore_positions_request();

}  // namespace dialo
