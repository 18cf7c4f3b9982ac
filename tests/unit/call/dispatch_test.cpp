// Only events the platform vouches for, sealed to this phone and fresh, drive a call.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <set>
#include <thread>
#include <tuple>
#include <nlohmann/json.hpp>
#include "support/temp_folder.h"
#include "support/funded_wallet_fixture.h"
#include "audio/backend.h"
#include "audio/capture.h"
#include "audio/gsm.h"
#include "audio/playback.h"
#include "base/detached.h"
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
        for (const Key* k : {&alice, &mallory, &carol, const_cast<const Key*>(&bobIdentity)}) publish(k == &bobIdentity ? "bob" : nameOf(*k), *k);
        // Answering needs a microphone and a loudspeaker: WAV files here.
        applyConfigDocument(json{{"network", devnet.networkJson()},
                                 {"audio", {{"backend", "file"}, {"output_wav", soundFolder_.path + "/out.wav"}}}});
        std::string note;
        ASSERT_TRUE(fileBackend().open(note)) << note;
        setSoundBackend(fileBackend());
        auto g = lockPhone();
        g.state.ownHandle = "bob";
        g.state.ownPayAddress = address;
    }
    void TearDown() override {
        phoneFlags().ringStop = true;  // the ringer started by a ringing case ends at once
        phoneFlags().running = false;  // and so do hang-ups being tried again
        ASSERT_TRUE(waitForDetached(60000));
        setVoiceTrace({});
        releaseOutputs();
        fileBackend().close();
        setSoundBackend(noneBackend());
        FundedWalletTest::TearDown();
    }
    // An event as a peer sends it; `as` spells the signer's handle, `rewrite` is a relayer's change.
    struct Ev {
        std::string kind, id;
        const Key* signer;
        int64_t age = 0;  // seconds before now
        std::string as = "";
        json extra = json::object(), rewrite = json::object();
    };
    std::string payload(const Ev& ev, const std::string& to) {
        const int64_t ts = nowSeconds() - ev.age;
        const std::string as = ev.as.empty() ? nameOf(*ev.signer) : ev.as;
        json e = buildEvent(ev.kind, ev.id);
        if (ev.extra.is_object()) e.update(ev.extra);
        e.update({{"protocol", "OV-Dialo"}, {"type", "dl"}, {"location", "dialo"}, {"handle", as}, {"actor", as},
                  {"paymail", nameOf(*ev.signer) + "@orvane.test"}, {"pay", ev.signer->address}, {"ts", ts}});
        std::string sig;
        EXPECT_TRUE(sign_message_compact(ev.signer->priv, canonical_text(e), sig));
        e["pubkey"] = ev.signer->pub;
        e["sig"] = sig;
        if (ev.rewrite.is_object()) e.update(ev.rewrite);
        json outer = buildEnvelope(ts);
        std::string error;
        EXPECT_TRUE(seal(compactText(e), to, outer, error)) << error;
        return compactText(outer);
    }
    // Live chunk `n` of `callId` from alice.
    void chunk(const std::string& callId, int n) {
        static const std::string gsm = base64Encode(Bytes(65 * 5, 0x11));
        handlePayload(txid(), payload({kAudio, callId, &alice, 0, "", {{"n", n}, {"codec", "gsm"}, {"audio", gsm}}}, bobIdentity.pub));
    }
    // The chunks played from now on, by number.
    std::vector<int64_t>& tracePlayed() {
        setVoiceTrace([this](const VoiceTrace& t) { if (t.kind == VoiceTrace::Played) played_.push_back(t.n); });
        return played_;
    }
    std::string nameOf(const Key& k) const {
        return k.pub == alice.pub ? "alice" : k.pub == mallory.pub ? "mallory" : k.pub == carol.pub ? "carol" : "stranger";
    }
    std::string txid() { return hex_encode(Bytes(32, uint8_t(++txids_))); }
    // The phone in `state` on call `callId` with `peer` (none: no peer).
    void reset(CallState state, const std::string& callId = "", const Key* peer = nullptr) {
        auto g = lockPhone();
        PhoneState& s = g.state;
        s.callState = state;
        s.callId = callId;
        s.peerHandle = peer ? nameOf(*peer) : "";
        s.peerPayAddress = peer ? peer->address : "";
        s.peerPubKey = peer ? peer->pub : "";
        s.answerClaimed = false;
        s.firstTxid = callId.empty() ? "" : hex_encode(Bytes(32, 0xee));  // its first event is on chain
        s.caption.clear(), s.statusText.clear();
    }
    static CallState state() { return lockPhone().state.callState; }
    // The events this phone sent that `k` opens, as "kind id" in the order of their txids.
    std::vector<std::string> sentTo(const Key& k) {
        std::vector<std::string> out;
        std::set<std::string> txids;
        { auto g = lockPhone(); txids.insert(g.state.knownTxids.begin(), g.state.knownTxids.end()); }
        for (const std::string& t : txids) {
            bool paysThem = false;
            std::optional<json> opened;
            for (const TxOutput& o : readTx(t).outputs) {
                if (o.locking == p2pkh_script(k.hash) && o.sats == 1) paysThem = true;
                if (auto p = payloadFromScript(o.locking); p && o.sats == 0) opened = openPayloadWith(*p, k.priv);
            }
            if (paysThem && opened) out.push_back((*opened)["kind"].get<std::string>() + " " + (*opened)["id"].get<std::string>());
        }
        return out;
    }
    const Key alice = keyOf('1'), mallory = keyOf('2'), stranger = keyOf('3'), carol = keyOf('4');
    Key bobIdentity;
