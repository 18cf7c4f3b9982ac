#pragma once
// Raw bytes as every layer passes them, and their hex text.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dialo {

using Bytes = std::vector<uint8_t>;

/// Lower-case hex, two digits a byte.
std::string hex_encode(const uint8_t* data, size_t size);
inline std::string hex_encode(const Bytes& b) { return hex_encode(b.data(), b.size()); }
template <size_t N>
std::string hex_encode(const std::array<uint8_t, N>& a) {
    return hex_encode(a.data(), a.size());
}

/// The value of one hex digit of either case; -1 for any other character.
int hex_value(char c);

/// Strict hex: empty on odd length or any character outside 0-9, a-f, A-F.
Bytes hex_decode(std::string_view text);

/// 64 hex characters of either case: a txid or a 32-byte key.
bool is_hex64(std::string_view text);

}  // namespace dialo
