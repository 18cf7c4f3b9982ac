// Changing the connected handle: each handle sees only its own history and messages, the
// old single-file layout is shared out once, and a damaged or unreadable file never costs
// the user their records.

#include <atomic>
#include <string>
#include <vector>

#include "tests/unit/store/store_fixture.h"

namespace dialo {
namespace {

using nlohmann::json;
using test::idsIn;
using Ids = std::vector<std::string>;

class HandleSwitchTest : public test::StoreTest {};

TEST_F(HandleSwitchTest, HandleOfOnlyAtSignsHasNoFile) {
    switch_store_handle("alice");
    lockPhone().state.boxes.calls.push_back(callRecord("bob", "alice", 10, "c1"));
    switch_store_handle("@@@");
    EXPECT_EQ(current_store_key(), "");
    EXPECT_TRUE(ids(&HandleBoxes::calls).empty());
    lockPhone().state.boxes.calls.push_back(callRecord("bob", "nobody", 11, "c2"));
    save();
    // The outgoing handle kept its call; the key-less one was never written anywhere.
    EXPECT_EQ(idsIn(readJson(handleFile("alice"))["calls"]), Ids{"c1"});
    EXPECT_EQ(folderEntries(), (std::set<std::string>{"phone.json", "phone-alice.json", "phone.lock"}));
}

TEST_F(HandleSwitchTest, OnlyASwitchToAnotherHandleWritesItsDocumentAndTellsTheWindows) {
    std::atomic<int> connected{0}, cardsRefresh{0}, other{0};
    setUiReceiver(UiTarget::Main, [&](UiMessage m, intptr_t w, intptr_t) {
        ++(m == UiMessage::ConnectionChanged && w == 1 ? connected : other);
    });
    setUiReceiver(UiTarget::Cards, [&](UiMessage m, intptr_t, intptr_t) { ++(m == UiMessage::CardsRefresh ? cardsRefresh : other); });
    EXPECT_FALSE(take_history_refresh_request());
    EXPECT_FALSE(take_restore_positions_request());

    // The same handle written differently does nothing more.
    for (const char* h : {"alice", "ALICE@orvane.test", " @Alice"}) switch_store_handle(h);
    EXPECT_EQ(current_store_key(), "alice");
    EXPECT_EQ(connected.load(), 1);
    EXPECT_EQ(cardsRefresh.load(), 1);
    EXPECT_EQ(other.load(), 0);
    // Each request is cleared by the one who reads it.
    EXPECT_TRUE(take_history_refresh_request());
    EXPECT_FALSE(take_history_refresh_request());
    EXPECT_TRUE(take_restore_positions_request());
    switch_store_handle("bob");
    EXPECT_EQ(connected.load() + cardsRefresh.load(), 4);
    EXPECT_TRUE(take_history_refresh_request());
}

TEST_F(HandleSwitchTest, SingleFileLayoutIsSharedOutOnceAndBlockedCallersStayBlocked) {
    const json legacy = {{"answerphone", true},
                         {"blocked", json::array({"@Mallory@orvane.test", "eve"})},
                         {"heard", json::array({"h1"})},
                         {"tomb", json::array({"t1"})},
                         {"saved", json::array({savedJson(1, "s1", "carol", 1), savedJson(2, "s2", "dave", 2),
                                                savedJson(3, "s3", "bob", 3)})},
                         {"calls", json::array({callJson("alice", "bob", 1, "ab"), callJson("carol", "@Alice@orvane.test", 2, "ca"),
                                                callJson("Bob", "carol", 3, "bc"), callJson("dave", "erin", 4, "de")})},
                         {"inbox", json::array({inboxJson("i1", "carol", 5, 5)})}};
    writeJson(sharedFile(), legacy);
    load_settings();

    struct Expect {
        const char* handle;
        Ids saved, calls;
    };
    // The first handle to load takes the saved messages; calls go to whoever made or took them.
    // The second visits read each handle's own file.
    for (const Expect& e : {Expect{"Alice", {"s1", "s2", "s3"}, {"ab", "ca"}}, Expect{"bob", {}, {"ab", "bc"}},
                            Expect{"alice", {"s1", "s2", "s3"}, {"ab", "ca"}}, Expect{"bob", {}, {"ab", "bc"}}}) {
        switch_store_handle(e.handle);
        EXPECT_EQ(ids(&HandleBoxes::saved), e.saved) << e.handle;
        EXPECT_EQ(ids(&HandleBoxes::calls), e.calls) << e.handle;
        EXPECT_TRUE(lockPhone().state.boxes.inbox.empty()) << e.handle;
        EXPECT_EQ(lockPhone().state.boxes.blocked, (Ids{"mallory", "eve"})) << e.handle;
    }
    // The shared file keeps the old layout's keys and names the owner of its messages.
    json shared = readJson(sharedFile());
    EXPECT_EQ(shared["legacy_saved_owner"], "alice");
    EXPECT_EQ(shared["saved"], legacy["saved"]);
    switch_store_handle("alice");
    EXPECT_EQ(lockPhone().state.boxes.saved[2].audio, audio(3));
}

// An own file written while the old layout was shared out may hold the messages another handle
// took: they are dropped from it, never shown twice.
TEST_F(HandleSwitchTest, OwnFileDropsOldLayoutMessagesThatAnotherHandleOwns) {
    writeJson(sharedFile(), {{"saved", json::array({savedJson(1, "L1", "zed", 1), savedJson(2, "L2", "zed", 2)})}});
    writeJson(handleFile("carol"), {{"saved", json::array({savedJson(1, "L1", "zed", 1)})}});
    writeJson(handleFile("bob"), {{"saved", json::array({savedJson(1, "L1", "zed", 1), savedJson(2, "B1", "dave", 4),
                                                          savedJson(3, "L2", "zed", 2), savedJson(4, "", "erin", 5)})}});
    load_settings();
    switch_store_handle("carol");
    EXPECT_EQ(ids(&HandleBoxes::saved), Ids{"L1"});
    switch_store_handle("bob");
    EXPECT_EQ(ids(&HandleBoxes::saved), (Ids{"B1", ""}));
    EXPECT_EQ(idsIn(readJson(handleFile("bob"))["saved"]), (Ids{"B1", ""}));
    EXPECT_EQ(readJson(sharedFile())["legacy_saved_owner"], "carol");
}

TEST_F(HandleSwitchTest, SavedMessagesAreNumberedOthersFirst) {
    // Without a known own handle every message counts as someone else's.
    for (const auto& [own, numbers] : {std::pair{"Alice@orvane.test", std::vector<int>{3, 1, 4, 2}},
                                       std::pair{"", std::vector<int>{1, 2, 3, 4}}}) {
        auto g = lockPhone();
        g.state.ownHandle = own;
        g.state.boxes.saved = {savedMessage(0, "own1", "alice", 1), savedMessage(0, "other1", "bob", 2),
                               savedMessage(0, "own2", " @ALICE", 3), savedMessage(0, "other2", "carol", 4)};
        EXPECT_TRUE(renumber_saved(g.state)) << own;
        EXPECT_FALSE(renumber_saved(g.state)) << own;
        std::vector<int> got;
        for (const auto& m : g.state.boxes.saved) got.push_back(m.n);
        EXPECT_EQ(got, numbers) << own;
    }
}

TEST_F(HandleSwitchTest, EachHandleGetsBackOnlyItsOwnLists) {
    switch_store_handle("alice");
    json before;
    {
        auto g = lockPhone();
        g.state.boxes = {.answerphone = true, .blocked = {"mallory"}, .heard = {"h1"}, .tomb = {"t1"},
                         .saved = {savedMessage(1, "s1", "bob", 1)}, .calls = {callRecord("bob", "alice", 10, "c1")},
                         .inbox = {inboxMessage("i1", "bob", 11, 2)}, .handled = {}};
        before = build_handle_document(g.state);
    }
    const json lists = {{"answerphone", true}, {"blocked", json::array({"mallory"})}, {"heard", json::array({"h1"})},
                        {"tomb", json::array({"t1"})}};
    for (const auto& [key, value] : lists.items()) EXPECT_EQ(before[key], value) << key;

    // The next handle starts from nothing of alice's, and alice gets all of it back.
    switch_store_handle("bob");
    json bob = readJson(handleFile("bob"));
    EXPECT_EQ(bob["answerphone"], false);
    for (const char* list : {"blocked", "heard", "tomb", "saved", "calls", "inbox"}) EXPECT_EQ(bob[list], json::array()) << list;
    switch_store_handle("alice");
    EXPECT_EQ(build_handle_document(lockPhone().state), before);
}

TEST_F(HandleSwitchTest, PerHandleCardPositionsReplaceTheSharedOnes) {
    writeJson(sharedFile(), {{"boxes", json::array({{{"k", 1}, {"x", 1}, {"y", 1}}, {{"k", 4}, {"x", 4}, {"y", 4}}})},
                             {"main_x", 50}, {"main_y", 60}, {"theme", 1}, {"notify", 2}});
    load_settings();
    writeJson(handleFile("alice"), {{"answerphone", false},
                                    {"boxes", json::array({{{"k", 4}, {"x", 40}, {"y", 41}}, {{"k", 9}, {"x", 9}, {"y", 9}}})},
                                    {"theme", 3}});
    writeJson(handleFile("bob"), {{"answerphone", false}});
    // A handle file without positions (bob) leaves the current ones alone.
    for (const char* handle : {"alice", "bob"}) {
        switch_store_handle(handle);
        auto g = lockPhone();
        const PhoneSettings& s = g.state.settings;
        EXPECT_TRUE(s.cardPos[4].valid && s.cardPos[4].x == 40 && s.cardPos[4].y == 41) << handle;
        for (int k : {1, 2, 3, 5, 6, 7}) EXPECT_FALSE(s.cardPos[k].valid) << handle << " card " << k;
        // Keys the handle's file does not hold keep the shared values.
        EXPECT_TRUE(s.mainPos.valid && s.mainPos.x == 50) << handle;
        EXPECT_EQ(s.theme, 3) << handle;
        EXPECT_EQ(s.notify, 2) << handle;
    }
}

TEST_F(HandleSwitchTest, UnreadableSharedFileLeavesTheHandleFileAlone) {
    const json bobDoc = {{"answerphone", true},
                         {"calls", json::array({callJson("bob", "carol", 1, "c1"), callJson("dave", "bob", 2, "c2")})},
                         {"saved", json::array({savedJson(1, "s1", "dave", 1)})}};
    writeJson(handleFile("bob"), bobDoc);
    const std::string original = readText(handleFile("bob"));
    // A folder where the shared file belongs cannot be read, even by root.
    std::filesystem::create_directories(sharedFile());
    switch_store_handle("bob");
    EXPECT_EQ(current_store_key(), "");
    EXPECT_TRUE(ids(&HandleBoxes::calls).empty());
    save();  // a save meanwhile must not reach the handle's file either
    EXPECT_EQ(readText(handleFile("bob")), original);

    // Once the shared file can be read, the next switch loads the handle's records.
    std::filesystem::remove_all(sharedFile());
    writeText(sharedFile(), "{}");
    switch_store_handle("bob");
    EXPECT_EQ(current_store_key(), "bob");
    EXPECT_EQ(ids(&HandleBoxes::calls), (Ids{"c1", "c2"}));
    EXPECT_EQ(ids(&HandleBoxes::saved), Ids{"s1"});
    EXPECT_TRUE(lockPhone().state.boxes.answerphone);

    // A shared file that does not parse gives defaults, is left alone by the load and kept aside
    // by the next save.
    const std::string broken = "{\"theme\": 3, \"network\": {\"service_port\": 9";
    writeText(sharedFile(), broken);
    load_settings();
    EXPECT_EQ(lockPhone().state.settings.theme, 0);
    EXPECT_EQ(readText(sharedFile()), broken);
    lockPhone().state.settings.theme = 2;
    save();
    EXPECT_EQ(readJson(sharedFile())["theme"], 2);
    EXPECT_EQ(readText(sharedFile() + ".bak"), broken);
}

TEST_F(HandleSwitchTest, WrongTypedRecordsAreKeptAndTheOriginalIsSetAside) {
    // A clean file is loaded without leaving a copy behind.
    writeJson(handleFile("alice"), {{"calls", json::array({callJson("alice", "bob", 1, "a1")})}});
    switch_store_handle("alice");
    EXPECT_FALSE(std::filesystem::exists(handleFile("alice") + ".bak"));

    const json damaged = {{"calls", json::array({callJson("bob", "carol", 1, "g1"),
                                                 {{"from", "carol"}, {"missed", "yes"}, {"secs", "ten"}, {"ts", 5}, {"id", "w1"}},
                                                 "a string", callJson("dave", "bob", 3, "g2")})},
                          {"inbox", json::array({inboxJson("i1", "carol", 7, 7)})},
                          {"saved", json::array({savedJson(1, "s1", "dave", 1)})}};
    const std::string original = damaged.dump(2);
    writeText(handleFile("bob"), original);
    switch_store_handle("bob");
    EXPECT_EQ(current_store_key(), "bob");
    EXPECT_EQ(readText(handleFile("bob") + ".bak"), original);
    // A record with defaultable fields is kept; only the element that is no record goes.
    EXPECT_EQ(ids(&HandleBoxes::calls), (Ids{"g1", "w1", "g2"}));
    EXPECT_EQ(lockPhone().state.boxes.calls.at(1).ts, 5);
    EXPECT_EQ(ids(&HandleBoxes::inbox), Ids{"i1"});
    EXPECT_EQ(ids(&HandleBoxes::saved), Ids{"s1"});
}

}  // namespace
}  // namespace dialo
