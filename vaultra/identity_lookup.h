#pragma once
// Other users' identity keys as the platform publishes them per handle, cached for 30 minutes,
// and their avatars, fetched once per handle in the background for the cards.

#include <string>
#include <string_view>

#include "base/bytes.h"

namespace dialo {

/// The identity key the platform publishes for a handle on its own domain: 66 lower-case hex,
/// or empty when none is found. A paymail naming the actor on another domain gives empty.
std::string identity_lookup(std::string_view actor, std::string_view paymail = {});

/// True when `pubHex` (any case, compressed or not) is the actor's published identity key.
bool identity_matches(std::string_view actor, std::string_view pubHex, std::string_view paymail = {});

/// Starts at most one background fetch of a handle's avatar for the life of the process.
void request_avatar(const std::string& handle);

/// The fetched avatar picture's bytes (16 bytes to under 2 MiB), or empty.
Bytes avatar_for(const std::string& handle);

}  // namespace dialo
