// The paymail directory takes handles only through claims signed by their identity key; the
// first valid claim of an alias owns it, and look-ups on both ports answer from it.

#include "devnet_fixture.h"
#include "vaultra/identity.h"

namespace dialo::devnet::test {
namespace {

class DevnetPaymailTest : public DevnetTest {
protected:
    // The claim object as the phone sends it, signed over the text the platform checks:
    // "OV-PAYMAIL-CLAIM|alias|pubkey|address|avatar|" [ord|bnPub|bnAddr| or ord|] ts.
    json claim(const std::string& alias, const Key& identity, const Key& pay, const std::string& avatar = "",
               const std::string& ord = "", const std::string& bnPub = "", const std::string& bnAddress = "",
               int64_t ts = 0) {
        if (ts == 0) ts = int64_t(std::time(nullptr));
        std::string text = "OV-PAYMAIL-CLAIM|" + alias + "|" + identity.pub + "|" + pay.address + "|" + avatar + "|";
        if (!bnPub.empty() && !bnAddress.empty()) text += ord + "|" + bnPub + "|" + bnAddress + "|";
        else if (!ord.empty()) text += ord + "|";
        text += std::to_string(ts);
        std::string sig;
        EXPECT_TRUE(sign_message_compact(identity.priv, text, sig));
        json body = {{"alias", alias}, {"pubkey", identity.pub}, {"address", pay.address}, {"avatar", avatar},
                     {"ts", ts},       {"sig", sig}};
        if (!ord.empty()) body["ordAddress"] = ord;
        if (!bnPub.empty()) body["bnPub"] = bnPub;
        if (!bnAddress.empty()) body["bnAddress"] = bnAddress;
        return body;
    }
    Reply lookup(const std::string& kind, const std::string& paymail) {
        return get("/api/bsvalias/" + kind + "/" + paymail);
    }
};

TEST_F(DevnetPaymailTest, FirstValidClaimOwnsTheAlias) {
    start();
    Key aliceId = keyOf('a'), alicePay = keyOf('b'), malloryId = keyOf('c'), malloryPay = keyOf('d');
    Reply first = post("/api/paymail/claim", claim("alice", aliceId, alicePay, "https://orvane.test/a.png"));
    ASSERT_EQ(first.status, 200) << first.body;

    Reply theft = post("/api/paymail/claim", claim("alice", malloryId, malloryPay));
    EXPECT_EQ(theft.status, 409);
    EXPECT_TRUE(theft.j["error"].is_string());

    EXPECT_EQ(lookup("address", "alice@orvane.test").j["address"], alicePay.address);
    EXPECT_EQ(lookup("id", "alice@orvane.test").j["pubkey"], aliceId.pub);
    EXPECT_EQ(lookup("public-profile", "alice@orvane.test").j["avatar"], "https://orvane.test/a.png");
    EXPECT_EQ(lookup("address", "ALICE@Orvane.Test").j["address"], alicePay.address);
    EXPECT_EQ(lookup("address", "alice@elsewhere.test").status, 404);
    EXPECT_EQ(lookup("address", "nobody@orvane.test").status, 404);

    Reply copy = send(devnet.directoryPort(), "GET", "/api/bsvalias/address/alice@orvane.test");
    ASSERT_EQ(copy.status, 200);
    EXPECT_EQ(copy.j["address"], alicePay.address);
}

TEST_F(DevnetPaymailTest, OwnerMayUpdateAddressAndAvatar) {
    start();
    Key id = keyOf('a'), pay = keyOf('b'), newPay = keyOf('e');
    ASSERT_EQ(post("/api/paymail/claim", claim("bob", id, pay)).status, 200);
    Reply update = post("/api/paymail/claim", claim("bob", id, newPay, "https://orvane.test/b.png"));
    ASSERT_EQ(update.status, 200) << update.body;
    EXPECT_EQ(lookup("address", "bob@orvane.test").j["address"], newPay.address);
    EXPECT_EQ(lookup("public-profile", "bob@orvane.test").j["avatar"], "https://orvane.test/b.png");
}

TEST_F(DevnetPaymailTest, ClaimWithOrdinalsAndBnKeysVerifies) {
    start();
    Key id = keyOf('a'), pay = keyOf('b'), ord = keyOf('6'), bn = keyOf('7');
    EXPECT_EQ(post("/api/paymail/claim", claim("carol", id, pay, "", ord.address, bn.pub, bn.address)).status, 200);
    EXPECT_EQ(post("/api/paymail/claim", claim("dave", id, pay, "", ord.address)).status, 200);
}

TEST_F(DevnetPaymailTest, ForgedOrMalformedClaimsAreRefused) {
    start();
    Key id = keyOf('a'), pay = keyOf('b'), other = keyOf('c');
    json forged = claim("erin", id, pay);
    forged["address"] = other.address;  // the signature covered another address
    Reply r = post("/api/paymail/claim", forged);
    EXPECT_EQ(r.status, 401);
    EXPECT_TRUE(r.j["error"].is_string());

    json wrongKey = claim("erin", other, pay);
    wrongKey["pubkey"] = id.pub;
    EXPECT_EQ(post("/api/paymail/claim", wrongKey).status, 401);

    EXPECT_EQ(post("/api/paymail/claim", claim("Erin Smith", id, pay)).status, 400);
    EXPECT_EQ(post("/api/paymail/claim", claim("erin", id, pay, "", "", "", "", 1000)).status, 400);  // stale time
    json noSig = claim("erin", id, pay);
    noSig.erase("sig");
    EXPECT_EQ(post("/api/paymail/claim", noSig).status, 400);
    EXPECT_EQ(lookup("address", "erin@orvane.test").status, 404);
}

TEST_F(DevnetPaymailTest, QuotaNamesTheRoleOfAnIdentity) {
    start();
    Key id = keyOf('a'), pay = keyOf('b'), stranger = keyOf('c');
    ASSERT_EQ(post("/api/paymail/claim", claim("frank", id, pay)).status, 200);
    EXPECT_EQ(get("/api/paymail/quota/" + id.pub).j["role"], "user");
    EXPECT_EQ(get("/api/paymail/quota/" + stranger.pub).j["role"], "guest");
}

TEST_F(DevnetPaymailTest, ClaimsSurviveRestart) {
    start();
    Key id = keyOf('a'), pay = keyOf('b'), other = keyOf('c');
    ASSERT_EQ(post("/api/paymail/claim", claim("gina", id, pay)).status, 200);
    restart();
    EXPECT_EQ(lookup("address", "gina@orvane.test").j["address"], pay.address);
    EXPECT_EQ(post("/api/paymail/claim", claim("gina", other, other)).status, 409);
}

}  // namespace
}  // namespace dialo::devnet::test
