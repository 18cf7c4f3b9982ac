// The phone store as the user meets it: settings, per-handle history, whole private files.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
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
        // A message's audio goes to a file of its own; a transaction id is written only whole.
        g.state.boxes.inbox = {inboxMessage("i1", "bob", 1, 1), inboxMessage("i2", "bob", 2, 2)};
        g.state.boxes.inbox[0].txid = std::string(64, 'a');
        g.state.boxes.inbox[1].txid = std::string(63, 'b');
        save_phone_store(g.state);
    }
    const json inbox = readJson(handleFile("alice"))["inbox"];
    EXPECT_EQ(inbox[0]["txid"], std::string(64, 'a'));
    EXPECT_FALSE(inbox[1].contains("txid") || inbox[1].contains("audio"));
    EXPECT_EQ(readText(audioFile("alice", "i2")), audioText(2));
    EXPECT_EQ(modeOf(audioFile("alice", "i2")), 0600u);
    const json expected = {{"theme", 2},         {"notify", 3},  {"volume", 150}, {"bsv", true}, {"output", "sink-1"},
                           {"input", "mic-1"},   {"main_x", 10}, {"main_y", 20},
                           {"boxes", json::array({{{"k", 6}, {"x", -7}, {"y", 8}}})}};
    for (const std::string& path : {sharedFile(), handleFile("alice")}) {
        json doc = readJson(path);
        for (const auto& [key, value] : expected.items()) EXPECT_EQ(doc[key], value) << path << " " << key;
        EXPECT_EQ(modeOf(path), 0600u) << path;
    }
    // Replacement goes through temporary files, none left behind.
    EXPECT_EQ(folderEntries(), (std::set<std::string>{"phone.json", "phone-alice.json", "phone.lock", "audio-alice"}));
    EXPECT_NE(readText(handleFile("alice")).find("Zoë"), std::string::npos) << "non-ASCII text stays UTF-8";
    lockPhone().state.settings = PhoneSettings{};
    load_settings();
    auto g = lockPhone();
    EXPECT_TRUE(g.state.settings.mainPos.valid && g.state.settings.mainPos.y == 20);
    EXPECT_TRUE(g.state.settings.cardPos[CardFees].valid && g.state.settings.cardPos[CardFees].x == -7);
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
    // A file that does not read is no gone message: nothing of the handle is rewritten or deleted.
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
TEST_F(PhoneStoreTest, SaverWritesOutsideThePhoneStateMutexAndKeepsTheNewest) {
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
    // Many saves in a row: the newest state is what stays on disk.
    for (int theme = 0; theme < 4; ++theme) {
        lockPhone().state.settings.theme = theme;
        save();
    }
    stop_store_saver();
    setStoreWriteHook({});
    EXPECT_EQ(readJson(handleFile("alice"))["theme"], 3);
    EXPECT_EQ(readJson(sharedFile())["theme"], 3);
}
}  // namespace
}  // namespace dialo
