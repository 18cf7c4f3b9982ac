#pragma once
// The form in which a typed destination (handle, paymail or 1-address) is stored and compared.

#include <string>
#include <string_view>

namespace dialo {

/// Trims blanks, drops every leading "@" or "$", lower-cases unless it starts with "1", and
/// cuts "@" + the platform's own domain off the end.
std::string normalize_destination(std::string_view text);

}  // namespace dialo
