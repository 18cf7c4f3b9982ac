#pragma once
// Satoshi amounts as the phone shows them.

#include <cstdint>
#include <string>

namespace dialo {

/// "150000000 sats", or with `bsv` "1.5 bsv" (whole coins, then up to 8 decimals without
/// trailing zeros; "-" first for a negative amount).
std::string formatAmount(int64_t sats, bool bsv);

/// The balance line: the handle, three blanks and the amount, or the amount alone without a
/// handle; empty while the balance is unknown (negative).
std::string balanceText(const std::string& handle, int64_t sats, bool bsv);

}  // namespace dialo
