// A handle is taken only by a claim signed by its identity key; the first valid claim owns it.
#include "support/devnet_fixture.h"

namespace dialo::devnet::test {
namespace {
class DevnetPaymailTest : public DevnetTest {};
TEST_F(DevnetPaymailTest, OnlyWellFormedClaimsSignedByTheirKeyAreTaken) {
    start();
    Key id = keyOf('a'), pay = keyOf('b'), other = keyOf('c'), ord = keyOf('6'), bn = keyOf('7');
    json forged = signedClaim("erin", id, pay), wrongKey = signedClaim("erin", other, pay), noSig = forged;
    forged["address"] = other.address;  // the signature covered another address
    wrongKey["pubkey"] = id.pub;
    noSig.erase("sig");
    const struct {
        const char* what;
        json claim;
        int status;
    } cases[] = {
        {"address changed after signing", forged, 401},
        {"signed by another key", wrongKey, 401},
        {"alias with a blank", signedClaim("Erin Smith", id, pay), 400},
        {"stale time", signedClaim("erin", id, pay, "", "", "", "", 1000), 400},
        {"no signature", noSig, 400},
        {"ordinals and bn keys", signedClaim("carol", id, pay, "", ord.address, bn.pub, bn.address), 200},
        {"ordinals address only", signedClaim("dave", id, pay, "", ord.address), 200},
        {"the owner moves its address", signedClaim("carol", id, other), 200},
        {"another key, later", signedClaim("carol", other, other), 409},
    };
    for (const auto& c : cases) {
        Reply r = post("/api/paymail/claim", c.claim);
        EXPECT_EQ(r.status, c.status) << c.what << ": " << r.body;
        EXPECT_TRUE(c.status == 200 || r.j["error"].is_string()) << c.what;
    }
    EXPECT_EQ(get("/api/bsvalias/address/erin@orvane.test").status, 404);
    EXPECT_EQ(get("/api/bsvalias/address/Carol@Orvane.Test").j["address"], other.address);
    EXPECT_EQ(get("/api/bsvalias/id/carol@orvane.test").j["pubkey"], id.pub);
}
}  // namespace
}  // namespace dialo::devnet::test
