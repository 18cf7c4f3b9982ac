// sendEvent's outcomes and what they leave in the phone state; live chunks; a message that goes by itself.
#include <openssl/crypto.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <set>
#include <thread>
#include <nlohmann/json.hpp>
#include "support/funded_wallet_fixture.h"
#include "support/voice_signal.h"
#include "audio/capture.h"
#include "base/base64.h"
#include "base/config.h"
#include "call/background.h"
#include "call/event.h"
#include "call/live_sender.h"
#include "call/send.h"
#include "state/phone_state.h"
#include "tools/devnet/ledger.h"
#include "vaultra/envelope.h"
#include "vaultra/identity.h"
#include "wallet/coins.h"
#include <map>
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
    void inCallWithBob(CallState state, const std::string& callId) const {
        auto g = lockPhone();
        g.state.callState = state;
        g.state.callId = callId;
        g.state.peerHandle = "bob";
        g.state.peerPayAddress = bob.address;
    }
    static std::string status() { return lockPhone().state.statusText; }
    // The events this phone sent that bob opens, by txid, with the count of each one's inputs.
    std::map<std::string, std::pair<json, size_t>> sentToBob() {
        std::set<std::string> txids;
        { auto g = lockPhone(); txids.insert(g.state.knownTxids.begin(), g.state.knownTxids.end()); }
        std::map<std::string, std::pair<json, size_t>> out;
        for (const std::string& txid : txids) {
            const ParsedTx tx = readTx(txid);
            for (const TxOutput& o : tx.outputs)
                if (auto p = payloadFromScript(o.locking); p && o.sats == 0)
                    if (auto e = openPayloadWith(*p, bob.priv)) out[txid] = {*e, tx.inputs.size()};
        }
        return out;
    }
    void leaveAMessage(const std::string& callId, const std::vector<json>& faults = {});
    // The sender's own thread makes `done` true; a minute is room for a busy machine.
    static bool waitFor(const std::function<bool()>& done) { return DevnetTest::waitFor(done, std::chrono::seconds(60)); }
    const Key bob = keyOf('7');
};
TEST_F(SendEventTest, EachOutcomeIsReportedAndASentEventOpensOnlyForThePeer) {
    const std::string callId = "0123456789abcdef";
    lockPhone().state.callId = callId;
    Peer toBob{"bob", bob.address, ""};
    json e;
    // The status line after a refused send of a fresh invite ("sent" if it went).
    auto refusal = [&](auto rate, bool signal) {
        e = buildEvent(kInvite, callId);
        return sendEvent(toBob, e, rate, signal) ? std::string("sent") : status();
    };
    EXPECT_EQ(refusal(kSignalRate, true), "identity signature did not verify against orvane.test PKI") << "no key published yet";
    EXPECT_TRUE(e.contains("sig")) << "the event keeps what signing put in";
    // A foreign network naming no fee addresses: the built-in ones (well-known keys) are not paid.
    json elsewhere = devnet.networkJson();
    elsewhere["woc_base"] = "https://api.example/v1/bsv/main";
    applyConfigDocument(json{{"network", elsewhere}});
    EXPECT_EQ(refusal(kSignalRate, true), kNoFeeAddresses);
    applyConfigDocument(json{{"network", devnet.networkJson()}});
    claimAlice();
    EXPECT_EQ(refusal(kSignalRate, true), "Could not seal to that paymail key.");
    EXPECT_EQ(e["handle"], "alice");
    EXPECT_TRUE(e.contains("pubkey") && e.contains("sig"));
    toBob.pubKey = bob.pub;
    setHoldFlag(false);
    EXPECT_EQ(refusal(kAudioRate, false), "Holding. Waiting for a coin to clear.") << "no confirmed coin yet";
    EXPECT_TRUE(holdFlag());
    EXPECT_FALSE(sendEvent(Peer{"bob", "not-an-address", bob.pub}, e, kSignalRate, true));
    EXPECT_FALSE(holdFlag()) << "a failed send on the same thread clears the hold";
    EXPECT_EQ(status(), "error: phone address decode failed.");
    // What a peer finds on chain is e2e.send_events'; here, what the phone keeps of each send.
    fundWallet({3000, 3000, 3000});
    std::vector<std::string> txids;
    int64_t spentBefore = 0;
    for (const char* kind : {kInvite, kHangup}) {
        json sent = buildEvent(kind, callId);
        ASSERT_TRUE(sendEvent(toBob, sent, kSignalRate, true)) << status();
        EXPECT_FALSE(holdFlag());
        std::string txid;
        int64_t sats;
        {
            auto g = lockPhone();
            sats = g.state.callSats;
            for (const std::string& t : g.state.knownTxids)
                if (std::find(txids.begin(), txids.end(), t) == txids.end()) txid = t;
            EXPECT_EQ(g.state.knownTxids.size(), txids.size() + 1);
        }
        txids.push_back(txid);
        EXPECT_EQ(lockPhone().state.firstTxid, txids.front()) << "the call's first transaction stays first";
        devnet::TxRecord rec;
        ASSERT_TRUE(devnet.ledger().tx(txid, rec));
        EXPECT_EQ(sats - spentBefore, rec.fee + 2) << "the miner's fee and the two satoshis paid";
        spentBefore = sats;
        EXPECT_EQ(sentToBob()[txid].first, sent);
        EXPECT_EQ(sent["mark"], "to:bob") << "signed for bob alone";
    }
}
TEST_F(SendEventTest, TheCallFeeIsAPennyAtTheRateWithinTheCeilingAndCountsInTheCall) {
    fundWallet({100000, 200000, 2000000});
    const std::string fee = networkConfig().callFeeAddress;
    auto paid = [&] {
        devnet::Balance b = devnet.ledger().balance(fee);
        return b.confirmed + b.unconfirmed;
    };
    // At a pound a coin a penny would be a hundredth of a coin: refused.
    struct Case { double gbp; int64_t sats; bool refused; };
    for (const Case& c : {Case{40.0, 25000, false}, Case{10.0, 100000, false}, Case{1.0, 0, true},
                          Case{0.01, 0, true}, Case{0, 0, false}, Case{-3, 0, false}}) {
        ASSERT_EQ(post("/devnet/settings", {{"gbp", c.gbp}}).status, 200);
        inCallWithBob(CallState::Calling, "00000000000000fe");
        { auto g = lockPhone(); g.state.callSats = 0, g.state.receipt = {}; }
        setStatus("");
        const int64_t before = paid();
        payCallFee("00000000000000fe", "");
        EXPECT_EQ(paid() - before, c.sats) << c.gbp << " pounds a coin";
        auto g = lockPhone();
        EXPECT_EQ(g.state.statusText.starts_with("Call fee not paid"), c.refused) << g.state.statusText;
        EXPECT_EQ(g.state.receipt.feeTxid.size(), c.sats > 0 ? 64u : 0u) << c.gbp;
        EXPECT_GE(g.state.callSats, c.sats) << "the fee and its transaction count in the call's cost";
        EXPECT_LT(g.state.callSats, c.sats + 1000) << c.gbp;
    }
}
std::atomic<uint64_t> gFakeMs{5'000'000};
uint64_t fakeMs() { return gFakeMs; }
void advance(uint32_t ms) { gFakeMs += ms; }
void speak(double seconds, double level = 1) {
    const std::vector<int16_t> pcm = test::voiceSignal(seconds, level);
    captureDeliver(pcm.data(), pcm.size());
}
TEST_F(SendEventTest, LiveVoiceGoesOutInNumberedChunksAndAFailedChunkKeepsItsNumber) {
    claimAlice();
    setPeerKey(bob.pub);
    fundWallet({3000, 3000, 3000, 3000, 3000, 3000});
    const std::string callId = "00000000000000aa";
    inCallWithBob(CallState::Talking, callId);
    // Every broadcast route fails until the faults are cleared.
    inject({{"path_prefix", "/oi/submit"}, {"status", 503}, {"count", 100000}});
    inject({{"path_prefix", "/woc/v1/bsv/main/tx/raw"}, {"status", 502}, {"count", 100000}});
    inject({{"path_prefix", "/arc/v1/tx"}, {"status", 503}, {"count", 100000}});
    setClockSource({fakeMs, nullptr, advance});  // the sender's 40 ms cycles and 2 s retries cost no time
    auto sentCount = [] { return lockPhone().state.knownTxids.size(); };
    speak(1.0);
    phoneFlags().running = true;
    std::thread sender(liveSenderLoop);
    const uint64_t start = gFakeMs;
    ASSERT_TRUE(waitFor([&] { return gFakeMs > start + 5000; })) << "three tries, two seconds apart";
    EXPECT_EQ(sentCount(), 0u);
    EXPECT_EQ(lockPhone().state.audioSeq, 1u) << "a re-send keeps its number";
    devnet.faults().clear();
    ASSERT_TRUE(waitFor([&] { return sentCount() >= 1; })) << status();
    speak(1.0, 0);  // silence is never paid for
    ASSERT_TRUE(waitFor([] { return capturedBytes() == 0; }));
    speak(0.5);  // after voice, chunks wait for 0.8 s of sound
    const uint64_t spoke = gFakeMs;
    ASSERT_TRUE(waitFor([&] { return gFakeMs > spoke + 1000; })) << "the sender's cycles go on";
    EXPECT_EQ(capturedBytes(), 8000u);
    speak(0.5);
    ASSERT_TRUE(waitFor([&] { return sentCount() >= 2; })) << status();
    (void)setChunkMs(300);  // a shorter call delay: 0.32 s, the nearest whole blocks
    speak(0.32);
    ASSERT_TRUE(waitFor([&] { return sentCount() >= 3; })) << status();
    phoneFlags().mute = true;  // a muted phone sends nothing and keeps nothing for later
    speak(1.0);
    ASSERT_TRUE(waitFor([] { return capturedBytes() == 0; }));
    phoneFlags().running = false;
    sender.join();
    // Numbered 1, 2, 3: the first second whole, then a second, then 0.32 s.
    std::multimap<int, size_t> bytesByNumber;
    for (const auto& [txid, sent] : sentToBob())
        if (sent.first["kind"] == kAudio) bytesByNumber.emplace(sent.first["n"].get<int>(), base64Decode(sent.first["audio"].get<std::string>()).size());
    EXPECT_EQ(bytesByNumber, (std::multimap<int, size_t>{{1, kGsmBytesPerSecond}, {2, kGsmBytesPerSecond}, {3, 8 * kGsmBlockBytes}}));
    EXPECT_EQ(lockPhone().state.audioSeq, 3u);
    const int64_t sats = lockPhone().state.callSats;
    EXPECT_EQ(status(), "Connected.  " + std::to_string(sats) + " sats broadcast.");
}
// Alice speaks until her message goes by itself at sixty seconds, its broadcast meeting `faults`.
void SendEventTest::leaveAMessage(const std::string& callId, const std::vector<json>& faults) {
    claimAlice();
    setPeerKey(bob.pub);
    fundWallet(std::vector<int64_t>(40, 1662));  // what splitting a faucet coin leaves
    for (const json& f : faults) inject(f);
    inCallWithBob(CallState::LeavingMessage, callId);
    setClockSource({fakeMs, nullptr, advance});
    phoneFlags().running = true;
    std::thread sender(liveSenderLoop);
    auto ended = [] { return lockPhone().state.callState == CallState::Idle; };
    for (int i = 0; i < 7 && !ended(); ++i) {
        speak(10.0);
        EXPECT_TRUE(waitFor([&] { return capturedBytes() < 8000 * 2 || ended(); }));
    }
    EXPECT_TRUE(waitFor(ended)) << status();
    phoneFlags().running = false;
    sender.join();
    EXPECT_EQ(status(), "Message left for bob.");
}
TEST_F(SendEventTest, AMessageGoesByItselfAtSixtySecondsThoughItCostsMoreThanFourSplitCoins) {
    leaveAMessage("00000000000000bb");
    std::optional<std::pair<json, size_t>> tape;
    for (const auto& [txid, sent] : sentToBob())
        if (sent.first["kind"] == kTape) tape = sent;
    ASSERT_TRUE(tape.has_value()) << "bob finds the message on chain";
    EXPECT_EQ(tape->first["secs"], 60);
    EXPECT_EQ(base64Decode(tape->first["audio"].get<std::string>()).size(), 60 * kGsmBytesPerSecond);
    EXPECT_GT(tape->second, 4u) << "inputs";
}
// A late first broadcast that other routes call a double spend: the retry resends it, bob is paid once.
TEST_F(SendEventTest, AMessageWhoseFirstBroadcastIsUnclearIsPaidOnce) {
    leaveAMessage("00000000000000cc",
                  {{{"path_prefix", "/oi/submit"}, {"delay_ms", 8000}},
                   {{"path_prefix", "/woc/v1/bsv/main/tx/raw"}, {"status", 400}, {"body", "258: txn-mempool-conflict"},
                    {"content_type", "text/plain"}},
                   {{"path_prefix", "/arc/v1/tx"}, {"status", 200}, {"body", R"({"txStatus": "DOUBLE_SPEND_ATTEMPTED"})"}}});
    EXPECT_EQ(devnet.faults().pending(), 0u) << "the first try met every fault";
    // Whatever the phone spent is spent on the ledger too once the late broadcast has landed.
    const std::set<std::string> spent = lockWallet().state.coins.spent;
    auto landed = [&] {
        const json list = woc("/address/" + address + "/unspent/all").j;
        for (const json& e : list.value("result", json::array()))
            if (spent.count(outpoint_key(e["tx_hash"].get<std::string>(), e["tx_pos"].get<uint32_t>())) != 0 && !e["isSpentInMempoolTx"].get<bool>())
                return false;
        return true;
    };
    ASSERT_TRUE(DevnetTest::waitFor(landed, std::chrono::seconds(30)));
    EXPECT_EQ(devnet.ledger().txidsPaying(bob.address, 10).size(), 1u);
}
}  // namespace
}  // namespace dialo::test
