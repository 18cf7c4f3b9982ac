// Keeping and deleting answer-phone messages: what the inbox and the saved list show at once is
// what they show after the store is loaded again.

#include <string>
#include <vector>

#include "store/messages.h"
#include "tests/unit/store/store_fixture.h"

namespace dialo {
namespace {

using Ids = std::vector<std::string>;

class MessagesTest : public test::StoreTest {
protected:
    void SetUp() override {
        switch_store_handle("alice");
        auto g = lockPhone();
        g.state.boxes.inbox = {inboxMessage("a", "bob", 1, 1), inboxMessage("b", "carol", 2, 2)};
        save_phone_store(g.state);
    }
    static void reload() {
        switch_store_handle("bob");
        switch_store_handle("alice");
    }
};

TEST_F(MessagesTest, SavingMovesTheMessageOutOfTheInboxAtOnce) {
    {
        auto g = lockPhone();
        EXPECT_EQ(save_inbox_message(g.state, "a"), 1);
        EXPECT_EQ(save_inbox_message(g.state, "nosuch"), 0);
        save_phone_store(g.state);
    }
    EXPECT_EQ(ids(&HandleBoxes::inbox), Ids{"b"});
    EXPECT_EQ(ids(&HandleBoxes::saved), Ids{"a"});
    EXPECT_EQ(lockPhone().state.boxes.saved[0].audio, audio(1));
    reload();
    EXPECT_EQ(ids(&HandleBoxes::inbox), Ids{"b"});
    EXPECT_EQ(ids(&HandleBoxes::saved), Ids{"a"});
}

TEST_F(MessagesTest, ADeletedSavedMessageStaysDeleted) {
    {
        auto g = lockPhone();
        ASSERT_EQ(save_inbox_message(g.state, "a"), 1);
        EXPECT_TRUE(delete_message(g.state, "a"));
        EXPECT_FALSE(delete_message(g.state, "a"));
        EXPECT_TRUE(delete_message(g.state, "b"));
        save_phone_store(g.state);
    }
    EXPECT_EQ(ids(&HandleBoxes::inbox), Ids{});
    EXPECT_EQ(ids(&HandleBoxes::saved), Ids{});
    reload();
    EXPECT_EQ(ids(&HandleBoxes::inbox), Ids{});
    EXPECT_EQ(ids(&HandleBoxes::saved), Ids{});
    EXPECT_EQ(lockPhone().state.boxes.tomb, (Ids{"a", "b"}));
}

}  // namespace
}  // namespace dialo
