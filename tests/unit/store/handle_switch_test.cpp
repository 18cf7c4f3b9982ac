// Changing the connected handle: each handle sees only its own history and messages, the
// old single-file layout is shared out once, and a damaged or unreadable file never costs
// the user their records.

#include <string>
#include <vector>

#include "store/handle_switch.h"
#include "store/phone_store.h"
#include "tests/unit/store/store_fixture.h"

namespace dialo {
namespace {

using nlohmann::json;
using test::findById;

class HandleSwitchTest : public test::StoreTest {};

std::vector<std::string> savedIds() {
    auto g = lockPhone();
    std::vector<std::string> ids;
    for (const auto& m : g.state.boxes.saved) ids.push_back(m.id);
    return ids;
}

std::vector<int> savedNumbers() {
    auto g = lockPhone();
    std::vector<int> numbers;
    for (const auto& m : g.state.boxes.saved) numbers.push_back(m.n);
    return numbers;
}

std::vector<std::string> callIds() {
    auto g = lockPhone();
    std::vector<std::string> ids;
    for (const auto& c : g.state.boxes.calls) ids.push_back(c.id);
    return ids;
}

std::vector<std::string> idsIn(const json& array) {
    std::vector<std::string> ids;
    for (const auto& e : array) ids.push_back(e.value("id", std::string()));
    return ids;
}

TEST_F(HandleSwitchTest, HandleOfOnlyAtSignsHasNoFile) {
    switch_store_handle("alice");
    {
        auto g = lockPhone();
        g.state.boxes.calls.push_back(callRecord("bob", "alice", 10, "c1"));
    }
    switch_store_handle("@@@");
    EXPECT_EQ(current_store_key(), "");
    {
        auto g = lockPhone();
        EXPECT_TRUE(g.state.boxes.calls.empty());
        g.state.boxes.calls.push_back(callRecord("bob", "nobody", 11, "c2"));
        save_phone_store(g.state);
    }
    // The outgoing handle kept its call; the key-less one was never written anywhere.
    EXPECT_EQ(idsIn(readJson(handleFile("alice"))["calls"]), std::vector<std::string>{"c1"});
    for (const auto& name : folderEntries())
        EXPECT_TRUE(name == "phone.json" || name == "phone-alice.json" || name == "phone.lock") << name;
}

TEST_F(HandleSwitchTest, OnlyASwitchToAnotherHandleWritesItsDocumentAndTellsTheWindows) {
    test::UiCounts ui;
    countUi(ui);
    EXPECT_FALSE(take_history_refresh_request());
    EXPECT_FALSE(take_restore_positions_request());

    switch_store_handle("alice");
    // The same handle written differently does nothing more.
    switch_store_handle("ALICE@orvane.test");
    switch_store_handle(" @Alice");
    EXPECT_EQ(current_store_key(), "alice");
    EXPECT_EQ(ui.connected.load(), 1);
    EXPECT_EQ(ui.cardsRefresh.load(), 1);
    EXPECT_EQ(ui.otherMain.load(), 0);
    EXPECT_EQ(ui.otherCards.load(), 0);
    // Each request is cleared by the one who reads it.
    EXPECT_TRUE(take_history_refresh_request());
    EXPECT_FALSE(take_history_refresh_request());
    EXPECT_TRUE(take_restore_positions_request());
    EXPECT_FALSE(take_restore_positions_request());

    json doc = readJson(handleFile("alice"));
    ASSERT_TRUE(doc.is_object());
    EXPECT_EQ(modeOf(handleFile("alice")), 0600u);
    EXPECT_EQ(doc["answerphone"], false);
    for (const char* list : {"blocked", "heard", "tomb", "saved", "calls", "inbox"})
        EXPECT_EQ(doc[list], json::array()) << list;
    EXPECT_EQ(doc["theme"], 0);
    EXPECT_EQ(doc["notify"], 0);
    EXPECT_EQ(doc["volume"], 100);
    EXPECT_EQ(doc["bsv"], false);

    switch_store_handle("bob");
    EXPECT_EQ(current_store_key(), "bob");
    EXPECT_EQ(ui.connected.load(), 2);
    EXPECT_EQ(ui.cardsRefresh.load(), 2);
    EXPECT_TRUE(take_history_refresh_request());
}

TEST_F(HandleSwitchTest, SingleFileLayoutIsSharedOutOnce) {
    const json legacySaved = json::array(
        {savedJson(1, "s1", "carol", 1), savedJson(2, "s2", "dave", 2), savedJson(3, "s3", "bob", 3)});
    const json legacyCalls = json::array({callJson("alice", "bob", 1, "ab"),
                                          callJson("carol", "@Alice@orvane.test", 2, "ca"),
                                          callJson("Bob", "carol", 3, "bc"),
                                          callJson("dave", "erin", 4, "de")});
    writeJson(sharedFile(), {{"answerphone", true},
                             {"blocked", json::array({"@Mallory@orvane.test", "eve"})},
                             {"heard", json::array({"h1"})},
                             {"tomb", json::array({"t1"})},
                             {"saved", legacySaved},
                             {"calls", legacyCalls},
                             {"inbox", json::array({inboxJson("i1", "carol", 5, 5), inboxJson("i2", "dave", 6, 6)})}});
    load_settings();

    switch_store_handle("Alice");
    EXPECT_EQ(savedIds(), (std::vector<std::string>{"s1", "s2", "s3"}));
    EXPECT_EQ(savedNumbers(), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(callIds(), (std::vector<std::string>{"ab", "ca"}));
    {
        auto g = lockPhone();
        EXPECT_TRUE(g.state.boxes.inbox.empty());
        EXPECT_TRUE(g.state.boxes.answerphone);
        EXPECT_EQ(g.state.boxes.heard, std::vector<std::string>{"h1"});
        EXPECT_EQ(g.state.boxes.tomb, std::vector<std::string>{"t1"});
        EXPECT_EQ(g.state.boxes.saved[2].audio, audio(3));
        EXPECT_EQ(g.state.boxes.blocked, (std::vector<std::string>{"mallory", "eve"}));
    }
    json shared = readJson(sharedFile());
    EXPECT_EQ(shared["legacy_saved_owner"], "alice");
    // The shared file keeps the old layout's keys.
    EXPECT_EQ(shared["saved"], legacySaved);
    EXPECT_EQ(shared["calls"], legacyCalls);
    json alice = readJson(handleFile("alice"));
    EXPECT_EQ(idsIn(alice["saved"]), (std::vector<std::string>{"s1", "s2", "s3"}));
    EXPECT_EQ(idsIn(alice["calls"]), (std::vector<std::string>{"ab", "ca"}));
    EXPECT_EQ(alice["inbox"], json::array());
    EXPECT_EQ(alice["blocked"], json::array({"mallory", "eve"}));

    switch_store_handle("bob");
    EXPECT_TRUE(savedIds().empty());
    EXPECT_EQ(callIds(), (std::vector<std::string>{"ab", "bc"}));
    {
        auto g = lockPhone();
        EXPECT_TRUE(g.state.boxes.inbox.empty());
        // Every handle keeps the old block list, not only the first to load.
        EXPECT_EQ(g.state.boxes.blocked, (std::vector<std::string>{"mallory", "eve"}));
    }
    json bob = readJson(handleFile("bob"));
    EXPECT_EQ(bob["saved"], json::array());
    EXPECT_EQ(idsIn(bob["calls"]), (std::vector<std::string>{"ab", "bc"}));
    EXPECT_EQ(bob["inbox"], json::array());
    EXPECT_EQ(readJson(sharedFile())["legacy_saved_owner"], "alice");

    // Coming back reads alice's own file; nothing is migrated twice.
    switch_store_handle("alice");
    EXPECT_EQ(savedIds(), (std::vector<std::string>{"s1", "s2", "s3"}));
    EXPECT_EQ(callIds(), (std::vector<std::string>{"ab", "ca"}));
    switch_store_handle("bob");
    EXPECT_TRUE(savedIds().empty());
    EXPECT_EQ(readJson(sharedFile())["legacy_saved_owner"], "alice");
}

TEST_F(HandleSwitchTest, OwnFileDropsOldLayoutMessagesThatAnotherHandleOwns) {
    writeJson(sharedFile(), {{"saved", json::array({savedJson(1, "L1", "zed", 1), savedJson(2, "L2", "zed", 2)})}});
    writeJson(handleFile("carol"), {{"saved", json::array({savedJson(1, "L1", "zed", 1)})}, {"calls", json::array()}});
    writeJson(handleFile("bob"), {{"saved", json::array({savedJson(1, "L1", "zed", 1), savedJson(2, "B1", "dave", 4),
                                                          savedJson(3, "L2", "zed", 2), savedJson(4, "", "erin", 5)})},
                                  {"calls", json::array()}});
    load_settings();

    // The first handle to load after the change of layout becomes the owner and keeps them.
    switch_store_handle("carol");
    EXPECT_EQ(savedIds(), std::vector<std::string>{"L1"});
    EXPECT_EQ(readJson(sharedFile())["legacy_saved_owner"], "carol");

    switch_store_handle("bob");
    EXPECT_EQ(savedIds(), (std::vector<std::string>{"B1", ""}));
    EXPECT_EQ(savedNumbers(), (std::vector<int>{1, 2}));
    EXPECT_EQ(idsIn(readJson(handleFile("bob"))["saved"]), (std::vector<std::string>{"B1", ""}));
    EXPECT_EQ(readJson(sharedFile())["legacy_saved_owner"], "carol");
}

TEST_F(HandleSwitchTest, SavedMessagesAreNumberedOthersFirst) {
    {
        auto g = lockPhone();
        g.state.ownHandle = "Alice@orvane.test";
        auto& saved = g.state.boxes.saved;
        saved.push_back(savedMessage(0, "own1", "alice", 1));
        saved.push_back(savedMessage(0, "other1", "bob", 2));
        saved.push_back(savedMessage(0, "own2", " @ALICE", 3));
        saved.push_back(savedMessage(0, "other2", "carol", 4));
        EXPECT_TRUE(renumber_saved(g.state));
        EXPECT_FALSE(renumber_saved(g.state));
    }
    EXPECT_EQ(savedNumbers(), (std::vector<int>{3, 1, 4, 2}));
    EXPECT_EQ(savedIds(), (std::vector<std::string>{"own1", "other1", "own2", "other2"}));

    {
        // Without a known own handle every message counts as someone else's.
        auto g = lockPhone();
        g.state.ownHandle.clear();
        EXPECT_TRUE(renumber_saved(g.state));
    }
    EXPECT_EQ(savedNumbers(), (std::vector<int>{1, 2, 3, 4}));

    // Loading a handle numbers its file the same way and writes the numbers back.
    {
        auto g = lockPhone();
        g.state.boxes.saved.clear();
        g.state.ownHandle = "alice";
    }
    writeJson(handleFile("alice"), {{"saved", json::array({savedJson(1, "own1", "alice", 1), savedJson(2, "other1", "bob", 2),
                                                            savedJson(3, "own2", "Alice", 3), savedJson(4, "other2", "carol", 4)})}});
    switch_store_handle("alice");
    EXPECT_EQ(savedNumbers(), (std::vector<int>{3, 1, 4, 2}));
    json saved = readJson(handleFile("alice"))["saved"];
    ASSERT_EQ(saved.size(), 4u);
    EXPECT_EQ(saved[0]["n"], 3);
    EXPECT_EQ(saved[1]["n"], 1);
    EXPECT_EQ(saved[2]["n"], 4);
    EXPECT_EQ(saved[3]["n"], 2);
}

TEST_F(HandleSwitchTest, SwitchWritesTheOutgoingHandleAndClearsTheLists) {
    switch_store_handle("alice");
    {
        auto g = lockPhone();
        HandleBoxes& b = g.state.boxes;
        b.answerphone = true;
        b.blocked = {"mallory"};
        b.heard = {"h1"};
        b.tomb = {"t1"};
        b.saved.push_back(savedMessage(1, "s1", "bob", 1));
        b.calls.push_back(callRecord("bob", "alice", 10, "c1"));
        b.inbox.push_back(inboxMessage("i1", "bob", 11, 2));
    }

    switch_store_handle("bob");
    {
        auto g = lockPhone();
        const HandleBoxes& b = g.state.boxes;
        EXPECT_FALSE(b.answerphone);
        EXPECT_TRUE(b.blocked.empty());
        EXPECT_TRUE(b.heard.empty());
        EXPECT_TRUE(b.tomb.empty());
        EXPECT_TRUE(b.saved.empty());
        EXPECT_TRUE(b.calls.empty());
        EXPECT_TRUE(b.inbox.empty());
    }
    json alice = readJson(handleFile("alice"));
    EXPECT_EQ(alice["answerphone"], true);
    EXPECT_EQ(alice["blocked"], json::array({"mallory"}));
    EXPECT_EQ(alice["heard"], json::array({"h1"}));
    EXPECT_EQ(alice["tomb"], json::array({"t1"}));
    EXPECT_EQ(idsIn(alice["saved"]), std::vector<std::string>{"s1"});
    EXPECT_EQ(idsIn(alice["calls"]), std::vector<std::string>{"c1"});
    EXPECT_EQ(idsIn(alice["inbox"]), std::vector<std::string>{"i1"});

    switch_store_handle("alice");
    auto g = lockPhone();
    const HandleBoxes& b = g.state.boxes;
    EXPECT_TRUE(b.answerphone);
    EXPECT_EQ(b.blocked, std::vector<std::string>{"mallory"});
    ASSERT_EQ(b.calls.size(), 1u);
    EXPECT_EQ(b.calls[0].from, "bob");
    EXPECT_EQ(b.calls[0].secs, 12);
    ASSERT_EQ(b.inbox.size(), 1u);
    EXPECT_EQ(b.inbox[0].audio, audio(2));
    ASSERT_EQ(b.saved.size(), 1u);
}

TEST_F(HandleSwitchTest, PerHandleCardPositionsReplaceTheSharedOnes) {
    writeJson(sharedFile(), {{"boxes", json::array({{{"k", 1}, {"x", 1}, {"y", 1}}, {{"k", 4}, {"x", 4}, {"y", 4}}})},
                             {"main_x", 50},
                             {"main_y", 60},
                             {"theme", 1},
                             {"notify", 2}});
    load_settings();
    writeJson(handleFile("alice"), {{"answerphone", false},
                                    {"calls", json::array()},
                                    {"boxes", json::array({{{"k", 4}, {"x", 40}, {"y", 41}}, {{"k", 9}, {"x", 9}, {"y", 9}}})},
                                    {"theme", 3}});
    writeJson(handleFile("bob"), {{"answerphone", false}});

    switch_store_handle("alice");
    {
        auto g = lockPhone();
        const PhoneSettings& s = g.state.settings;
        EXPECT_FALSE(s.cardPos[1].valid) << "missing from the handle's positions";
        EXPECT_TRUE(s.cardPos[4].valid);
        EXPECT_EQ(s.cardPos[4].x, 40);
        EXPECT_EQ(s.cardPos[4].y, 41);
        for (int k : {2, 3, 5, 6, 7}) EXPECT_FALSE(s.cardPos[k].valid) << "card " << k;
        // Keys the handle's file does not hold keep the shared values.
        EXPECT_TRUE(s.mainPos.valid);
        EXPECT_EQ(s.mainPos.x, 50);
        EXPECT_EQ(s.theme, 3);
        EXPECT_EQ(s.notify, 2);
    }
    EXPECT_TRUE(take_restore_positions_request());

    // A handle file without positions leaves the current ones alone.
    switch_store_handle("bob");
    auto g = lockPhone();
    EXPECT_TRUE(g.state.settings.cardPos[4].valid);
    EXPECT_EQ(g.state.settings.cardPos[4].x, 40);
    EXPECT_FALSE(g.state.settings.cardPos[1].valid);
}

TEST_F(HandleSwitchTest, UnreadableSharedFileLeavesTheHandleFileAlone) {
    writeJson(handleFile("bob"), {{"answerphone", true},
                                  {"calls", json::array({callJson("bob", "carol", 1, "c1"), callJson("dave", "bob", 2, "c2")})},
                                  {"saved", json::array({savedJson(1, "s1", "dave", 1)})}});
    // A folder where the shared file belongs cannot be read, even by root.
    std::filesystem::create_directories(sharedFile());

    switch_store_handle("bob");
    EXPECT_EQ(current_store_key(), "");
    {
        auto g = lockPhone();
        EXPECT_TRUE(g.state.boxes.calls.empty());
        EXPECT_TRUE(g.state.boxes.saved.empty());
        // A save meanwhile must not reach the handle's file either.
        save_phone_store(g.state);
    }
    json bob = readJson(handleFile("bob"));
    EXPECT_EQ(bob["answerphone"], true);
    EXPECT_EQ(idsIn(bob["calls"]), (std::vector<std::string>{"c1", "c2"}));
    EXPECT_EQ(idsIn(bob["saved"]), std::vector<std::string>{"s1"});

    // Once the shared file can be read, the next switch loads the handle's records.
    std::filesystem::remove_all(sharedFile());
    writeText(sharedFile(), "{}");
    switch_store_handle("bob");
    EXPECT_EQ(current_store_key(), "bob");
    EXPECT_EQ(callIds(), (std::vector<std::string>{"c1", "c2"}));
    EXPECT_EQ(savedIds(), std::vector<std::string>{"s1"});
    auto g = lockPhone();
    EXPECT_TRUE(g.state.boxes.answerphone);
}

TEST_F(HandleSwitchTest, WrongTypedRecordsAreKeptAndTheOriginalIsSetAside) {
    // A clean file is loaded without leaving a copy behind.
    writeJson(handleFile("alice"), {{"calls", json::array({callJson("alice", "bob", 1, "a1")})}});
    switch_store_handle("alice");
    EXPECT_FALSE(exists(handleFile("alice") + ".bak"));

    const json damaged = {{"answerphone", false},
                          {"calls", json::array({callJson("bob", "carol", 1, "g1"),
                                                 {{"from", "carol"}, {"to", "bob"}, {"missed", "yes"}, {"secs", "ten"},
                                                  {"ts", 5}, {"id", "w1"}},
                                                 "a string",
                                                 callJson("dave", "bob", 3, "g2")})},
                          {"inbox", json::array({inboxJson("i1", "carol", 7, 7)})},
                          {"saved", json::array({savedJson(1, "s1", "dave", 1)})}};
    const std::string original = damaged.dump(2);
    writeText(handleFile("bob"), original);
    {
        auto g = lockPhone();
        PhoneState scratch;
        EXPECT_FALSE(apply_handle_document(scratch, damaged));
        EXPECT_TRUE(apply_handle_document(scratch, readJson(handleFile("alice"))));
    }

    switch_store_handle("bob");
    EXPECT_EQ(current_store_key(), "bob");
    ASSERT_TRUE(exists(handleFile("bob") + ".bak"));
    EXPECT_EQ(readText(handleFile("bob") + ".bak"), original);
    {
        auto g = lockPhone();
        const auto& calls = g.state.boxes.calls;
        auto byId = [&](const std::string& id) -> const CallRecord* {
            for (const auto& c : calls)
                if (c.id == id) return &c;
            return nullptr;
        };
        ASSERT_NE(byId("g1"), nullptr);
        ASSERT_NE(byId("g2"), nullptr);
        const CallRecord* w1 = byId("w1");
        ASSERT_NE(w1, nullptr) << "a record with defaultable fields is kept";
        EXPECT_EQ(w1->from, "carol");
        EXPECT_FALSE(w1->missed);
        EXPECT_EQ(w1->secs, 0);
        EXPECT_EQ(w1->ts, 5);
        EXPECT_EQ(g.state.boxes.inbox.size(), 1u);
        EXPECT_EQ(g.state.boxes.saved.size(), 1u);
    }

    json bob = readJson(handleFile("bob"));
    EXPECT_TRUE(findById(bob["calls"], "g1").is_object());
    EXPECT_TRUE(findById(bob["calls"], "g2").is_object());
    EXPECT_TRUE(findById(bob["calls"], "w1").is_object());
    EXPECT_TRUE(findById(bob["inbox"], "i1").is_object());
    EXPECT_TRUE(findById(bob["saved"], "s1").is_object());
}

}  // namespace
}  // namespace dialo
