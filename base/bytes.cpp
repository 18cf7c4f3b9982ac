#include "base/bytes.h"

namespace dialo {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string hex_encode(const uint8_t* data, size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(size * 2, '0');
    for (size_t i = 0; i < size; ++i) {
        out[2 * i] = kDigits[data[i] >> 4];
        out[2 * i + 1] = kDigits[data[i] & 15];
    }
    return out;
}

Bytes hex_decode(std::string_view text) {
    if (text.size() % 2 != 0) return {};
    Bytes out(text.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        int hi = hex_value(text[2 * i]), lo = hex_value(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return {};
        out[i] = uint8_t(hi << 4 | lo);
    }
    return out;
}

bool is_hex64(std::string_view text) { return text.size() == 64 && hex_decode(text).size() == 32; }

}  // namespace dialo
