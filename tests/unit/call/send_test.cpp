// sendEvent as a call's senders see it: each way a send can end, what it leaves in the phone
// state, and the transaction a peer finds on chain.

#include <openssl/crypto.h>

#include <nlohmann/json.hpp>

#include "../wallet/funded_wallet_fixture.h"
#include "base/config.h"
#include "call/background.h"
#include "call/event.h"
#include "call/send.h"
#include "state/phone_state.h"
#include "tools/devnet/ledger.h"
#include "vaultra/envelope.h"
#include "vaultra/identity.h"

namespace dialo::test {
namespace {

using devnet::test::Key;
using devnet::test::keyOf;
using nlohmann::json;

class SendEventTest : public FundedWalletTest {
protected:
    void SetUp() override {
        FundedWalletTest::SetUp();
        useWallet(1, "alice");
        auto g = lockPhone();
        g.state.ownHandle = "alice";
        g.state.ownPayAddress = address;
    }

    // Publishes the wallet's identity key for its handle, as its status refresh would.
    void claimAlice() {
        Key id = walletIdentity();
        publish("alice", id);
        OPENSSL_cleanse(id.priv.data(), id.priv.size());
    }

    static void setPeerKey(const std::string& pub) { lockPhone().state.peerPubKey = pub; }
    static std::string status() { return lockPhone().state.statusText; }

    const Key bob = keyOf('7'), carol = keyOf('8');
};

TEST_F(SendEventTest, EachOutcomeIsReportedAndASentEventOpensOnlyForThePeer) {
    const std::string callId = "0123456789abcdef";
    json e = buildEvent(kInvite, callId);
    EXPECT_FALSE(sendEvent(bob.address, e, kSignalRate, true));
    EXPECT_EQ(status(), "identity signature did not verify against orvane.test PKI") << "no key published yet";
    EXPECT_TRUE(e.contains("sig")) << "the event keeps what signing put in";

    claimAlice();
    e = buildEvent(kInvite, callId);
    EXPECT_FALSE(sendEvent(bob.address, e, kSignalRate, true));
    EXPECT_EQ(status(), "Could not seal to that paymail key.");
    EXPECT_EQ(e["handle"], "alice");
    EXPECT_TRUE(e.contains("pubkey") && e.contains("sig"));

    setPeerKey(bob.pub);
    setHoldFlag(false);
    e = buildEvent(kInvite, callId);
    EXPECT_FALSE(sendEvent(bob.address, e, kAudioRate, false)) << "no confirmed coin yet";
    EXPECT_TRUE(holdFlag());
    EXPECT_EQ(status(), "Holding. Waiting for a coin to clear.");
    EXPECT_FALSE(sendEvent("not-an-address", e, kSignalRate, true));
    EXPECT_FALSE(holdFlag()) << "a failed send on the same thread clears the hold";
    EXPECT_EQ(status(), "error: phone address decode failed.");

    fundWallet({3000, 3000, 3000});
    std::vector<std::string> txids;
    int64_t spentBefore = 0;
    for (const char* kind : {kInvite, kHangup}) {
        json sent = buildEvent(kind, callId);
        ASSERT_TRUE(sendEvent(bob.address, sent, kSignalRate, true)) << status();
        EXPECT_FALSE(holdFlag());
        std::string txid;
        int64_t sats;
        {
            auto g = lockPhone();
            sats = g.state.callSats;
            txid = *std::find_if(g.state.knownTxids.begin(), g.state.knownTxids.end(), [&](const std::string& t) {
                return std::find(txids.begin(), txids.end(), t) == txids.end();
            });
            EXPECT_EQ(g.state.knownTxids.size(), txids.size() + 1);
        }
        txids.push_back(txid);
        EXPECT_EQ(lockPhone().state.firstTxid, txids.front()) << "the call's first transaction stays first";

        devnet::TxRecord rec;
        ASSERT_TRUE(devnet.ledger().tx(txid, rec));
        EXPECT_EQ(sats - spentBefore, rec.fee + 2) << "the miner's fee and the two satoshis paid";
        spentBefore = sats;

        const ParsedTx tx = readTx(txid);
        int toBob = 0, toFee = 0;
        std::optional<std::string> payload;
        Hash160 feeHash{};
        ASSERT_TRUE(decode_p2pkh_address(networkConfig().eventFeeAddress, feeHash));
        for (const TxOutput& o : tx.outputs) {
            if (o.locking == p2pkh_script(bob.hash)) toBob += int(o.sats);
            if (o.locking == p2pkh_script(feeHash)) toFee += int(o.sats);
            if (auto p = payloadFromScript(o.locking); p && o.sats == 0) payload = p;
        }
        EXPECT_EQ(toBob, 1);
        EXPECT_EQ(toFee, 1);
        ASSERT_TRUE(payload);
        std::optional<json> opened = openPayloadWith(*payload, bob.priv);
        ASSERT_TRUE(opened) << *payload;
        EXPECT_EQ(*opened, sent);
        EXPECT_EQ((*opened)["kind"], kind);
        EXPECT_EQ((*opened)["pay"], address);
        EXPECT_TRUE(verify_protocol_message(*opened));
        EXPECT_FALSE(openPayloadWith(*payload, carol.priv));
    }
}

TEST_F(SendEventTest, TheCallFeeIsAPennyAtTheRateAndNothingWhenThePennyIsNotPayable) {
    fundWallet({100000});
    const std::string fee = networkConfig().callFeeAddress;
    auto paid = [&] {
        devnet::Balance b = devnet.ledger().balance(fee);
        return b.confirmed + b.unconfirmed;
    };
    struct Case {
        double gbp;
        int64_t sats;
    };
    for (const Case& c : {Case{40.0, 25000}, Case{0.000001, 0}, Case{0, 0}, Case{-3, 0}}) {
        ASSERT_EQ(post("/devnet/settings", {{"gbp", c.gbp}}).status, 200);
        const int64_t before = paid();
        payCallFee();
        EXPECT_EQ(paid() - before, c.sats) << c.gbp << " pounds a coin";
    }
}

}  // namespace
}  // namespace dialo::test
