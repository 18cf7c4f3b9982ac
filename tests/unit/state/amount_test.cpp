// Amounts and the balance line as the phone shows them.
#include <gtest/gtest.h>
#include <cstdint>
#include <limits>
#include <tuple>
#include "state/amount.h"
namespace dialo {
namespace {
TEST(Amount, SatsOrWholeCoinsWithoutTrailingZerosAndTheBalanceLine) {
    const std::tuple<int64_t, bool, const char*> cases[] = {
        {150000000, false, "150000000 sats"}, {-5, false, "-5 sats"},  {150000000, true, "1.5 bsv"},
        {100000000, true, "1 bsv"},           {-5, true, "-0.00000005 bsv"}, {0, true, "0 bsv"},
        {std::numeric_limits<int64_t>::min(), true, "-92233720368.54775808 bsv"},
    };
    for (const auto& [sats, bsv, text] : cases) EXPECT_EQ(formatAmount(sats, bsv), text) << sats << " " << bsv;
    EXPECT_EQ(balanceText("alice", 50000, false), "alice   50000 sats");
    EXPECT_EQ(balanceText("", 50000, true), "0.0005 bsv");
    EXPECT_EQ(balanceText("alice", -1, false), "") << "empty while unknown";
}
}  // namespace
}  // namespace dialo
