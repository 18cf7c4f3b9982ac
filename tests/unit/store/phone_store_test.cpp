// The phone store as the user meets it: settings that survive a restart, call history and
// answer-phone messages kept per handle, and files that stay whole and private.

#include <ctime>
#include <utility>
#include <vector>

#include "base/base64.h"
#include "base/config.h"
#include "store/handle_switch.h"
#include "store/phone_store.h"
#include "tests/unit/store/store_fixture.h"

namespace dialo {
namespace {

using nlohmann::json;
using test::findById;

class PhoneStoreTest : public test::StoreTest {};

TEST_F(PhoneStoreTest, StoreKeyIsTheBareLowerCaseAlias) {
    EXPECT_EQ(store_key("  @Bob.Smith@orvane.test"), "bobsmith");
    EXPECT_EQ(store_key("Ann_Lee-2"), "ann_lee-2");
    EXPECT_EQ(store_key("@@@"), "");
    EXPECT_EQ(handle_store_path("bobsmith"), handleFile("bobsmith"));
    EXPECT_EQ(handle_store_path(""), "");

    // Everything lives in the one data folder, which computing a path creates.
    EXPECT_EQ(store_directory(), dataDir());
    EXPECT_TRUE(std::filesystem::is_directory(dataDir()));
    EXPECT_EQ(shared_store_path(), sharedFile());
    EXPECT_EQ(store_lock_path(), dataDir() + "/phone.lock");
}

TEST_F(PhoneStoreTest, FirstRunCreatesAnEmptySharedFileAndKeepsDefaults) {
    ASSERT_FALSE(exists(sharedFile()));
    load_settings();

    ASSERT_TRUE(exists(sharedFile()));
    EXPECT_EQ(readText(sharedFile()), "");
    EXPECT_EQ(modeOf(sharedFile()), 0600u);
    EXPECT_EQ(phoneFlags().volume.load(), 100);
    {
        auto g = lockPhone();
        const PhoneSettings& s = g.state.settings;
        EXPECT_FALSE(s.admin);
        EXPECT_EQ(s.theme, 0);
        EXPECT_EQ(s.notify, 0);
        EXPECT_FALSE(s.bsv);
        EXPECT_EQ(s.output, "");
        EXPECT_FALSE(s.mainPos.valid);
        for (int k = 1; k <= kCardKinds; ++k) EXPECT_FALSE(s.cardPos[k].valid) << "card " << k;
        EXPECT_TRUE(g.state.boxes.calls.empty());
        EXPECT_TRUE(g.state.boxes.saved.empty());
    }
    EXPECT_EQ(current_store_key(), "");
    EXPECT_EQ(networkConfig().serviceDomain, "orvane.test");
    EXPECT_EQ(networkConfig().servicePort, 24443);
    EXPECT_EQ(audioConfig().backend, AudioBackend::Pulse);
    EXPECT_EQ(caFilePath(), root() + "/Orvane/devnet-ca.pem");

    // Until a handle is known a save writes the settings only: no per-handle file appears.
    {
        auto g = lockPhone();
        save_phone_store(g.state);
    }
    json shared = readJson(sharedFile());
    EXPECT_EQ(shared["volume"], 100);
    for (const auto& name : folderEntries()) EXPECT_NE(name.rfind("phone-", 0), 0u) << name;
}

TEST_F(PhoneStoreTest, VolumeThemeAndNotifyAreNormalisedOnLoad) {
    const std::vector<std::pair<json, int>> volumes = {
        {120, 100}, {175, 200}, {74, 50}, {75, 100}, {124, 100}, {125, 150},
        {174, 150}, {900, 200}, {-5, 50}, {130.7, 150},
    };
    for (const auto& [stored, loaded] : volumes) {
        writeJson(sharedFile(), {{"volume", stored}});
        load_settings();
        EXPECT_EQ(phoneFlags().volume.load(), loaded) << "stored volume " << stored;
    }

    const std::vector<std::pair<int, int>> themes = {{7, 0}, {-1, 0}, {4, 0}, {3, 3}, {1, 1}};
    for (const auto& [stored, loaded] : themes) {
        writeJson(sharedFile(), {{"theme", stored}});
        load_settings();
        auto g = lockPhone();
        EXPECT_EQ(g.state.settings.theme, loaded) << "stored theme " << stored;
    }

    const std::vector<std::pair<int, int>> notifies = {{9, 0}, {-1, 0}, {2, 2}, {3, 3}};
    for (const auto& [stored, loaded] : notifies) {
        writeJson(sharedFile(), {{"notify", stored}});
        load_settings();
        auto g = lockPhone();
        EXPECT_EQ(g.state.settings.notify, loaded) << "stored notify " << stored;
    }
}

TEST_F(PhoneStoreTest, CardPositionsOutsideTheSevenKindsAreIgnored) {
    writeJson(sharedFile(), {{"boxes", json::array({{{"k", 0}, {"x", 1}, {"y", 1}},
                                                    {{"k", 8}, {"x", 2}, {"y", 2}},
                                                    {{"k", 3}, {"x", 30}, {"y", -40}},
                                                    {{"k", 7}, {"x", 70}, {"y", 71}}})},
                             {"main_x", 5}});
    load_settings();
    {
        auto g = lockPhone();
        const PhoneSettings& s = g.state.settings;
        EXPECT_TRUE(s.cardPos[3].valid);
        EXPECT_EQ(s.cardPos[3].x, 30);
        EXPECT_EQ(s.cardPos[3].y, -40);
        EXPECT_TRUE(s.cardPos[7].valid);
        EXPECT_EQ(s.cardPos[7].x, 70);
        for (int k : {0, 1, 2, 4, 5, 6}) EXPECT_FALSE(s.cardPos[k].valid) << "card " << k;
        // A main position needs both coordinates.
        EXPECT_FALSE(s.mainPos.valid);
    }

    writeJson(sharedFile(), {{"main_x", 5}, {"main_y", -6}});
    load_settings();
    auto g = lockPhone();
    EXPECT_TRUE(g.state.settings.mainPos.valid);
    EXPECT_EQ(g.state.settings.mainPos.x, 5);
    EXPECT_EQ(g.state.settings.mainPos.y, -6);
}

TEST_F(PhoneStoreTest, SettingOfTheWrongTypeIsSkippedAlone) {
    writeJson(sharedFile(), {{"admin", "yes"},
                             {"theme", 2},
                             {"notify", "loud"},
                             {"volume", 150},
                             {"bsv", true},
                             {"output", "sink-7"},
                             {"main_x", 10},
                             {"main_y", 20},
                             {"boxes", json::array({{{"k", 1}, {"x", 3}, {"y", 4}}})},
                             {"network", {{"service_port", "x"}, {"service_domain", "a.test"}}},
                             {"audio", {{"backend", "none"}}}});
    load_settings();

    EXPECT_EQ(networkConfig().servicePort, 24443);
    EXPECT_EQ(networkConfig().directoryPort, 25443);
    EXPECT_EQ(networkConfig().serviceDomain, "a.test");
    EXPECT_EQ(audioConfig().backend, AudioBackend::None);
    EXPECT_EQ(phoneFlags().volume.load(), 150);
    auto g = lockPhone();
    const PhoneSettings& s = g.state.settings;
    EXPECT_FALSE(s.admin);
    EXPECT_EQ(s.theme, 2);
    EXPECT_EQ(s.notify, 0);
    EXPECT_TRUE(s.bsv);
    EXPECT_EQ(s.output, "sink-7");
    EXPECT_TRUE(s.mainPos.valid);
    EXPECT_EQ(s.mainPos.y, 20);
    EXPECT_TRUE(s.cardPos[1].valid);
    EXPECT_EQ(s.cardPos[1].x, 3);
}

TEST_F(PhoneStoreTest, NetworkAndAudioComeFromTheSharedFile) {
    writeJson(sharedFile(), {{"network", {{"service_domain", "example.test"},
                                          {"service_address", "10.0.0.5"},
                                          {"service_port", 8443},
                                          {"directory_port", 9443},
                                          {"woc_base", "https://10.0.0.5:8443/woc"},
                                          {"arc_base", "https://10.0.0.5:8443/arc"},
                                          {"update_base", "https://10.0.0.5:8443"},
                                          {"event_fee_address", "1EventFee"},
                                          {"call_fee_address", "1CallFee"},
                                          {"ca_file", "/etc/dialo/ca.pem"}}},
                             {"audio", {{"backend", "file"}, {"input_wav", "/tmp/in.wav"}, {"output_wav", "/tmp/out.wav"}}}});
    load_settings();

    NetworkConfig n = networkConfig();
    EXPECT_EQ(n.serviceDomain, "example.test");
    EXPECT_EQ(n.serviceAddress, "10.0.0.5");
    EXPECT_EQ(n.servicePort, 8443);
    EXPECT_EQ(n.directoryPort, 9443);
    EXPECT_EQ(n.wocBase, "https://10.0.0.5:8443/woc");
    EXPECT_EQ(n.arcBase, "https://10.0.0.5:8443/arc");
    EXPECT_EQ(n.updateBase, "https://10.0.0.5:8443");
    EXPECT_EQ(n.eventFeeAddress, "1EventFee");
    EXPECT_EQ(n.callFeeAddress, "1CallFee");
    EXPECT_EQ(n.caFile, "/etc/dialo/ca.pem");
    EXPECT_EQ(caFilePath(), "/etc/dialo/ca.pem");

    AudioConfig a = audioConfig();
    EXPECT_EQ(a.backend, AudioBackend::File);
    EXPECT_EQ(a.inputWav, "/tmp/in.wav");
    EXPECT_EQ(a.outputWav, "/tmp/out.wav");
}

TEST_F(PhoneStoreTest, SavesNeverTouchNetworkAudioOrUnknownKeys) {
    const json network = {{"service_domain", "example.test"}, {"service_port", 8443}, {"note", "kept as typed"}};
    const json audio = {{"backend", "file"}, {"input_wav", "/tmp/in.wav"}};
    const json future = {{"a", json::array({1, 2, 3})}, {"b", nullptr}};
    writeJson(sharedFile(), {{"network", network}, {"audio", audio}, {"future_key", future}, {"output", "sink-a"}});
    load_settings();

    auto expectUntouched = [&](const char* when) {
        json shared = readJson(sharedFile());
        EXPECT_EQ(shared["network"].dump(), network.dump()) << when;
        EXPECT_EQ(shared["audio"].dump(), audio.dump()) << when;
        EXPECT_EQ(shared["future_key"].dump(), future.dump()) << when;
    };

    {
        auto g = lockPhone();
        EXPECT_EQ(g.state.settings.output, "sink-a");
        // No output chosen in memory leaves the stored choice in place.
        g.state.settings.output.clear();
        g.state.settings.theme = 2;
        save_phone_store(g.state);
    }
    expectUntouched("after a save");
    json shared = readJson(sharedFile());
    EXPECT_EQ(shared["theme"], 2);
    EXPECT_EQ(shared["output"], "sink-a");

    switch_store_handle("alice");
    expectUntouched("after a switch");
    {
        auto g = lockPhone();
        save_phone_store(g.state);
    }
    expectUntouched("after a save with a handle loaded");
}

TEST_F(PhoneStoreTest, SharedFileIsLeftAloneWithoutTheStoreLock) {
    writeJson(sharedFile(), {{"theme", 1}, {"network", {{"service_domain", "a.test"}}}});
    load_settings();
    const std::string before = readText(sharedFile());
    // A lock file that cannot be opened: the inter-process lock is not held.
    std::filesystem::remove(dataDir() + "/phone.lock");
    std::filesystem::create_directory(dataDir() + "/phone.lock");
    {
        auto g = lockPhone();
        g.state.settings.theme = 3;
        save_phone_store(g.state);
    }
    EXPECT_EQ(readText(sharedFile()), before);

    std::filesystem::remove(dataDir() + "/phone.lock");
    {
        auto g = lockPhone();
        save_phone_store(g.state);
    }
    EXPECT_EQ(readJson(sharedFile())["theme"], 3) << "with the lock back the save goes through";
}

TEST_F(PhoneStoreTest, SettingsAreWrittenIntoBothFiles) {
    switch_store_handle("alice");
    phoneFlags().volume = 150;
    {
        auto g = lockPhone();
        PhoneSettings& s = g.state.settings;
        s.theme = 2;
        s.notify = 3;
        s.bsv = true;
        s.output = "sink-1";
        s.mainPos = {10, 20, true};
        s.cardPos[CardAnswerPhone] = {5, 6, true};
        s.cardPos[CardFees] = {-7, 8, true};
        save_phone_store(g.state);
    }

    const json boxes = json::array({{{"k", 2}, {"x", 5}, {"y", 6}}, {{"k", 6}, {"x", -7}, {"y", 8}}});
    for (const std::string& path : {sharedFile(), handleFile("alice")}) {
        json doc = readJson(path);
        EXPECT_EQ(doc["theme"], 2) << path;
        EXPECT_EQ(doc["notify"], 3) << path;
        EXPECT_EQ(doc["volume"], 150) << path;
        EXPECT_EQ(doc["bsv"], true) << path;
        EXPECT_EQ(doc["output"], "sink-1") << path;
        EXPECT_EQ(doc["main_x"], 10) << path;
        EXPECT_EQ(doc["main_y"], 20) << path;
        EXPECT_EQ(doc["boxes"], boxes) << path;
    }
    EXPECT_EQ(readJson(sharedFile())["admin"], false);
}

TEST_F(PhoneStoreTest, StoreFilesAreOwnerOnlyWholeAndReadable) {
    load_settings();
    switch_store_handle("alice");
    {
        auto g = lockPhone();
        g.state.boxes.calls.push_back(callRecord("Zoë", "alice", 1700000000, "c1"));
        save_phone_store(g.state);
    }

    EXPECT_EQ(modeOf(sharedFile()), 0600u);
    EXPECT_EQ(modeOf(handleFile("alice")), 0600u);
    // Replacement goes through a temporary file that must not be left behind.
    for (const auto& name : folderEntries())
        EXPECT_TRUE(name == "phone.json" || name == "phone-alice.json" || name == "phone.lock") << name;

    const std::string text = readText(handleFile("alice"));
    EXPECT_EQ(text.rfind("{\n  \"", 0), 0u) << "written with an indent of two spaces";
    EXPECT_NE(text.find("Zoë"), std::string::npos) << "non-ASCII text stays UTF-8";
    EXPECT_EQ(text.find("\\u00eb"), std::string::npos);
    EXPECT_EQ(readJson(handleFile("alice"))["calls"][0]["from"], "Zoë");
}

TEST_F(PhoneStoreTest, TransactionIdIsWrittenOnlyWhenComplete) {
    const std::string full(64, 'a');
    const std::string shortId(63, 'b');
    switch_store_handle("alice");
    {
        auto g = lockPhone();
        HandleBoxes& b = g.state.boxes;
        b.saved.push_back(savedMessage(1, "s64", "bob", 1));
        b.saved.back().txid = full;
        b.saved.push_back(savedMessage(2, "s63", "bob", 2));
        b.saved.back().txid = shortId;
        b.inbox.push_back(inboxMessage("i64", "carol", 100, 3));
        b.inbox.back().txid = full;
        b.inbox.push_back(inboxMessage("i63", "carol", 101, 4));
        b.inbox.back().txid = shortId;
        // Neither of these can be played back, so neither is kept.
        b.inbox.push_back(inboxMessage("", "carol", 102, 5));
        b.inbox.push_back(inboxMessage("silent", "carol", 103, 6));
        b.inbox.back().audio.clear();

        CallRecord shortTx = callRecord("bob", "alice", 200, "c1");
        shortTx.txid = shortId;
        shortTx.hide = true;
        b.calls.push_back(shortTx);
        b.calls.push_back(callRecord("alice", "bob", 201, ""));
        save_phone_store(g.state);
    }

    json doc = readJson(handleFile("alice"));
    json s64 = findById(doc["saved"], "s64");
    json s63 = findById(doc["saved"], "s63");
    ASSERT_TRUE(s64.is_object());
    ASSERT_TRUE(s63.is_object());
    EXPECT_EQ(s64["txid"], full);
    EXPECT_FALSE(s63.contains("txid"));
    EXPECT_EQ(s63["n"], 2);
    EXPECT_EQ(s63["from"], "bob");
    EXPECT_EQ(s63["audio"], base64Encode(audio(2)));

    ASSERT_EQ(doc["inbox"].size(), 2u);
    json i64 = findById(doc["inbox"], "i64");
    json i63 = findById(doc["inbox"], "i63");
    ASSERT_TRUE(i64.is_object());
    ASSERT_TRUE(i63.is_object());
    EXPECT_EQ(i64["txid"], full);
    EXPECT_FALSE(i63.contains("txid"));
    EXPECT_EQ(i63["ts"], 101);
    EXPECT_EQ(i63["secs"], 4);

    ASSERT_EQ(doc["calls"].size(), 2u);
    const json& c0 = doc["calls"][0];
    EXPECT_EQ(c0["txid"], shortId);
    EXPECT_EQ(c0["hide"], true);
    EXPECT_EQ(c0["id"], "c1");
    EXPECT_EQ(c0["missed"], false);
    EXPECT_EQ(c0["sats"], 30);
    const json& c1 = doc["calls"][1];
    EXPECT_FALSE(c1.contains("txid"));
    EXPECT_FALSE(c1.contains("id"));
    EXPECT_FALSE(c1.contains("hide"));
    EXPECT_EQ(c1["missed"], false);
    EXPECT_EQ(c1["secs"], 12);
    EXPECT_EQ(c1["ts"], 201);
}

TEST_F(PhoneStoreTest, InboxIsCutToTheNewest2000OnSave) {
    switch_store_handle("alice");
    {
        auto g = lockPhone();
        for (int i = 0; i <= 2000; ++i)
            g.state.boxes.inbox.push_back(inboxMessage("m" + std::to_string(i), "bob", 1000 + i, uint8_t(i)));
        save_phone_store(g.state);
        ASSERT_EQ(g.state.boxes.inbox.size(), 2000u);
        EXPECT_EQ(g.state.boxes.inbox.front().id, "m1");
        EXPECT_EQ(g.state.boxes.inbox.back().id, "m2000");
    }
    json inbox = readJson(handleFile("alice"))["inbox"];
    ASSERT_EQ(inbox.size(), 2000u);
    EXPECT_EQ(inbox.front()["id"], "m1");
    EXPECT_EQ(inbox.back()["id"], "m2000");
}

TEST_F(PhoneStoreTest, CallHistoryKeepsTheNewest80) {
    switch_store_handle("alice");
    {
        auto g = lockPhone();
        g.state.ownHandle = "alice";
        for (int i = 0; i <= 80; ++i)
            append_call(g.state, callRecord("bob", "alice", 1000 + i, "c" + std::to_string(i)));
        ASSERT_EQ(g.state.boxes.calls.size(), 80u);
        EXPECT_EQ(g.state.boxes.calls.front().id, "c1");
        EXPECT_EQ(g.state.boxes.calls.back().id, "c80");
    }
    // Each appended call is saved at once.
    json calls = readJson(handleFile("alice"))["calls"];
    ASSERT_EQ(calls.size(), 80u);
    EXPECT_EQ(calls.front()["id"], "c1");
    EXPECT_EQ(calls.back()["id"], "c80");
}

TEST_F(PhoneStoreTest, OneMissedCallRecordPerCall) {
    switch_store_handle("alice");
    const std::string firstTx(64, 'f');
    const int64_t before = int64_t(std::time(nullptr));
    {
        auto g = lockPhone();
        g.state.ownHandle = "alice";
        g.state.firstTxid = firstTx;
        record_missed_call(g.state, "Bob", "call-1");
        record_missed_call(g.state, "Bob", "call-1");
        record_missed_call(g.state, "Bob", "call-2");
        record_missed_call(g.state, "", "call-3");  // no caller: nothing to show
        // A call that was answered does not stop a missed-call record for the same id.
        g.state.boxes.calls.push_back(callRecord("Bob", "alice", 5, "call-4"));
        record_missed_call(g.state, "Bob", "call-4");
    }
    const int64_t after = int64_t(std::time(nullptr));

    auto g = lockPhone();
    const auto& calls = g.state.boxes.calls;
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].id, "call-1");
    EXPECT_EQ(calls[1].id, "call-2");
    EXPECT_EQ(calls[3].id, "call-4");
    EXPECT_TRUE(calls[3].missed);
    const CallRecord& r = calls[0];
    EXPECT_EQ(r.from, "Bob");
    EXPECT_EQ(r.to, "alice");
    EXPECT_TRUE(r.missed);
    EXPECT_FALSE(r.hide);
    EXPECT_EQ(r.secs, 0);
    EXPECT_EQ(r.sats, 0);
    EXPECT_EQ(r.txid, firstTx);
    EXPECT_GE(r.ts, before);
    EXPECT_LE(r.ts, after);

