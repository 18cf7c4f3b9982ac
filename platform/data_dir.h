#pragma once

#include <string>

namespace dialo {

/// The per-user platform folder shared with Vaultra: $LOCALAPPDATA, else $XDG_DATA_HOME,
/// else ~/.local/share, followed by "/Orvane". Created (owner-only) when missing.
std::string platformDirectory();

/// A folder for this user's sockets that no other user can enter or have made first:
/// $XDG_RUNTIME_DIR when it is a folder of ours closed to everyone else; else
/// `fallbackParent`/dialo-<uid>, made owner-only (tightened if it is ours but open), unless
/// it is a link, not a folder, or another user's. Empty when neither can be had.
std::string privateRuntimeDirectory(const std::string& fallbackParent = "/tmp");

}  // namespace dialo
