#pragma once
// Starting the phone when the user logs in: an XDG autostart entry,
// $XDG_CONFIG_HOME/autostart/dialo.desktop (~/.config/autostart when unset), whose Exec line
// names the running executable.

#include <string>

namespace dialo {

/// Where the entry lives; empty when neither XDG_CONFIG_HOME nor HOME says.
std::string startupEntryPath();

/// The entry that starts `program` (a full path): its Exec line quoted so that spaces, quotes,
/// backslashes, '$' and '%' in the path reach the program unchanged.
std::string startupEntryText(const std::string& program);

/// True when the entry exists, the session is not told to skip it, and its Exec holds at least
/// a quoted path. Any failure to read it means not registered.
bool registeredForStartup();

/// Removes the entry when registered, else writes it for the running executable (replacing
/// whatever stood there at once, never half). False with `error` set when nothing changed.
[[nodiscard]] bool toggleStartup(std::string& error);

}  // namespace dialo