    json fileCalls = readJson(handleFile("alice"))["calls"];
    ASSERT_EQ(fileCalls.size(), 4u);
    EXPECT_EQ(fileCalls[0]["missed"], true);
    EXPECT_EQ(fileCalls[0]["txid"], firstTx);
}

TEST_F(PhoneStoreTest, SavedOrDeletedMessagesDoNotComeBackToTheInbox) {
    writeJson(handleFile("alice"), {{"answerphone", true},
                                    {"heard", json::array({"a"})},
                                    {"tomb", json::array({"b"})},
                                    {"inbox", json::array({inboxJson("a", "bob", 1, 1), inboxJson("b", "bob", 2, 2),
                                                           inboxJson("c", "bob", 3, 3)})}});
    switch_store_handle("alice");
    auto inboxIds = [] {
        auto g = lockPhone();
        std::vector<std::string> ids;
        for (const auto& m : g.state.boxes.inbox) ids.push_back(m.id);
        return ids;
    };
    EXPECT_EQ(inboxIds(), std::vector<std::string>{"c"});
    {
        auto g = lockPhone();
        EXPECT_TRUE(g.state.boxes.answerphone);
        EXPECT_EQ(g.state.boxes.inbox[0].audio, audio(3));
    }
    json inbox = readJson(handleFile("alice"))["inbox"];
    ASSERT_EQ(inbox.size(), 1u);
    EXPECT_EQ(inbox[0]["id"], "c");

    // And not after the handle is loaded again either.
    switch_store_handle("bob");
    switch_store_handle("alice");
    EXPECT_EQ(inboxIds(), std::vector<std::string>{"c"});
}

TEST_F(PhoneStoreTest, LoadedBlockListIsBareLowerCaseWithoutRepeats) {
    json doc = {{"answerphone", false},
                {"blocked", json::array({"  @Bob@orvane.test", "bob", "", "@@", 5, "CAROL"})},
                {"heard", json::array({"h1", 7, "h2"})},
                {"tomb", "not a list"}};
    auto g = lockPhone();
    (void)apply_handle_document(g.state, doc);
    EXPECT_EQ(g.state.boxes.blocked, (std::vector<std::string>{"bob", "carol"}));
    EXPECT_EQ(g.state.boxes.heard, (std::vector<std::string>{"h1", "h2"}));
    EXPECT_TRUE(g.state.boxes.tomb.empty());
}

}  // namespace
}  // namespace dialo
