#pragma once
// Standard base64 ("+/" alphabet, "=" padding, never any line breaks).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"

namespace dialo {

/// Encodes bytes as one line of base64.
std::string base64Encode(const uint8_t* data, size_t size);
inline std::string base64Encode(const Bytes& bytes) { return base64Encode(bytes.data(), bytes.size()); }

/// Decodes base64; blanks and line breaks between groups are skipped. Anything else that is
/// not base64 (a stray character, misplaced padding, a length that is not whole groups)
/// gives empty bytes.
Bytes base64Decode(std::string_view text);

}  // namespace dialo
