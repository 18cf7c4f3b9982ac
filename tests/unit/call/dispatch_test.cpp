// The far end drives a call only with events the platform vouches for, sealed to this phone,
// and fresh: forged, foreign, replayed and stale events change nothing.

#include <atomic>
#include <chrono>
#include <thread>

#include <nlohmann/json.hpp>

#include "../wallet/funded_wallet_fixture.h"
#include "base/base64.h"
#include "base/clock.h"
#include "call/call_control.h"
#include "call/dispatch.h"
#include "call/event.h"
#include "call/live_sender.h"
#include "state/phone_state.h"
#include "state/ui_bridge.h"
#include "vaultra/envelope.h"
#include "vaultra/identity.h"

namespace dialo::test {
namespace {

using devnet::test::Key;
using devnet::test::keyOf;
using nlohmann::json;

class DispatchTest : public FundedWalletTest {
protected:
    void SetUp() override {
        FundedWalletTest::SetUp();
        useWallet(2, "bob");
        bobIdentity = walletIdentity();
        publish("alice", alice);
        publish("mallory", mallory);
        auto g = lockPhone();
        g.state.ownHandle = "bob";
        g.state.ownPayAddress = address;
    }
    void TearDown() override {
        phoneFlags().ringStop = true;  // the ringer started by a ringing case ends at once
        FundedWalletTest::TearDown();
    }

    // An event as alice's phone would send it, signed by `signer` and sealed to `to`.
    std::string payload(const std::string& kind, const std::string& id, int64_t ts, const Key& signer,
                        const std::string& to, const json& extra = json::object()) {
        json e = buildEvent(kind, id);
        e.update(extra);
        e.update({{"protocol", "OV-Dialo"}, {"type", "dl"}, {"location", "dialo"}, {"handle", "alice"},
                  {"actor", "alice"}, {"paymail", "alice@orvane.test"}, {"pay", alice.address}, {"ts", ts}});
        std::string sig;
        EXPECT_TRUE(sign_message_compact(signer.priv, canonical_text(e), sig));
        e["pubkey"] = signer.pub;
        e["sig"] = sig;
        json outer = buildEnvelope(ts);
        std::string error;
        EXPECT_TRUE(seal(compactText(e), to, outer, error)) << error;
        return compactText(outer);
    }
    std::string txid() { return hex_encode(Bytes(32, uint8_t(++txids_))); }

    static void reset(CallState state, const std::string& callId = "") {
        auto g = lockPhone();
        g.state.callState = state;
        g.state.callId = callId;
        g.state.caption.clear();
        g.state.statusText.clear();
    }
    static CallState state() { return lockPhone().state.callState; }

