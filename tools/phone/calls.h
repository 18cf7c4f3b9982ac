#pragma once
// dialo-phone's call commands: placing, answering and ending calls, the answer-phone and
// notification settings, the block list, the call history, and waiting for a call state.
// Call actions run on threads of their own, as the window's buttons run them.

#include <functional>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace dialo {

using PrintLine = std::function<void(const nlohmann::json&)>;

/// Runs one call command; false when the verb is not one of them.
bool callCommand(const std::string& verb, const std::string& rest, const PrintLine& print);

/// The phone state may have changed: waits look again.
void callStateMayHaveChanged();

/// At quit: waits still running answer false, call actions finish.
void finishCallCommands();

}  // namespace dialo
