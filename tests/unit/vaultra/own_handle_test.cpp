// The own handle as the claim carries it.

#include <gtest/gtest.h>

#include "vaultra/own_handle.h"

namespace dialo {
namespace {

TEST(OwnHandle, ClaimTextAndHandleForms) {
    EXPECT_EQ(normalize_own_handle(" @$Alice.Smith@orvane.test \r\n"), "alice.smith");
    EXPECT_EQ(claim_text("Bob", "02AB", "1addr", "", "", "", "", 1700000000),
              "OV-PAYMAIL-CLAIM|bob|02ab|1addr||1700000000");
    EXPECT_EQ(claim_text("bob", "02ab", "1addr", "pic", "1ord", "", "", 5), "OV-PAYMAIL-CLAIM|bob|02ab|1addr|pic|1ord|5");
    EXPECT_EQ(claim_text("bob", "02ab", "1addr", "pic", "1ord", "03bn", "1bn", 5),
              "OV-PAYMAIL-CLAIM|bob|02ab|1addr|pic|1ord|03bn|1bn|5");
}

}  // namespace
}  // namespace dialo
