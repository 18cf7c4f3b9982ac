// Amounts and the balance line as the phone shows them.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "state/amount.h"

namespace dialo {
namespace {

TEST(Amount, SatsOrWholeCoinsWithoutTrailingZeros) {
    struct Case {
        int64_t sats;
        bool bsv;
        const char* text;
    };
    const Case cases[] = {
        {150000000, false, "150000000 sats"},
        {-5, false, "-5 sats"},
        {150000000, true, "1.5 bsv"},
        {100000000, true, "1 bsv"},
        {-5, true, "-0.00000005 bsv"},
        {0, true, "0 bsv"},
        {123456789, true, "1.23456789 bsv"},
        {std::numeric_limits<int64_t>::min(), true, "-92233720368.54775808 bsv"},
    };
    for (const Case& c : cases) EXPECT_EQ(formatAmount(c.sats, c.bsv), c.text) << c.sats << (c.bsv ? " bsv" : " sats");
}

TEST(Amount, BalanceLineNamesTheHandleAndIsEmptyWhileUnknown) {
    EXPECT_EQ(balanceText("alice", 50000, false), "alice   50000 sats");
    EXPECT_EQ(balanceText("", 50000, true), "0.0005 bsv");
    EXPECT_EQ(balanceText("alice", -1, false), "");
}

}  // namespace
}  // namespace dialo
