#pragma once

#include <string>

namespace dialo {

/// The per-user platform folder shared with Vaultra: $LOCALAPPDATA, else $XDG_DATA_HOME,
/// else ~/.local/share, followed by "/Orvane". Created (owner-only) when missing.
std::string platformDirectory();

}  // namespace dialo
