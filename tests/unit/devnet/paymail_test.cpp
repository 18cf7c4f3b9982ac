// The paymail directory takes handles only through claims signed by their identity key; the
// first valid claim of an alias owns it, and look-ups on both ports answer from it.

#include "support/devnet_fixture.h"

namespace dialo::devnet::test {
namespace {

class DevnetPaymailTest : public DevnetTest {
protected:
    json claim(const std::string& alias, const Key& identity, const Key& pay, const std::string& avatar = "",
               const std::string& ord = "", const std::string& bnPub = "", const std::string& bnAddress = "",
               int64_t ts = 0) {
        return signedClaim(alias, identity, pay, avatar, ord, bnPub, bnAddress, ts);
    }
    Reply post(const json& claim) { return DevnetTest::post("/api/paymail/claim", claim); }
    Reply lookup(const std::string& kind, const std::string& paymail) {
        return get("/api/bsvalias/" + kind + "/" + paymail);
    }
};

TEST_F(DevnetPaymailTest, FirstValidClaimOwnsTheAliasAcrossARestart) {
    start();
    Key id = keyOf('a'), pay = keyOf('b'), malloryId = keyOf('c'), malloryPay = keyOf('d'), newPay = keyOf('e');
    ASSERT_EQ(post(claim("alice", id, pay, "https://orvane.test/a.png")).status, 200);
    EXPECT_EQ(lookup("id", "alice@orvane.test").j["pubkey"], id.pub);
    EXPECT_EQ(lookup("public-profile", "alice@orvane.test").j["avatar"], "https://orvane.test/a.png");
    EXPECT_EQ(lookup("address", "alice@elsewhere.test").status, 404);
    EXPECT_EQ(lookup("address", "nobody@orvane.test").status, 404);
    EXPECT_EQ(get("/api/paymail/quota/" + id.pub).j["role"], "user");
    EXPECT_EQ(get("/api/paymail/quota/" + malloryId.pub).j["role"], "guest");

    // The owner may move the address and avatar; nobody else may take the alias, even later.
    ASSERT_EQ(post(claim("alice", id, newPay, "https://orvane.test/b.png")).status, 200);
    Reply theft = post(claim("alice", malloryId, malloryPay));
    EXPECT_EQ(theft.status, 409);
    EXPECT_TRUE(theft.j["error"].is_string());
    restart();
    EXPECT_EQ(post(claim("alice", malloryId, malloryPay)).status, 409);
    EXPECT_EQ(lookup("address", "ALICE@Orvane.Test").j["address"], newPay.address);
    EXPECT_EQ(lookup("public-profile", "alice@orvane.test").j["avatar"], "https://orvane.test/b.png");
    Reply copy = send(devnet.directoryPort(), "GET", "/api/bsvalias/address/alice@orvane.test");
    EXPECT_EQ(copy.j["address"], newPay.address) << "the directory port answers from the same claims";
}

TEST_F(DevnetPaymailTest, OnlyWellFormedClaimsSignedByTheirKeyAreTaken) {
    start();
    Key id = keyOf('a'), pay = keyOf('b'), other = keyOf('c'), ord = keyOf('6'), bn = keyOf('7');
    json forged = claim("erin", id, pay), wrongKey = claim("erin", other, pay), noSig = claim("erin", id, pay);
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
        {"alias with a blank", claim("Erin Smith", id, pay), 400},
        {"stale time", claim("erin", id, pay, "", "", "", "", 1000), 400},
        {"no signature", noSig, 400},
        {"ordinals and bn keys", claim("carol", id, pay, "", ord.address, bn.pub, bn.address), 200},
        {"ordinals address only", claim("dave", id, pay, "", ord.address), 200},
    };
    for (const auto& c : cases) {
        Reply r = post(c.claim);
        EXPECT_EQ(r.status, c.status) << c.what << ": " << r.body;
        EXPECT_TRUE(c.status == 200 || r.j["error"].is_string()) << c.what;
    }
    EXPECT_EQ(lookup("address", "erin@orvane.test").status, 404);
    EXPECT_EQ(lookup("address", "carol@orvane.test").j["address"], pay.address);
}

}  // namespace
}  // namespace dialo::devnet::test
