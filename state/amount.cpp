#include "state/amount.h"

#include <cstdio>

namespace dialo {

std::string formatAmount(int64_t sats, bool bsv) {
    if (!bsv) return std::to_string(sats) + " sats";
    constexpr uint64_t kSatsPerCoin = 100000000;
    // Unsigned, so that the most negative amount has an absolute value too.
    const uint64_t magnitude = sats < 0 ? 0 - uint64_t(sats) : uint64_t(sats);
    std::string text = sats < 0 ? "-" : "";
    text += std::to_string(magnitude / kSatsPerCoin);
    if (uint64_t rest = magnitude % kSatsPerCoin; rest != 0) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%08llu", static_cast<unsigned long long>(rest));
        std::string fraction = digits;
        fraction.erase(fraction.find_last_not_of('0') + 1);
        text += "." + fraction;
    }
    return text + " bsv";
}

std::string balanceText(const std::string& handle, int64_t sats, bool bsv) {
    if (sats < 0) return {};
    return handle.empty() ? formatAmount(sats, bsv) : handle + "   " + formatAmount(sats, bsv);
}

}  // namespace dialo
