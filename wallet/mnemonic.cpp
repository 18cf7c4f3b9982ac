#include "wallet/mnemonic.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/text.h"
#include "wallet/bip39_words.h"
#include "wallet/openssl_handles.h"

namespace dialo {
namespace {

constexpr size_t kWords = 12;
constexpr int kSeedRounds = 2048;

int wordIndex(const std::string& word) {
    auto it = std::lower_bound(kBip39English.begin(), kBip39English.end(), word,
                               [](const char* a, const std::string& b) { return std::strcmp(a, b.c_str()) < 0; });
    if (it == kBip39English.end() || word != *it) return -1;
    return int(it - kBip39English.begin());
}

}  // namespace

bool validate_mnemonic(std::string_view text) {
    std::vector<int> values;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
        if (i == start) break;
        if (values.size() == kWords) return false;
        int v = wordIndex(lowerAscii(std::string(text.substr(start, i - start))));
        if (v < 0) return false;
        values.push_back(v);
    }
    if (values.size() != kWords) return false;

    // 132 bits, most significant first: 128 bits of entropy, then 4 checksum bits.
    std::array<uint8_t, 17> bits{};
    for (size_t w = 0; w < kWords; ++w)
        for (int b = 0; b < 11; ++b)
            if (values[w] & (1 << (10 - b))) {
                size_t pos = w * 11 + size_t(b);
                bits[pos / 8] |= uint8_t(0x80 >> (pos % 8));
            }
    Hash256 check = sha256(bits.data(), 16);
    bool ok = (check[0] & 0xF0) == (bits[16] & 0xF0);
    OPENSSL_cleanse(bits.data(), bits.size());
    return ok;
}

bool mnemonic_to_seed(std::string_view text, Hash512& seed) {
    return pbkdf2_sha512(text, "mnemonic", kSeedRounds, seed);
}

std::string mnemonic_from_entropy(const std::array<uint8_t, 16>& entropy) {
    Hash256 check = sha256(entropy.data(), entropy.size());
    std::array<uint8_t, 17> bits{};
    std::copy(entropy.begin(), entropy.end(), bits.begin());
    bits[16] = check[0] & 0xF0;
    std::string out;
    for (size_t w = 0; w < kWords; ++w) {
        int v = 0;
        for (size_t b = 0; b < 11; ++b) {
            size_t pos = w * 11 + b;
            v = v << 1 | ((bits[pos / 8] >> (7 - pos % 8)) & 1);
        }
        if (w) out.push_back(' ');
        out += kBip39English[size_t(v)];
    }
    OPENSSL_cleanse(bits.data(), bits.size());
    return out;
}

}  // namespace dialo
