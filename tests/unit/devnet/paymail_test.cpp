// The paymail directory takes handles only through claims signed by their identity key; the
// first valid claim of an alias owns it, and look-ups on both ports answer from it. The second
// paymail domain's host takes payments into the ledger (its look-ups and SRV answers are read by
// the phone's resolve tests).

#include "support/devnet_fixture.h"

namespace dialo::devnet::test {
namespace {

class DevnetPaymailTest : public DevnetTest {
protected:
    Reply claim(const json& body) { return post("/api/paymail/claim", body); }
    Reply lookup(const std::string& kind, const std::string& paymail) {
        return get("/api/bsvalias/" + kind + "/" + paymail);
    }
};

TEST_F(DevnetPaymailTest, FirstValidClaimOwnsTheAliasAcrossARestart) {
    start();
    Key id = keyOf('a'), pay = keyOf('b'), malloryId = keyOf('c'), malloryPay = keyOf('d'), newPay = keyOf('e');
    ASSERT_EQ(claim(signedClaim("alice", id, pay, "https://orvane.test/a.png")).status, 200);
    EXPECT_EQ(lookup("id", "alice@orvane.test").j["pubkey"], id.pub);
    EXPECT_EQ(lookup("address", "alice@elsewhere.test").status, 404);
    EXPECT_EQ(get("/api/paymail/quota/" + id.pub).j["role"], "user");
    EXPECT_EQ(get("/api/paymail/quota/" + malloryId.pub).j["role"], "guest");

    // The owner may move the address and avatar; nobody else may take the alias, even later.
    ASSERT_EQ(claim(signedClaim("alice", id, newPay, "https://orvane.test/b.png")).status, 200);
    EXPECT_EQ(claim(signedClaim("alice", malloryId, malloryPay)).status, 409);
    restart();
    EXPECT_EQ(claim(signedClaim("alice", malloryId, malloryPay)).status, 409);
    EXPECT_EQ(lookup("address", "ALICE@Orvane.Test").j["address"], newPay.address);
    EXPECT_EQ(lookup("public-profile", "alice@orvane.test").j["avatar"], "https://orvane.test/b.png");
    Reply copy = send(devnet.directoryPort(), "GET", "/api/bsvalias/address/alice@orvane.test");
    EXPECT_EQ(copy.j["address"], newPay.address) << "the directory port answers from the same claims";
}

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
    };
    for (const auto& c : cases) {
        Reply r = claim(c.claim);
        EXPECT_EQ(r.status, c.status) << c.what << ": " << r.body;
        EXPECT_TRUE(c.status == 200 || r.j["error"].is_string()) << c.what;
    }
    EXPECT_EQ(lookup("address", "erin@orvane.test").status, 404);
    EXPECT_EQ(lookup("address", "carol@orvane.test").j["address"], pay.address);
}

TEST_F(DevnetPaymailTest, HostedAliasTakesPaymentsIntoTheLedgerAndOutlivesARestart) {
    start();
    const Key carol = keyOf('3'), payer = keyOf('5');
    EXPECT_EQ(post("/devnet/paymail-add", {{"alias", "Carol"}, {"address", "1notanaddress"}}).status, 400);
    ASSERT_EQ(post("/devnet/paymail-add", {{"alias", "Carol"}, {"address", carol.address}}).j["paymail"],
              "carol@paymail.test");
    EXPECT_EQ(post("/devnet/srv", {{"domain", "paymail.test"}, {"records", {{{"priority", 1}, {"weight", 0}, {"port", 70000}, {"target", "x.test"}}}}}).status, 400);

    const int port = devnet.paymailPort();
    Reply p2p = send(port, "POST", "/api/p2p-destination/carol@paymail.test", R"({"satoshis":3})");
    ASSERT_EQ(p2p.status, 200) << p2p.body;
    Bytes raw = buildSigned({fund(payer, 10000)}, {payTo(carol, 3)}, payer);
    const json receive = {{"hex", hex_encode(raw)}, {"reference", p2p.j["reference"]}, {"metadata", json::object()}};
    Reply taken = send(port, "POST", "/api/receive-tx/carol@paymail.test", receive.dump());
    ASSERT_EQ(taken.status, 200) << taken.body;
    EXPECT_EQ(taken.j["txid"], txid_of(raw));
    EXPECT_EQ(woc("/tx/" + txid_of(raw) + "/hex").body, hex_encode(raw));

    restart();
    EXPECT_EQ(send(devnet.paymailPort(), "POST", "/api/destination/carol@paymail.test", "{}").j["output"],
              hex_encode(p2pkh_script(carol.hash)));
}

}  // namespace
}  // namespace dialo::devnet::test
