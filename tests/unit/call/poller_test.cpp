// Finding incoming events against a devnet: what is read when and from where, back-offs, hostile answers.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include "support/phone_devnet_fixture.h"
#include "base/clock.h"
#include "base/config.h"
#include "call/https_get.h"
#include "call/poller.h"
#include "state/phone_state.h"
#include "tools/devnet/ledger.h"
#include "wallet/encoding.h"
#include "wallet/http.h"
#include "wallet/transaction.h"
namespace dialo::test {
namespace {
using devnet::test::buildSigned;
using devnet::test::coinOf;
using devnet::test::Key;
using devnet::test::keyOf;
using devnet::test::payTo;
using nlohmann::json;
constexpr char kWocPath[] = "/woc/v1/bsv/main";
constexpr size_t kCap = 8u << 20;  // bytes of an answer read at most
std::atomic<uint64_t> gNow{86'400'000};
uint64_t virtualNow() { return gNow.load(); }
struct Found {
    std::string txid, payload;
};
std::mutex gFoundMutex;
std::vector<Found> gFound;  // what the poller handed on
void record(const std::string& txid, const std::string& payload) { std::lock_guard lock(gFoundMutex); gFound.push_back({txid, payload}); }
std::vector<Found> found() { std::lock_guard lock(gFoundMutex); return gFound; }
std::vector<std::string> txidsOf(const std::vector<Found>& list, size_t from = 0) {
    std::vector<std::string> out;
    for (size_t i = from; i < list.size(); ++i) out.push_back(list[i].txid);
    return out;
}
std::vector<std::string> sorted(std::vector<std::string> v) { return std::sort(v.begin(), v.end()), v; }
// Call-event-like text: long enough, naming the protocol; `pad` bytes make it as big as needed.
std::string eventPayload(int n, size_t pad = 0) {
    return R"({"enc_v":4,"n":)" + std::to_string(n) + R"(,"pad":")" + std::string(pad, 'p') +
           R"(","pmessage1":"00","protocol":"OV-Dialo","type":"dl"})";
}
std::vector<std::string> eventPayloads(int from, int count) {
    std::vector<std::string> out;
    for (int i = from; i < from + count; ++i) out.push_back(eventPayload(i));
    return out;
}
class PollerTest : public PhoneOnDevnetTest {
protected:
    void SetUp() override {
        PhoneOnDevnetTest::SetUp();
        start();
        applyConfigDocument(json{{"network", devnet.networkJson()}});
        warmUpTls();
        gNow = 86'400'000;  // every case from the same tick; the fixture forgot earlier holds
        setClockSource({virtualNow, nullptr, nullptr});
        setPayloadHandler(record);
        { auto g = lockPhone(); g.state.knownTxids.clear(), g.state.backfill.clear(), g.state.callState = CallState::Idle; }
        phoneFlags().oracleBackoffUntil = phoneFlags().wocBackoffUntil = phoneFlags().unconfirmedBackoffUntil = 0;
        std::lock_guard lock(gFoundMutex);
        gFound.clear();
    }
    void TearDown() override {
        while (rawFetchStep()) continue;
        setPayloadHandler(nullptr);
        releasePhoneConnections();
        PhoneOnDevnetTest::TearDown();
    }
    // Transactions paying the phone 1 sat with each payload as a data output (none if empty), in order.
    std::vector<std::string> payPhone(const std::vector<std::string>& payloads) {
        std::vector<Coin> coins;
        std::string error, txid;
        for (size_t i = 0; i < payloads.size(); ++i) {
            EXPECT_TRUE(devnet.ledger().fund(payer.address, 100000, txid, error)) << error;
            coins.push_back(coinOf(payer, txid, 0, 100000));
        }
        devnet::BlockInfo block;
        EXPECT_TRUE(devnet.ledger().mine(block, error)) << error;
        std::vector<std::string> txids;
        for (size_t i = 0; i < payloads.size(); ++i) {
            std::vector<TxOutput> outputs = {payTo(phone, 1)};
            if (!payloads[i].empty()) outputs.push_back({0, data_output_script(payloads[i])});
            devnet::SubmitResult r = devnet.ledger().submit(buildSigned({coins[i]}, outputs, payer));
            EXPECT_TRUE(r.accepted) << r.reason;
            txids.push_back(r.txid);
        }
        return txids;
    }
    std::string payPhone(const std::string& payload) { return payPhone(std::vector<std::string>{payload})[0]; }
    // The oracle lists these, whatever the ledger holds, until the test ends.
    void listTxids(const std::vector<std::string>& txids) {
        inject({{"path_prefix", "/oi/oracle/dialo/txids"}, {"status", 200}, {"body", json{{"txids", txids}}.dump()},
                {"count", 1000000}});
    }
    // The JSON both services serve once, its data output cut: marked truncated, or without its script.
    void serveCutJson(const std::string& txid, bool dropScript = false) {
        json tx = get("/oi/tx/" + txid).j;
        ASSERT_TRUE(tx.is_object() && tx["vout"].is_array());
        for (json& out : tx["vout"]) {
            json& spk = out["scriptPubKey"];
            if (spk.value("type", "") != "nulldata") continue;
            if (dropScript) {
                spk.erase("hex"), spk.erase("asm"), spk.erase("opReturn");
                continue;
            }
            spk["hex"] = spk["hex"].get<std::string>().substr(0, 160);
            spk["asm"] = "0 OP_RETURN";
            spk["opReturn"]["parts"] = json::array({spk["opReturn"]["text"].get<std::string>().substr(0, 40)});
            spk["opReturn"]["text"] = spk["opReturn"]["parts"][0];
            spk["isTruncated"] = true;
        }
        for (const std::string& prefix : {std::string("/oi/tx/"), std::string(kWocPath) + "/tx/"})
            inject({{"path_prefix", prefix + txid}, {"status", 200}, {"body", tx.dump()}, {"count", 1}});
    }
    size_t requests() const { return devnet.requestCount("service"); }
    void poll() { pollOracle(phone.address); }
    const Key phone = keyOf('4');
    const Key payer = keyOf('1');
};
TEST_F(PollerTest, TwentyFiveListedAreReadFourAPollLastFirstAndEachOnce) {
    const std::vector<std::string> payloads = eventPayloads(0, 25), txids = payPhone(payloads);
    listTxids(txids);
    for (int p = 0; p < 7; ++p) {
        const size_t before = requests(), seen = found().size();
        poll();
        // The last four not read yet, handed on in the order they were listed.
        std::vector<std::string> expected;
        for (int i = std::max(0, 21 - 4 * p); i <= 24 - 4 * p; ++i) expected.push_back(txids[size_t(i)]);
        EXPECT_EQ(txidsOf(found(), seen), expected) << "poll " << p;
        EXPECT_EQ(requests() - before, 1 + expected.size()) << "poll " << p << ": the platform's JSON is enough";
    }
    const std::vector<Found> all = found();
    ASSERT_EQ(all.size(), 25u);
    for (const Found& f : all) {
        const size_t i = size_t(std::find(txids.begin(), txids.end(), f.txid) - txids.begin());
        ASSERT_LT(i, txids.size());
        EXPECT_EQ(f.payload, payloads[i]);
    }
    gNow += 60'000;
    const size_t before = requests();
    poll();
    EXPECT_EQ(requests() - before, 1u) << "nothing is read twice";
    EXPECT_EQ(found().size(), 25u);
}
// Handed on out of order, a hang-up would precede its invite and a chunk outdate the one before.
TEST_F(PollerTest, WhatAPollFindsIsHandedOnInTheOrderMadeOwnSendsNeverAndPlainPaymentsAreReadOnce) {
    const std::vector<std::string> txids = payPhone({"", eventPayload(1), eventPayload(2), eventPayload(3)});
    const std::string& plain = txids[0];
    lockPhone().state.knownTxids.insert(txids[1]);  // as sending records its own
    size_t before = requests();
    poll();
    EXPECT_EQ(txidsOf(found()), (std::vector<std::string>{txids[2], txids[3]}));
    EXPECT_EQ(requests() - before, 5u) << "the listing, two events' JSON, the plain payment's JSON from both services";
    for (int i = 0; i < 3; ++i) {
        gNow += 60'000;
        before = requests();
        poll();
        scanUnconfirmedHistory(phone.address);
        EXPECT_EQ(requests() - before, 2u) << "only the two listings, round " << i;
    }
    EXPECT_EQ(found().size(), 2u);
    EXPECT_EQ(lockPhone().state.knownTxids.count(plain), 1u);
}
TEST_F(PollerTest, ACutDataOutputIsReadFromTheRawTransaction) {
    for (const bool dropScript : {false, true}) {
        SCOPED_TRACE(dropScript ? "a nulldata output shown without its script" : "the data output marked truncated");
        const std::string payload = eventPayload(dropScript, 300), txid = payPhone(payload);
        serveCutJson(txid, dropScript);
        const size_t before = requests(), seen = found().size();
        poll();
        EXPECT_EQ(found().size(), seen);
        EXPECT_EQ(requests() - before, 3u) << "the listing and both services' JSON";
        EXPECT_TRUE(rawFetchStep());
        ASSERT_EQ(found().size(), seen + 1);
        EXPECT_EQ(found().back().txid, txid);
        EXPECT_EQ(found().back().payload, payload);
        EXPECT_FALSE(rawFetchStep()) << "nothing else queued";
        EXPECT_EQ(devnet.faults().pending(), 0u);
    }
}
TEST_F(PollerTest, TheAddressHistoriesFindWhatTheListingMissed) {
    const std::vector<std::string> confirmed = payPhone(eventPayloads(0, 85));
    devnet::BlockInfo block;
    std::string error;
    ASSERT_TRUE(devnet.ledger().mine(block, error)) << error;
    const std::vector<std::string> unconfirmed = payPhone({eventPayload(100), eventPayload(101), eventPayload(102)});
    scanUnconfirmedHistory(phone.address);
    EXPECT_EQ(txidsOf(found()), (std::vector<std::string>{unconfirmed[0], unconfirmed[2]})) << "the first and last new";
    scanUnconfirmedHistory(phone.address);
    EXPECT_EQ(txidsOf(found(), 2), std::vector<std::string>{unconfirmed[1]});
    scanConfirmedHistory(phone.address);
    scanConfirmedHistory(phone.address);
    EXPECT_EQ(lockPhone().state.backfill, std::deque<std::string>(confirmed.begin(), confirmed.begin() + 80))
        << "the history's first 80 entries, each queued once";
    for (int i = 0; i < 80; ++i) drainBackfill();
    EXPECT_EQ(txidsOf(found(), 3), std::vector<std::string>(confirmed.begin(), confirmed.begin() + 80));
    const size_t before = requests();
    drainBackfill();
    EXPECT_EQ(requests(), before);
}
TEST_F(PollerTest, AnEventWhoseReadFailedMidCallIsReadAfterTheListingHasDroppedIt) {
    lockPhone().state.callState = CallState::Talking;
    const std::vector<std::string> txids = payPhone({eventPayload(1), eventPayload(2)});
    inject({{"path_prefix", "/oi/tx/" + txids[0]}, {"status", 503}, {"count", 1}});
    poll();
    EXPECT_EQ(txidsOf(found()), std::vector<std::string>{txids[1]}) << "the first read failed";
    // Mid-call the phone's own change soon pushes the failed one out of the listing's twenty.
    listTxids({txids[1]});
    poll();
    EXPECT_EQ(found().size(), 1u) << "held for 400 ms";
    gNow += 400;
    poll();
    EXPECT_EQ(txidsOf(found()), (std::vector<std::string>{txids[1], txids[0]}));
    gNow += 400;
    size_t before = requests();
    poll();
    EXPECT_EQ(requests() - before, 1u) << "read once, only the listing is asked";
    // Four of nine read, four more read elsewhere meanwhile: they must not take the fifth's turn.
    const std::vector<std::string> nine = payPhone(eventPayloads(10, 9));
    devnet.faults().clear();
    listTxids(nine);
    poll();
    EXPECT_EQ(txidsOf(found(), 2), std::vector<std::string>(nine.begin() + 5, nine.end()));
    for (size_t i = 0; i < 4; ++i) ASSERT_TRUE(lockPhone().state.knownTxids.insert(nine[i]));
    devnet.faults().clear();
    listTxids({});
    poll();
    EXPECT_EQ(txidsOf(found(), 6), std::vector<std::string>{nine[4]}) << "the fifth is read in the next poll";
    // One that still fails when the call ends is left to the idle fallbacks.
    const std::string late = payPhone(eventPayload(3));
    inject({{"path_prefix", "/oi/tx/" + late}, {"status", 500}, {"count", 1}});
    fetchTx(late);
    lockPhone().state.callState = CallState::Idle;
    gNow += 400;
    before = requests();
    poll();
    EXPECT_EQ(requests() - before, 1u) << "idle, only the listing is asked";
    EXPECT_EQ(found().size(), 7u);
}
TEST_F(PollerTest, AfterAStretchWithoutListingsACallReadsEverythingPaidMeanwhile) {
    lockPhone().state.callState = CallState::Talking;
    poll();
    inject({{"path_prefix", "/oi/oracle/dialo/txids"}, {"status", 503}, {"count", 1}});
    poll();  // busy: listings pause
    // Eight seconds of a call: more payments than a listing of twenty shows.
    const std::vector<std::string> txids = payPhone(eventPayloads(1, 30));
    gNow += 8000;
    for (int i = 0; i < 10 && found().size() < txids.size(); ++i, gNow += 100) poll();
    EXPECT_EQ(sorted(txidsOf(found())), sorted(txids)) << "every one read once";
}
TEST_F(PollerTest, BusyOrFailingServicesPauseTheirPolling) {
    const Key quiet = keyOf('5');
    const std::string history = std::string(kWocPath) + "/address/" + quiet.address;
    PhoneFlags& flags = phoneFlags();
    struct Row {
        const char* what; void (*call)(const std::string&); std::string pathPrefix; int status; std::string body;
        uint64_t pauseMs; std::atomic<uint64_t>* deadline;
    };
    const Row rows[] = {
        {"429 on the listing", pollOracle, "/oi/oracle/", 429, "", 2000, &flags.oracleBackoffUntil},
        {"503 on the listing", pollOracle, "/oi/oracle/", 503, "", 2000, &flags.oracleBackoffUntil},
        {"an error answer", pollOracle, "/oi/oracle/", 200, R"({"error":"slow down"})", 30000, &flags.oracleBackoffUntil},
        {"an error answer with a 400", pollOracle, "/oi/oracle/", 400, R"({"error":"no"})", 30000,
         &flags.oracleBackoffUntil},
        {"429 on the unconfirmed history", scanUnconfirmedHistory, history + "/unconfirmed/", 429, "", 2000,
         &flags.unconfirmedBackoffUntil},
        {"429 on the confirmed history", scanConfirmedHistory, history + "/history", 429, "", 8000,
         &flags.wocBackoffUntil},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        json fault = {{"path_prefix", row.pathPrefix}, {"status", row.status}, {"count", 1}};
        if (!row.body.empty()) fault["body"] = row.body;
        inject(fault);
        const size_t before = requests();
        row.call(quiet.address);
        EXPECT_EQ(requests() - before, 1u);
        EXPECT_EQ(row.deadline->load(), gNow + row.pauseMs);
        row.call(quiet.address);
        gNow += row.pauseMs - 1;
        row.call(quiet.address);
        EXPECT_EQ(requests() - before, 1u) << "paused";
        gNow += 1;
        row.call(quiet.address);
        EXPECT_EQ(requests() - before, 2u) << "asked again once the pause is over";
        EXPECT_EQ(devnet.faults().pending(), 0u);
    }
}
TEST_F(PollerTest, BadAnswersAreDroppedAndListeningGoesOn) {
    std::vector<std::string> unknown;
    char id[65];
    for (unsigned i = 1; i <= 10000; ++i) unknown.push_back(std::string(id, size_t(std::snprintf(id, sizeof id, "%064x", i))));
    struct Listing { const char* what; json fault; size_t requests; };
    const Listing listings[] = {
        {"an HTML page", {{"status", 200}, {"body", "<html><body>502 Bad Gateway</body></html>"}}, 1},
        {"arrays nested 100,000 deep",
         {{"status", 200}, {"body", std::string(100000, '[') + std::string(100000, ']')}, {"content_type", "text/plain"}}, 1},
        {"elements that are not txids",
         {{"status", 200},
          {"body", json{{"txids", {1, nullptr, json::object(), "ab", std::string(64, 'g'), std::string(64, '/')}}}.dump()}}, 1},
        {"10,000 unknown txids: four read a poll", {{"status", 200}, {"body", json{{"txids", unknown}}.dump()}}, 1 + 4 * 2},
        {"nothing for 10 seconds", {{"delay_ms", 10000}}, 1},
    };
    for (const Listing& l : listings) {
        SCOPED_TRACE(l.what);
        json fault = l.fault;
        fault["path_prefix"] = "/oi/oracle/dialo/txids";
        fault["count"] = 1;
        inject(fault);
        const size_t before = requests();
        poll();
        EXPECT_EQ(requests() - before, l.requests);
        EXPECT_TRUE(found().empty());
        EXPECT_EQ(devnet.faults().pending(), 0u);
    }
    // A transaction whose JSON is bigger than anything read: cut, unreadable, tried later.
    const std::string huge = payPhone(eventPayload(1));
    const std::string hugeBody = R"({"vout":[],"pad":")" + std::string(kCap + (1u << 20), 'x') + R"("})";
    inject({{"path_prefix", "/oi/tx/" + huge}, {"status", 200}, {"body", hugeBody}});
    inject({{"path_prefix", std::string(kWocPath) + "/tx/" + huge}, {"status", 200}, {"body", hugeBody}});
    size_t before = requests();
    poll();
    EXPECT_EQ(requests() - before, 3u);
    EXPECT_TRUE(found().empty());
    // Junk raw transactions: one step each, nothing found; a short refusal is retried later, half a tx not.
    const std::string realHex = hex_encode(buildSigned({coinOf(payer, std::string(64, 'b'), 0, 100000)},
                                                       {payTo(phone, 1), {0, data_output_script(eventPayload(2))}}, payer));
    std::string shortJunk;
    for (const std::string& body : {std::string("try again"), realHex.substr(0, realHex.size() / 2)}) {
        SCOPED_TRACE(body);
        const std::string txid = payPhone(eventPayload(int(body.size())));
        serveCutJson(txid);
        inject({{"path_prefix", std::string(kWocPath) + "/tx/" + txid + "/hex"}, {"status", 200}, {"body", body}});
        poll();
        before = requests();
        EXPECT_TRUE(rawFetchStep());
        EXPECT_EQ(requests() - before, 1u);
        EXPECT_FALSE(rawFetchStep());
        EXPECT_TRUE(found().empty());
        EXPECT_EQ(devnet.faults().pending(), 0u);
        if (shortJunk.empty()) shortJunk = txid;
    }
    // Listening goes on: what was held comes back, and a new event is read at once.
    gNow += 10'000;
    const std::string fresh = payPhone(eventPayload(99));
    poll();
    EXPECT_EQ(sorted(txidsOf(found())), sorted({fresh, huge, shortJunk}));
}
TEST_F(PollerTest, HttpsGetKeepsOneConnectionPerServiceAndCutsLongAnswers) {
    const std::string fake(64, 'e');
    const std::string platformUrl = service_url("/oi/tx/" + fake);
    const std::string otherUrl = "https://127.0.0.1:" + std::to_string(devnet.directoryPort()) + "/api/bsvalias/address/nobody@orvane.test";
    releasePhoneConnections();
    for (const auto& [url, connections] : {std::pair{platformUrl, 1u}, {networkConfig().wocBase + "/chain/info", 1u}, {otherUrl, 5u}}) {
        const uint64_t before = phoneConnectionsOpened();
        for (int i = 0; i < 5; ++i) EXPECT_FALSE(httpsGet(url, 2500, nullptr, 8000).empty()) << url;
        EXPECT_EQ(phoneConnectionsOpened() - before, connections) << url;
    }
    EXPECT_EQ(httpsGet(platformUrl, 2500, nullptr, 8000), "Not Found") << "the body whatever the status";
    for (const size_t size : {kCap, kCap + 1}) {
        const std::string body(size, 'a');
        inject({{"path_prefix", "/oi/tx/" + fake}, {"status", 200}, {"body", body}, {"content_type", "text/plain"}});
        EXPECT_EQ(httpsGet(platformUrl, 2500, nullptr, 8000), body.substr(0, kCap)) << size;
        EXPECT_EQ(httpsGet(platformUrl, 2500, nullptr, 8000), "Not Found") << "the platform still answers";
    }
    std::atomic<uint64_t> own{0};
    inject({{"path_prefix", "/oi/tx/" + fake}, {"status", 429}});
    EXPECT_EQ(httpsGet(platformUrl, 2500, &own, 300), "");
    EXPECT_EQ(own.load(), gNow + 1000) << "at least a second";
    inject({{"path_prefix", "/oi/tx/" + fake}, {"status", 503}});
    EXPECT_EQ(httpsGet(platformUrl, 2500, nullptr, 5000), "");
    EXPECT_EQ(phoneFlags().wocBackoffUntil.load(), gNow + 5000) << "WhatsOnChain's pause when none is given";
    const size_t sent = requests();
    std::string plain = platformUrl;
    plain.replace(0, 5, "http");
    EXPECT_EQ(httpsGet(plain, 2500, nullptr, 8000), "");
    EXPECT_EQ(requests(), sent) << "nothing goes out but HTTPS";
}
}  // namespace
}  // namespace dialo::test