private:
    TempFolder soundFolder_{"dispatch-sound", false};
    std::vector<int64_t> played_;
    int txids_ = 0;
};
TEST_F(DispatchTest, OnlyTheCallsPeerSpeaksAndEveryCallEnds) {
    fundWallet(std::vector<int64_t>(8, 3000));  // for what this phone sends back
    const std::string me = bobIdentity.pub;
    const std::string A = "00000000000000a1", B = "00000000000000b2", C = "00000000000000c3";
    const std::string D = "00000000000000d4", E = "00000000000000e5";
    struct Row {
        const char* what;
        CallState before; std::string callId; const Key* peer; std::vector<Ev> events; CallState after; std::string afterId;
        const Key* toldWho = nullptr; std::string told = "";  // this phone sent `told` to `toldWho`
        bool oursOnChain = true;  // our placed call's invite is on chain
    };
    const Row rows[] = {
        // Who is speaking.
        {"an invite from alice rings", CallState::Idle, "", nullptr, {{kInvite, A, &alice}}, CallState::Incoming, A},
        {"an invite 181 s old does not", CallState::Idle, "", nullptr, {{kInvite, A, &alice, 181}}, CallState::Idle, ""},
        {"a ten-minute-old invite with its time rewritten as text", CallState::Idle, "", nullptr,
         {{kInvite, A, &alice, 600, "", {}, {{"ts", std::to_string(nowSeconds() - 600)}}}}, CallState::Idle, ""},
        {"a time written as a fraction", CallState::Idle, "", nullptr,
         {{kInvite, A, &alice, 0, "", {}, {{"ts", double(nowSeconds()) + 0.25}}}}, CallState::Idle, ""},
        {"a third wallet claiming to be alice", CallState::Idle, "", nullptr,
         {{kInvite, A, &mallory, 0, "alice"}}, CallState::Idle, ""},
        {"a key nobody published", CallState::Idle, "", nullptr, {{kInvite, A, &stranger}}, CallState::Idle, ""},
        {"a stranger hangs up a call between two others", CallState::Talking, A, &alice, {{kHangup, A, &mallory}},
         CallState::Talking, A},
        {"a stranger accepts a call placed to alice", CallState::Calling, A, &alice, {{kAccept, A, &mallory}},
         CallState::Calling, A},
        {"alice hangs up her call", CallState::Talking, A, &alice, {{kHangup, A, &alice}}, CallState::Idle, A},
        {"nor by a hang-up 91 s old", CallState::Talking, A, &alice, {{kHangup, A, &alice, 91}}, CallState::Talking, A},
        {"alice, not blocked, as $Alice", CallState::Idle, "", nullptr, {{kInvite, A, &alice, 0, "$Alice"}},
         CallState::Incoming, A},
        {"blocked mallory as $mallory", CallState::Idle, "", nullptr, {{kInvite, A, &mallory, 0, "$mallory"}},
         CallState::Idle, ""},
        {"blocked mallory behind a tab", CallState::Idle, "", nullptr, {{kInvite, A, &mallory, 0, "\tmallory"}},
         CallState::Idle, ""},
        {"an id not of 16 lower-case hex digits", CallState::Idle, "", nullptr, {{kInvite, "call|1", &alice}},
         CallState::Idle, ""},
        {"an id in upper case", CallState::Idle, "", nullptr, {{kInvite, "00000000000000A1", &alice}}, CallState::Idle, ""},
        {"alice's invite to carol relayed here", CallState::Idle, "", nullptr,
         {{kInvite, A, &alice, 0, "", {{"mark", "to:carol"}}}}, CallState::Idle, ""},
        {"alice's invite signed for bob", CallState::Idle, "", nullptr, {{kInvite, A, &alice, 0, "", {{"mark", "to:Bob"}}}},
         CallState::Incoming, A},
        // Every call ends.
        {"a hang-up read before its invite", CallState::Idle, "", nullptr, {{kHangup, A, &alice}, {kInvite, A, &alice}},
         CallState::Idle, ""},
        {"another's hang-up of that id does not", CallState::Idle, "", nullptr, {{kHangup, A, &mallory}, {kInvite, A, &alice}},
         CallState::Incoming, A},
        {"an invite takes over a call being placed; carol is told", CallState::Calling, C, &carol, {{kInvite, A, &alice}},
         CallState::Incoming, A, &carol, "hangup " + C},
        {"both call at once, theirs the lower id: answered at once", CallState::Calling, B, &alice, {{kInvite, A, &alice}},
         CallState::Talking, A, &alice, "accept " + A},
        {"both call at once, ours the lower id: theirs is dropped", CallState::Calling, A, &alice, {{kInvite, B, &alice}},
         CallState::Calling, A},
        {"both call at once, ours still being paid: theirs waits for it", CallState::Calling, B, &alice,
         {{kInvite, A, &alice}}, CallState::Calling, B, nullptr, "", false},
    };
    lockPhone().state.boxes.blocked = {"mallory"};
    for (const Row& row : rows) {
        reset(row.before, row.callId, row.peer);
        {
            auto g = lockPhone();
            if (!row.oursOnChain) g.state.firstTxid.clear();
            g.state.seenEventIds.clear();
            g.state.endedCallIds.clear();
        }
        for (const Ev& ev : row.events) handlePayload(txid(), payload(ev, me));
        const bool settled = DevnetTest::waitFor([&] { return state() == row.after; }, std::chrono::seconds(30));
        EXPECT_TRUE(settled) << row.what << ": " << callStateName(state());
        if (row.after != CallState::Idle) {
            EXPECT_EQ(lockPhone().state.callId, row.afterId) << row.what;
        }
        if (!row.oursOnChain) {
            EXPECT_EQ(lockPhone().state.seenEventIds.count(row.events.front().id), 0u) << row.what << ": not lost";
        }
        if (row.toldWho) {
            EXPECT_TRUE(DevnetTest::waitFor([&] { return std::ranges::count(sentTo(*row.toldWho), row.told) > 0; },
                                            std::chrono::seconds(30)))
                << row.what << ": " << row.told;
        }
        phoneFlags().ringStop = true;
        ASSERT_TRUE(waitForDetached(60000)) << row.what;
    }
    // The same invite again, in another transaction, after its call ended here.
    reset(CallState::Idle);
    const std::string invite = payload({kInvite, C, &alice}, me);
    handlePayload(txid(), invite);
    ASSERT_EQ(state(), CallState::Incoming);
    EXPECT_EQ(lockPhone().state.caption, "Incoming  alice");
    reset(CallState::Idle);
    handlePayload(txid(), invite);
    EXPECT_EQ(state(), CallState::Idle) << "a replayed invite does not ring again";
    // A minute's tape lands, ten minutes' do not; the inbox keeps within its size, newest kept.
    const size_t minute = kMessageLimitSeconds * kGsmBytesPerSecond;
    {
        auto g = lockPhone();
        g.state.boxes.inbox.assign(kInboxBytesCap / minute, InboxMessage{"", "alice", Bytes(minute, 7), "", 0, 60});
        for (size_t i = 0; i < g.state.boxes.inbox.size(); ++i) g.state.boxes.inbox[i].id = std::to_string(i);
    }
    for (const auto& [id, bytes, lands] : {std::tuple{D, minute, true}, std::tuple{E, 10 * minute, false}}) {
        reset(CallState::Idle);
        handlePayload(txid(), payload({kTape, id, &alice, 0, "",
                                       {{"codec", "gsm"}, {"secs", bytes / kGsmBytesPerSecond}, {"audio", base64Encode(Bytes(bytes, 9))}}},
                                      me));
        auto g = lockPhone();
        const auto& inbox = g.state.boxes.inbox;
        EXPECT_EQ(!inbox.empty() && inbox.back().id == id, lands) << bytes << " bytes";
        size_t total = 0;
        for (const InboxMessage& m : inbox) total += m.audio.size();
        EXPECT_LE(total, kInboxBytesCap);
    }
}
TEST_F(DispatchTest, LiveChunksPlayOnceAndInOrder) {
    const std::string talk = "0000000000000001";
    reset(CallState::Talking, talk, &alice);
    const std::vector<int64_t>& played = tracePlayed();
    // Re-sends heard once; chunks that overtook a failed fetch wait for it; late copies not replayed.
    for (int n : {1, 1, 3, 4, 2, 6, 5, 3, 7}) chunk(talk, n);
    chunk("00000000000000ff", 8);
    EXPECT_EQ(played, (std::vector<int64_t>{1, 2, 3, 4, 5, 6, 7}));
}
uint64_t gFakeMs = 1'000'000;
uint64_t fakeMs() { return gFakeMs; }
TEST_F(DispatchTest, ChunksBehindOneLostForGoodPlayAfterTheWait) {
    setClockSource({fakeMs, nullptr, nullptr});
    const std::string lost = "0000000000000002";
    reset(CallState::Talking, lost, &alice);
    lockPhone().state.heardAudioSeq = 0;  // a new call's chunks count from 1
    const std::vector<int64_t>& played = tracePlayed();
    for (int n : {1, 3, 4}) chunk(lost, n);  // 2 never comes
    gFakeMs += 14999;
    releaseOverdueAudio();
    EXPECT_EQ(played, (std::vector<int64_t>{1})) << "the missing chunk is still waited for";
    gFakeMs += 1;
    releaseOverdueAudio();
    EXPECT_EQ(played, (std::vector<int64_t>{1, 3, 4}));
    chunk(lost, 2);  // too late to be heard in its place
    chunk(lost, 6);
    gFakeMs += 15000;
    reset(CallState::Idle, lost, &alice);
    releaseOverdueAudio();
    chunk(lost, 5);
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
