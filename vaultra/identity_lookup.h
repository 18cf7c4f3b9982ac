#pragma once
// Other users' identity keys as the platform publishes them per handle, cached for 30 minutes,
// and their avatars, fetched once per handle in the background for the cards.

#include <string>
#include <string_view>

#include "base/bytes.h"

namespace dialo {

/// The identity key the platform publishes for a handle on its own domain: 66 lower-case hex,
/// or empty when none is found. A paymail naming the actor on another domain gives empty.
/// A key is asked again after 30 minutes; when the directory cannot be reached then, the last
/// good key serves for up to a day. With `rememberUnknown` (events from anyone), an actor the
/// directory has no key for is not asked about again for a minute.
std::string identity_lookup(std::string_view actor, std::string_view paymail = {}, bool rememberUnknown = false);

/// True when `pubHex` (any case, compressed or not) is the actor's published identity key.
bool identity_matches(std::string_view actor, std::string_view pubHex, std::string_view paymail = {},
                      bool rememberUnknown = false);

/// Starts at most one background fetch of a handle's avatar for the life of the process.
void request_avatar(const std::string& handle);

/// Forgets every cached key, unknown actor and avatar, as a process starts. An avatar fetch
/// still running may store its picture afterwards.
void reset_identity_cache();

/// The fetched avatar picture's bytes (16 bytes to under 2 MiB, PNG or JPEG), or empty.
Bytes avatar_for(const std::string& handle);

/// "PNG" or "JPEG" when the bytes begin as such a file does, else null.
const char* avatar_format(const Bytes& bytes);

}  // namespace dialo
