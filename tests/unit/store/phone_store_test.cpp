// The phone store as the user meets it: settings that survive a restart, call history and
// answer-phone messages kept per handle, and files that stay whole and private.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>

#include "base/config.h"
#include "store/messages.h"
#include "vaultra/resolve.h"
#include "tests/unit/store/store_fixture.h"

namespace dialo {
namespace {

using nlohmann::json;
using test::Ids;
using test::idsIn;

class PhoneStoreTest : public test::StoreTest {};

TEST_F(PhoneStoreTest, SettingsAreNormalisedAndBadlyTypedOnesSkippedAlone) {
    const std::tuple<const char*, json, int> cases[] = {
        {"volume", 74, 50}, {"volume", 75, 100}, {"volume", 125, 150}, {"volume", 900, 200}, {"volume", -5, 50},
        {"theme", 7, 0},    {"theme", 3, 3},     {"notify", "loud", 0}, {"notify", 2, 2},
    };
    for (const auto& [key, stored, loaded] : cases) {
        writeJson(sharedFile(), {{key, stored}, {"network", {{"service_port", "x"}, {"service_domain", "a.test"}}}});
        load_settings();
        auto g = lockPhone();
        const std::string k = key;
        EXPECT_EQ(k == "volume" ? phoneFlags().volume.load() : k == "theme" ? g.state.settings.theme : g.state.settings.notify,
                  loaded) << key << " stored as " << stored;
        EXPECT_EQ(networkConfig().servicePort, 24443);
        EXPECT_EQ(networkConfig().serviceDomain, "a.test");
    }
}

TEST_F(PhoneStoreTest, NetworkAndAudioAreReadAndSavesKeepThemAndUnknownKeysAsTyped) {
    // An API key goes into a request header as it is: one with a blank or a line break is no key.
    for (const auto& [key, read] : {std::pair{"k-1", "k-1"}, {"k\r\nX-Evil: 1", ""}, {"k 1", ""}, {"k\x7f", ""}}) {
        writeJson(sharedFile(), {{"network", {{"woc_api_key", key}, {"arc_api_key", key}}}});
        load_settings();
        EXPECT_EQ(networkConfig().wocApiKey + "|" + networkConfig().arcApiKey, std::string(read) + "|" + read) << key;
    }
    const json kept = {{"network", {{"service_domain", "example.test"}, {"ca_file", "/etc/ca.pem"}, {"note", "as typed"}}},
                       {"audio", {{"backend", "file"}, {"input_wav", "/tmp/in.wav"}}},
                       {"future_key", {{"a", json::array({1, 2})}, {"b", nullptr}}},
                       {"output", "sink-a"}};
    writeJson(sharedFile(), kept);
    load_settings();
    EXPECT_EQ(networkConfig().serviceDomain, "example.test");
    EXPECT_EQ(caFilePath(), "/etc/ca.pem");
    EXPECT_EQ(audioConfig().backend, AudioBackend::File);
    // No output chosen in memory leaves the stored choice in place; a handle's save keeps them too.
    lockPhone().state.settings.output.clear();
    switch_store_handle("alice");
    save();
    json shared = readJson(sharedFile());
    for (const auto& [key, value] : kept.items()) EXPECT_EQ(shared[key].dump(), value.dump()) << key;
}

TEST_F(PhoneStoreTest, OnlyTheDevnetGetsBuiltInFeeAddressesItsCaAndLoopbackPaymail) {
    const std::pair<json, bool> rows[] = {
        {json::object(), true},
        {{{"woc_base", "https://api.example/v1/bsv/main"}}, false},
        {{{"service_address", "10.0.0.5"}}, false},
        {{{"woc_base", "https://api.example/x"}, {"hosts", {{"api.example", "127.0.0.1:9"}}}}, true},
    };
    const std::string ca = std::filesystem::path(dataDir()).parent_path().string() + "/devnet-ca.pem";
    for (const auto& [network, devnet] : rows) {
        writeJson(sharedFile(), {{"network", network}});
        load_settings();
        const NetworkConfig n = networkConfig();
        EXPECT_EQ(n.devnet, devnet) << network;
        EXPECT_EQ(n.eventFeeAddress.empty() || n.callFeeAddress.empty(), !devnet) << network;
        EXPECT_EQ(caFilePath(), devnet ? ca : "") << network;
        EXPECT_EQ(sameMachineDirectory(n), devnet) << network;
        for (const char* address : {"127.0.0.1", "0x7f.0x1", "0177.0.0.1"})
            EXPECT_EQ(valid_paymail_domain(address), devnet) << address << " " << network;
    }
}

TEST_F(PhoneStoreTest, SettingsSurviveARestartInBothPrivateWholeFiles) {
    load_settings();
    switch_store_handle("alice");
    phoneFlags().volume = 150;
    {
        auto g = lockPhone();
        g.state.settings = {.theme = 2, .notify = 3, .bsv = true, .output = "sink-1", .input = "mic-1", .mainPos = {10, 20, true}};
        g.state.settings.cardPos[CardFees] = {-7, 8, true};
        g.state.boxes.calls.push_back(callRecord("Zoë", "alice", 1700000000, "c1"));
        save_phone_store(g.state);
    }
    const json expected = {{"theme", 2},         {"notify", 3},  {"volume", 150}, {"bsv", true}, {"output", "sink-1"},
                           {"input", "mic-1"},   {"main_x", 10}, {"main_y", 20},
                           {"boxes", json::array({{{"k", 6}, {"x", -7}, {"y", 8}}})}};
    for (const std::string& path : {sharedFile(), handleFile("alice")}) {
        json doc = readJson(path);
        for (const auto& [key, value] : expected.items()) EXPECT_EQ(doc[key], value) << path << " " << key;
        EXPECT_EQ(modeOf(path), 0600u) << path;
    }
    // Replacement goes through temporary files, none left behind.
    EXPECT_EQ(folderEntries(), (std::set<std::string>{"phone.json", "phone-alice.json", "phone.lock"}));
    EXPECT_NE(readText(handleFile("alice")).find("Zoë"), std::string::npos) << "non-ASCII text stays UTF-8";
    lockPhone().state.settings = PhoneSettings{};
    load_settings();
    auto g = lockPhone();
    EXPECT_TRUE(g.state.settings.mainPos.valid && g.state.settings.mainPos.y == 20);
    EXPECT_TRUE(g.state.settings.cardPos[CardFees].valid && g.state.settings.cardPos[CardFees].x == -7);
}

TEST_F(PhoneStoreTest, OnlyCompleteTransactionIdsAndPlayableMessagesAreWritten) {
    const std::string full(64, 'a'), shortId(63, 'b');
    switch_store_handle("alice");
    {
        auto g = lockPhone();
        HandleBoxes& b = g.state.boxes;
        b.saved = {savedMessage(1, "s64", "bob", 1), savedMessage(2, "s63", "bob", 2)};
        b.saved[0].txid = full;
        b.saved[1].txid = shortId;
        b.inbox = {inboxMessage("i64", "carol", 100, 3), inboxMessage("", "carol", 102, 5), inboxMessage("silent", "carol", 103, 6)};
        b.inbox[0].txid = full;
        b.inbox[2].audio.clear();
        b.calls = {callRecord("alice", "bob", 201, "c1")};
        b.calls[0].receipt = {.sent = {full}, .heard = {}, .sentKinds = {"invite"}, .heardKinds = {}, .sentCount = 70,
                              .heardCount = 2, .feeTxid = full, .feeSats = 25226};
        save_phone_store(g.state);
    }
    // Audio lives in a private file of its own beside the document, which names it.
    json doc = readJson(handleFile("alice"));
    EXPECT_EQ(idsIn(doc["inbox"]), Ids{"i64"});
    EXPECT_EQ(doc["inbox"][0]["txid"], full);
    EXPECT_EQ(doc["saved"][0]["txid"], full);
    EXPECT_FALSE(doc["saved"][1].contains("txid"));
    for (const auto& [id, seed] : {std::pair{"s64", 1}, {"s63", 2}, {"i64", 3}}) {
        EXPECT_EQ(doc.dump().find(base64Encode(audio(uint8_t(seed)))), std::string::npos) << id;
        EXPECT_EQ(readText(audioFile("alice", id)), audioText(uint8_t(seed))) << id;
        EXPECT_EQ(modeOf(audioFile("alice", id)), 0600u) << id;
    }
    // A receipt reads back as written; one whose lists do not read is left out, not the call.
    doc["calls"].push_back(doc["calls"][0]);
    doc["calls"][1]["receipt"] = {{"sent", {shortId, 5}}, {"nsent", -3}};
    PhoneState back;
    ASSERT_TRUE(apply_handle_document(back, doc));
    ASSERT_EQ(back.boxes.calls.size(), 2u);
    const CallReceipt& r = back.boxes.calls[0].receipt;
    EXPECT_EQ(std::tie(r.sent, r.sentCount, r.heardCount, r.sentKinds, r.feeTxid, r.feeSats),
              std::make_tuple(Ids{full}, 70, 2, Ids{"invite"}, full, int64_t(25226)));
    EXPECT_EQ(back.boxes.calls[1].receipt.sentCount, 0);
    EXPECT_TRUE(back.boxes.calls[1].receipt.sent.empty());
}

TEST_F(PhoneStoreTest, InboxAndCallHistoryKeepTheNewest) {
    switch_store_handle("alice");
    {
        auto g = lockPhone();
        g.state.ownHandle = "alice";
        for (int i = 0; i <= 80; ++i) append_call(g.state, callRecord("bob", "alice", i, "c" + std::to_string(i)));
        for (int i = 0; i <= 2000; ++i)
            g.state.boxes.inbox.push_back(inboxMessage("m" + std::to_string(i), "bob", 1000 + i, uint8_t(i)));
        // An appended call is saved at once, and the inbox with it.
        append_call(g.state, callRecord("bob", "alice", 81, "c81"));
    }
    json doc = readJson(handleFile("alice"));
    const Ids inbox = idsIn(doc["inbox"]), calls = idsIn(doc["calls"]);
    EXPECT_EQ(inbox, ids(&HandleBoxes::inbox));
    EXPECT_EQ(calls, ids(&HandleBoxes::calls));
    ASSERT_EQ(inbox.size(), 2000u);
    ASSERT_EQ(calls.size(), 80u);
    EXPECT_EQ(inbox.front() + " " + inbox.back() + " " + calls.front() + " " + calls.back(), "m1 m2000 c2 c81");
}

TEST_F(PhoneStoreTest, OneMissedCallRecordPerCall) {
    switch_store_handle("alice");
    const int64_t before = int64_t(std::time(nullptr));
    {
        auto g = lockPhone();
        g.state.ownHandle = "alice";
        g.state.firstTxid = std::string(64, 'f');
        g.state.callId = "call-2";
        g.state.callSats = 7;  // what the ringing call cost so far goes on its record only
        for (const char* id : {"call-1", "call-1", "call-2"}) record_missed_call(g.state, "Bob", id);
        record_missed_call(g.state, "", "call-3");  // no caller: nothing to show
        // An answered call does not stop a missed-call record for the same id.
        g.state.boxes.calls.push_back(callRecord("Bob", "alice", 5, "call-4"));
        record_missed_call(g.state, "Bob", "call-4");
    }
    EXPECT_EQ(ids(&HandleBoxes::calls), (Ids{"call-1", "call-2", "call-4", "call-4"}));
    auto g = lockPhone();
    const CallRecord& r = g.state.boxes.calls[0];
    EXPECT_EQ(r.from + " " + r.to + " " + r.txid, "Bob alice " + std::string(64, 'f'));
    EXPECT_TRUE(r.missed && r.sats == 0 && r.ts >= before);
    EXPECT_EQ(g.state.boxes.calls[1].sats, 7);
    EXPECT_EQ(readJson(handleFile("alice"))["calls"].size(), 4u) << "each record is saved at once";
}

TEST_F(PhoneStoreTest, SavedOrDeletedMessagesDoNotComeBackToTheInbox) {
    writeJson(handleFile("alice"), {{"heard", json::array({"a"})}, {"tomb", json::array({"b"})},
                                    {"inbox", json::array({inboxJson("a", "bob", 1, 1), inboxJson("b", "bob", 2, 2),
                                                           inboxJson("c", "bob", 3, 3)})}});
    auto reload = [] {
        switch_store_handle("bob");
        switch_store_handle("alice");
    };
    switch_store_handle("alice");
    ASSERT_EQ(ids(&HandleBoxes::inbox), Ids{"c"});
    // A file of the inline layout is rewritten in the new one, its audio intact beside it.
    EXPECT_FALSE(readJson(handleFile("alice"))["inbox"][0].contains("audio"));
    EXPECT_EQ(readText(audioFile("alice", "c")), audioText(3));
    reload();
    EXPECT_EQ(ids(&HandleBoxes::inbox), Ids{"c"});

    // A user keeps c and deletes d; neither comes back, and c lives on among the saved.
    {
        auto g = lockPhone();
        g.state.boxes.inbox.push_back({"d", "carol", audio(4), std::string(64, 'd'), 4, 4});
        EXPECT_EQ(save_inbox_message(g.state, "c"), 1);
        EXPECT_TRUE(delete_message(g.state, "d"));
        EXPECT_FALSE(delete_message(g.state, "d"));
        save_phone_store(g.state);
    }
    reload();
    EXPECT_TRUE(ids(&HandleBoxes::inbox).empty());
    ASSERT_EQ(ids(&HandleBoxes::saved), Ids{"c"});
    EXPECT_EQ(lockPhone().state.boxes.saved[0].audio, audio(3));
    {
        auto g = lockPhone();
        EXPECT_TRUE(delete_message(g.state, "c"));
        save_phone_store(g.state);
    }
    reload();
    EXPECT_TRUE(ids(&HandleBoxes::saved).empty());
    EXPECT_EQ(readJson(handleFile("alice"))["tomb"], json::array({"b", "d", "c"}));
    // Once no document names them, deleted messages' audio files are gone too.
    EXPECT_TRUE(std::filesystem::is_empty(dataDir() + "/audio-alice"));
}

TEST_F(PhoneStoreTest, MessageWhoseAudioFileIsGoneIsLeftOutOfTheLoadAlone) {
    // As another start left it: one file gone, one empty, one name pointing elsewhere.
    auto named = [](json m, const std::string& file) {
        m.erase("audio");
        m["audio_file"] = file;
        return m;
    };
    using store_detail::audioFileName;
    writeJson(handleFile("alice"), {{"inbox", json::array({named(inboxJson("kept", "bob", 1, 1), audioFileName("kept")),
                                                           named(inboxJson("lost", "bob", 2, 2), audioFileName("lost")),
                                                           named(inboxJson("other", "bob", 4, 4), "../phone.json")})},
                                    {"saved", json::array({named(savedJson(1, "s1", "bob", 3), audioFileName("s1"))})}});
    writeText(audioFile("alice", "kept"), audioText(1));
    writeText(audioFile("alice", "s1"), "");
    switch_store_handle("alice");
    EXPECT_EQ(ids(&HandleBoxes::inbox), Ids{"kept"});
    EXPECT_TRUE(ids(&HandleBoxes::saved).empty());

    // A file that is there but does not read is no gone message: the load fails, nothing of
    // the handle is rewritten or deleted, and once the file reads the message is back.
    switch_store_handle("bob");
    const std::string file = audioFile("alice", "kept"), before = readText(handleFile("alice"));
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    switch_store_handle("alice");
    EXPECT_EQ(current_store_key(), "");
    save();
    switch_store_handle("bob");
    EXPECT_EQ(readText(handleFile("alice")), before);
    std::filesystem::remove(file);
    writeText(file, audioText(1));
    switch_store_handle("alice");
    EXPECT_EQ(ids(&HandleBoxes::inbox), Ids{"kept"});
}

// The window paints under the phone-state mutex while saves come in: none may write under it.
TEST_F(PhoneStoreTest, SaverWritesOutsideThePhoneStateMutexOnceAndOnlyWhatChanged) {
    load_settings();
    switch_store_handle("alice");
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::pair<std::string, std::thread::id>> writes;
    setStoreWriteHook([&](const std::string& path) {
        std::lock_guard<std::mutex> lock(m);
        writes.emplace_back(path, std::this_thread::get_id());
        cv.notify_all();
    });
    ASSERT_TRUE(start_store_saver());
    {
        auto g = lockPhone();
        g.state.boxes.inbox = {inboxMessage("m1", "bob", 1, 1)};
        save_phone_store(g.state);
        // Still holding the mutex: the document must reach the disk all the same.
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(60), [&] {
            return std::any_of(writes.begin(), writes.end(), [&](const auto& w) { return w.first == handleFile("alice"); });
        })) << "no write while another thread held the phone-state mutex";
        for (const auto& w : writes) EXPECT_NE(w.second, std::this_thread::get_id()) << w.first;
    }
    ASSERT_TRUE(flush_phone_store());
    EXPECT_EQ(readText(audioFile("alice", "m1")), audioText(1));
    // Nothing changed: nothing is written. Many saves in a row: the newest state stays on disk.
    auto written = [&] {
        std::lock_guard<std::mutex> lock(m);
        return std::exchange(writes, {}).size();
    };
    written();
    save();
    ASSERT_TRUE(flush_phone_store());
    EXPECT_EQ(written(), 0u);
    for (int theme = 0; theme < 4; ++theme) {
        lockPhone().state.settings.theme = theme;
        save();
    }
    stop_store_saver();
    setStoreWriteHook({});
    EXPECT_EQ(readJson(handleFile("alice"))["theme"], 3);
    EXPECT_EQ(readJson(sharedFile())["theme"], 3);
}

TEST_F(PhoneStoreTest, LoadedBlockListIsBareLowerCaseWithoutRepeats) {
    json doc = {{"blocked", json::array({"  @Bob@orvane.test", "bob", "", "@@", 5, "CAROL"})},
                {"heard", json::array({"h1", 7, "h2"})},
                {"tomb", "not a list"}};
    auto g = lockPhone();
    EXPECT_FALSE(apply_handle_document(g.state, doc));
    EXPECT_EQ(g.state.boxes.blocked, (Ids{"bob", "carol"}));
    EXPECT_EQ(g.state.boxes.heard, (Ids{"h1", "h2"}));
    EXPECT_TRUE(g.state.boxes.tomb.empty());
}

}  // namespace
}  // namespace dialo
