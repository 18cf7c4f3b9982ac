// Changing the connected handle never costs the user their records.
#include "tests/unit/store/store_fixture.h"

namespace dialo {
namespace {
using nlohmann::json;
using test::Ids;
using test::idsIn;
class HandleSwitchTest : public test::StoreTest {};
TEST_F(HandleSwitchTest, EachHandleGetsBackOnlyItsOwnLists) {
    switch_store_handle("alice");
    json before;
    {
        auto g = lockPhone();
        g.state.boxes = {.answerphone = true, .blocked = {"mallory"}, .heard = {"h1"}, .tomb = {"t1"},
                         .saved = {{.n = 1, .id = "s1", .from = "bob", .audio = audio(1), .txid = {}}}, .calls = {callRecord("bob", "alice", 10, "c1")},
                         .inbox = {inboxMessage("i1", "bob", 11, 2)}, .handled = {}};
        before = build_handle_document(g.state);
    }
    // The next handle starts from nothing of alice's, and alice gets all of it back.
    switch_store_handle("bob");
    json bob = readJson(handleFile("bob"));
    EXPECT_EQ(bob["answerphone"], false);
    for (const char* list : {"blocked", "heard", "tomb", "saved", "calls", "inbox"}) EXPECT_EQ(bob[list], json::array()) << list;
    switch_store_handle("alice");
    EXPECT_EQ(build_handle_document(lockPhone().state), before);
    EXPECT_EQ(before["blocked"], json::array({"mallory"}));
}
TEST_F(HandleSwitchTest, SingleFileLayoutIsSharedOutOnceAndBlockedCallersStayBlocked) {
    const json legacy = {{"blocked", json::array({"@Mallory@orvane.test", "eve"})},
                         {"saved", json::array({savedJson(1, "s1", "carol", 1), savedJson(2, "s2", "bob", 2)})},
                         {"calls", json::array({callJson("alice", "bob", 1, "ab"), callJson("carol", "@Alice@orvane.test", 2, "ca"),
                                                callJson("Bob", "carol", 3, "bc"), callJson("dave", "erin", 4, "de")})},
                         {"inbox", json::array({inboxJson("i1", "carol", 5, 5)})}};
    writeJson(sharedFile(), legacy);
    load_settings();
    // The first handle to load takes the saved messages; calls go to whoever made or took them.
    for (const auto& [handle, saved, calls] : {std::tuple{"Alice", Ids{"s1", "s2"}, Ids{"ab", "ca"}}, {"bob", Ids{}, Ids{"ab", "bc"}},
                                               {"alice", Ids{"s1", "s2"}, Ids{"ab", "ca"}}, {"bob", Ids{}, Ids{"ab", "bc"}}}) {
        switch_store_handle(handle);
        EXPECT_EQ(ids(&HandleBoxes::saved), saved) << handle;
        EXPECT_EQ(ids(&HandleBoxes::calls), calls) << handle;
        EXPECT_TRUE(lockPhone().state.boxes.inbox.empty()) << handle;
        EXPECT_EQ(lockPhone().state.boxes.blocked, (Ids{"mallory", "eve"})) << handle;
    }
    EXPECT_EQ(readJson(sharedFile())["legacy_saved_owner"], "alice");
}
// Messages another handle took are dropped from an own file, never shown twice.
TEST_F(HandleSwitchTest, OwnFileDropsOldLayoutMessagesThatAnotherHandleOwns) {
    writeJson(sharedFile(), {{"saved", json::array({savedJson(1, "L1", "zed", 1), savedJson(2, "L2", "zed", 2)})}});
    writeJson(handleFile("carol"), {{"saved", json::array({savedJson(1, "L1", "zed", 1)})}});
    writeJson(handleFile("bob"), {{"saved", json::array({savedJson(1, "L1", "zed", 1), savedJson(2, "B1", "dave", 4),
                                                          savedJson(3, "L2", "zed", 2)})}});
    load_settings();
    switch_store_handle("carol");
    EXPECT_EQ(ids(&HandleBoxes::saved), Ids{"L1"});
    switch_store_handle("bob");
    EXPECT_EQ(ids(&HandleBoxes::saved), Ids{"B1"});
    EXPECT_EQ(idsIn(readJson(handleFile("bob"))["saved"]), Ids{"B1"});
}
TEST_F(HandleSwitchTest, UnreadableSharedFileLeavesTheHandleFileAlone) {
    writeJson(handleFile("bob"), {{"calls", json::array({callJson("bob", "carol", 1, "c1")})}});
    const std::string original = readText(handleFile("bob"));
    // A folder where the shared file belongs cannot be read, even by root.
    std::filesystem::create_directories(sharedFile());
    switch_store_handle("bob");
    EXPECT_EQ(current_store_key(), "");
    save();  // a save meanwhile must not reach the handle's file either
    EXPECT_EQ(readText(handleFile("bob")), original);
    std::filesystem::remove_all(sharedFile());
    writeText(sharedFile(), "{}");
    switch_store_handle("bob");
    EXPECT_EQ(ids(&HandleBoxes::calls), Ids{"c1"});
    // A shared file that does not parse gives defaults and is kept aside by the next save.
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
    const json damaged = {{"calls", json::array({callJson("bob", "carol", 1, "g1"),
                                                 {{"from", "carol"}, {"missed", "yes"}, {"secs", "ten"}, {"ts", 5}, {"id", "w1"}},
                                                 "a string", callJson("dave", "bob", 3, "g2")})},
                          {"saved", json::array({savedJson(1, "s1", "dave", 1)})}};
    writeText(handleFile("bob"), damaged.dump(2));
    switch_store_handle("bob");
    EXPECT_EQ(readText(handleFile("bob") + ".bak"), damaged.dump(2));
    // A record with defaultable fields is kept; only the element that is no record goes.
    EXPECT_EQ(ids(&HandleBoxes::calls), (Ids{"g1", "w1", "g2"}));
    EXPECT_EQ(lockPhone().state.boxes.calls.at(1).ts, 5);
    EXPECT_EQ(ids(&HandleBoxes::saved), Ids{"s1"});
    // The rewritten file is clean: it leaves no copy behind.
    std::filesystem::remove(handleFile("bob") + ".bak");
    switch_store_handle("alice");
    switch_store_handle("bob");
    EXPECT_FALSE(std::filesystem::exists(handleFile("bob") + ".bak"));
}
}  // namespace
}  // namespace dialo