    const Key alice = keyOf('1'), mallory = keyOf('2'), stranger = keyOf('3');
    Key bobIdentity;

private:
    int txids_ = 0;
};

TEST_F(DispatchTest, ForgedForeignReplayedAndStaleEventsChangeNothing) {
    const int64_t now = nowSeconds();
    const std::string me = bobIdentity.pub;
    struct Case {
        const char* what;
        CallState before;
        std::string kind;
        int64_t age;
        const Key* signer;
        std::string sealedTo;
        CallState after;
    };
    const Case cases[] = {
        {"an invite from alice rings", CallState::Idle, kInvite, 0, &alice, me, CallState::Incoming},
        {"an invite 170 s old still rings", CallState::Idle, kInvite, 170, &alice, me, CallState::Incoming},
        {"an invite 181 s old does not", CallState::Idle, kInvite, 181, &alice, me, CallState::Idle},
        {"a third wallet claiming to be alice", CallState::Idle, kInvite, 0, &mallory, me, CallState::Idle},
        {"a key nobody published for alice", CallState::Idle, kInvite, 0, &stranger, me, CallState::Idle},
        {"sealed to another key", CallState::Idle, kInvite, 0, &alice, stranger.pub, CallState::Idle},
        {"a fresh accept connects", CallState::Calling, kAccept, 0, &alice, me, CallState::Talking},
        {"an accept 95 s old does not", CallState::Calling, kAccept, 95, &alice, me, CallState::Calling},
        {"a forged hang-up", CallState::Talking, kHangup, 0, &mallory, me, CallState::Talking},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string id = "call" + std::to_string(++n);
        reset(c.before, id);
        handlePayload(txid(), payload(c.kind, id, now - c.age, *c.signer, c.sealedTo));
        EXPECT_EQ(state(), c.after) << c.what;
        phoneFlags().ringStop = true;
    }

    // The same invite again, in another transaction, after its call ended here.
    reset(CallState::Idle);
    const std::string invite = payload(kInvite, "again", now, alice, me);
    handlePayload(txid(), invite);
    ASSERT_EQ(state(), CallState::Incoming);
    EXPECT_EQ(lockPhone().state.caption, "Incoming  alice");
    reset(CallState::Idle);
    handlePayload(txid(), invite);
    EXPECT_EQ(state(), CallState::Idle) << "a replayed invite does not ring again";
}

TEST_F(DispatchTest, LiveChunksPlayOnceAndInOrder) {
    const int64_t now = nowSeconds();
    reset(CallState::Talking, "talk");
    std::vector<int64_t> played;
    setVoiceTrace([&played](const VoiceTrace& t) {
        if (t.kind == VoiceTrace::Played) played.push_back(t.n);
    });
    const std::string gsm = base64Encode(Bytes(65 * 5, 0x11));
    // A re-send of a chunk whose first send did reach the chain is heard once; chunks that
    // overtook one whose fetch failed (3 and 4 before 2, 6 before 5) wait for it, and a late
    // copy of a played one is not heard again.
    for (int n : {1, 1, 3, 4, 2, 6, 5, 3, 7})
        handlePayload(txid(), payload(kAudio, "talk", now, alice, bobIdentity.pub, {{"n", n}, {"codec", "gsm"}, {"audio", gsm}}));
    handlePayload(txid(), payload(kAudio, "other", now, alice, bobIdentity.pub, {{"n", 8}, {"codec", "gsm"}, {"audio", gsm}}));
    setVoiceTrace({});
    EXPECT_EQ(played, (std::vector<int64_t>{1, 2, 3, 4, 5, 6, 7}));
}

uint64_t gFakeMs = 1'000'000;
uint64_t fakeMs() { return gFakeMs; }

TEST_F(DispatchTest, ChunksBehindOneLostForGoodPlayAfterTheWait) {
    const int64_t now = nowSeconds();
    setClockSource({fakeMs, nullptr, nullptr});
    reset(CallState::Talking, "lost");
    lockPhone().state.heardAudioSeq = 0;  // a new call's chunks count from 1
    std::vector<int64_t> played;
    setVoiceTrace([&played](const VoiceTrace& t) {
        if (t.kind == VoiceTrace::Played) played.push_back(t.n);
    });
    const std::string gsm = base64Encode(Bytes(65 * 5, 0x11));
    auto chunk = [&](int n) {
        handlePayload(txid(), payload(kAudio, "lost", now, alice, bobIdentity.pub, {{"n", n}, {"codec", "gsm"}, {"audio", gsm}}));
    };
    chunk(1);
    chunk(3);  // 2 never comes
    chunk(4);
    gFakeMs += 14999;
    releaseOverdueAudio();
    EXPECT_EQ(played, (std::vector<int64_t>{1})) << "the missing chunk is still waited for";
    gFakeMs += 1;
    releaseOverdueAudio();
    EXPECT_EQ(played, (std::vector<int64_t>{1, 3, 4}));
    chunk(2);  // too late to be heard in its place
    chunk(6);
    gFakeMs += 15000;
    reset(CallState::Idle, "lost");
    releaseOverdueAudio();
    chunk(5);
    setVoiceTrace({});
    resetClockSource();
    EXPECT_EQ(played, (std::vector<int64_t>{1, 3, 4})) << "held chunks go with the call";
    EXPECT_TRUE(lockPhone().state.aheadAudio.empty());
}

TEST(RingerTest, ACallRingsOnceHoweverManyEventsFollowIt) {
    std::atomic<int> rings{0};
    setUiReceiver(UiTarget::Main, [&rings](UiMessage m, intptr_t, intptr_t) {
        if (m == UiMessage::RingStart) ++rings;
    });
    phoneFlags().quietRing = true;
    auto ringRunsOut = [](const std::string& callId) {
        {
            auto g = lockPhone();
            g.state.callState = CallState::Incoming;
            g.state.callId = callId;
        }
        phoneFlags().ringStop = true;  // the ringer ends at its first look, as after its tenth ring
        startIncomingRinger();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (phoneFlags().ringerActive && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return !phoneFlags().ringerActive;
    };
    ASSERT_TRUE(ringRunsOut("00000000000000c1"));
    ASSERT_TRUE(ringRunsOut("00000000000000c1")) << "an event read while it still shows as incoming";
    EXPECT_EQ(rings, 1);
    ASSERT_TRUE(ringRunsOut("00000000000000c2"));
    EXPECT_EQ(rings, 2) << "the next call rings";
    setUiReceiver(UiTarget::Main, {});
}

}  // namespace
}  // namespace dialo::test
