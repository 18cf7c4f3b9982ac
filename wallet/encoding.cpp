#include "wallet/encoding.h"

#include <algorithm>
#include <cstring>

namespace dialo {
namespace {

constexpr char kBase58[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

int base58Value(char c) {
    const char* p = std::strchr(kBase58, c);
    return (c == '\0' || p == nullptr) ? -1 : int(p - kBase58);
}

}  // namespace

void append_varint(Bytes& out, uint64_t value) {
    auto little = [&out](uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out.push_back(uint8_t(v >> (8 * i)));
    };
    if (value < 253) {
        out.push_back(uint8_t(value));
    } else if (value <= 0xFFFF) {
        out.push_back(0xFD);
        little(value, 2);
    } else if (value <= 0xFFFFFFFFu) {
        out.push_back(0xFE);
        little(value, 4);
    } else {
        out.push_back(0xFF);
        little(value, 8);
    }
}

std::string base58_encode(const uint8_t* data, size_t size) {
    size_t zeros = 0;
    while (zeros < size && data[zeros] == 0) ++zeros;
    // Base-58 digits, least significant first; log(256)/log(58) < 1.38.
    std::vector<uint8_t> digits;
    digits.reserve(size * 138 / 100 + 1);
    for (size_t i = zeros; i < size; ++i) {
        int carry = data[i];
        for (uint8_t& d : digits) {
            carry += 256 * d;
            d = uint8_t(carry % 58);
            carry /= 58;
        }
        while (carry > 0) {
            digits.push_back(uint8_t(carry % 58));
            carry /= 58;
        }
    }
    std::string out(zeros, '1');
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) out.push_back(kBase58[*it]);
    return out;
}

bool base58_decode(std::string_view text, Bytes& out) {
    out.clear();
    size_t ones = 0;
    while (ones < text.size() && text[ones] == '1') ++ones;
    std::vector<uint8_t> bytes;  // least significant first
    for (size_t i = ones; i < text.size(); ++i) {
        int carry = base58Value(text[i]);
        if (carry < 0) return false;
        for (uint8_t& b : bytes) {
            carry += 58 * b;
            b = uint8_t(carry & 0xFF);
            carry >>= 8;
        }
        while (carry > 0) {
            bytes.push_back(uint8_t(carry & 0xFF));
            carry >>= 8;
        }
    }
    out.assign(ones, 0);
    out.insert(out.end(), bytes.rbegin(), bytes.rend());
    return true;
}

std::string base58check_encode(uint8_t version, const uint8_t* payload, size_t size) {
    Bytes data;
    data.reserve(size + 5);
    data.push_back(version);
    data.insert(data.end(), payload, payload + size);
    Hash256 check{};
    if (!sha256d(data, check)) return {};
    data.insert(data.end(), check.begin(), check.begin() + 4);
    return base58_encode(data.data(), data.size());
}

bool decode_p2pkh_address(std::string_view address, Hash160& out) {
    if (address.size() < 26 || address.size() > 35) return false;
    Bytes raw;
    if (!base58_decode(address, raw) || raw.size() != 25 || raw[0] != 0x00) return false;
    Hash256 check{};
    if (!sha256d(raw.data(), 21, check) || !std::equal(check.begin(), check.begin() + 4, raw.begin() + 21)) return false;
    std::copy(raw.begin() + 1, raw.begin() + 21, out.begin());
    return true;
}

std::string address_from_hash(const Hash160& h) { return base58check_encode(0x00, h.data(), h.size()); }

Bytes p2pkh_script(const Hash160& h) {
    Bytes s{0x76, 0xA9, 0x14};
    s.insert(s.end(), h.begin(), h.end());
    s.push_back(0x88);
    s.push_back(0xAC);
    return s;
}

bool is_p2pkh_script(const Bytes& script, Hash160* hash) {
    if (script.size() != 25 || script[0] != 0x76 || script[1] != 0xA9 || script[2] != 0x14 || script[23] != 0x88 ||
        script[24] != 0xAC)
        return false;
    if (hash) std::copy(script.begin() + 3, script.begin() + 23, hash->begin());
    return true;
}

}  // namespace dialo
