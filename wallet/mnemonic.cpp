#include "wallet/mnemonic.h"

#include <algorithm>
#include <cstring>
#include <vector>

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
    // The word values and each lower-cased word are the phrase itself: wiped on every path.
    std::array<int, kWords> values{};
    ScopedWipe wipeValues(values);
    std::string word;
    ScopedWipe wipeWord(word);
    size_t count = 0, i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
        if (i == start) break;
        if (count == kWords) return false;
        OPENSSL_cleanse(word.data(), word.size());
        word.assign(text.substr(start, i - start));
        for (char& c : word)
            if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        int v = wordIndex(word);
        if (v < 0) return false;
        values[count++] = v;
    }
    if (count != kWords) return false;

    // 132 bits, most significant first: 128 bits of entropy, then 4 checksum bits.
    std::array<uint8_t, 17> bits{};
    for (size_t w = 0; w < kWords; ++w)
        for (int b = 0; b < 11; ++b)
            if (values[w] & (1 << (10 - b))) {
                size_t pos = w * 11 + size_t(b);
                bits[pos / 8] |= uint8_t(0x80 >> (pos % 8));
            }
    Hash256 check{};
    bool ok = sha256(bits.data(), 16, check) && (check[0] & 0xF0) == (bits[16] & 0xF0);
    OPENSSL_cleanse(bits.data(), bits.size());
    OPENSSL_cleanse(check.data(), check.size());
    return ok;
}

bool mnemonic_to_seed(std::string_view text, Hash512& seed) {
    return pbkdf2_sha512(text, "mnemonic", kSeedRounds, seed);
}

std::string mnemonic_from_entropy(const std::array<uint8_t, 16>& entropy) {
    Hash256 check{};
    ScopedWipe wipeCheck(check);
    if (!sha256(entropy.data(), entropy.size(), check)) return {};
    std::array<uint8_t, 17> bits{};
    ScopedWipe wipeBits(bits);
    std::copy(entropy.begin(), entropy.end(), bits.begin());
    bits[16] = check[0] & 0xF0;
    std::string out;
    out.reserve(12 * 9);  // the longest words are 8 letters: growing would leave copies behind
    for (size_t w = 0; w < kWords; ++w) {
        int v = 0;
        for (size_t b = 0; b < 11; ++b) {
            size_t pos = w * 11 + b;
            v = v << 1 | ((bits[pos / 8] >> (7 - pos % 8)) & 1);
        }
        if (w) out.push_back(' ');
        out += kBip39English[size_t(v)];
    }
    return out;
}

}  // namespace dialo
