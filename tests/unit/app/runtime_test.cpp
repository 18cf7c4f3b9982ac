#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "base/clock.h"
#include "platform/paths.h"
#include "state/phone_state.h"
#include "state/ui_bridge.h"

using namespace dialo;

namespace {
uint64_t gFakeMs = 1000;
}  // namespace

TEST(Clock, ReplaceableForTheWholeProcess) {
    uint64_t before = nowMs();
    setClockSource({[] { return gFakeMs; }, [] { return int64_t(1796541000); }, [](uint32_t ms) { gFakeMs += ms; }});
    sleepMs(250);  // returns at once: the fake only advances its time
    EXPECT_EQ(nowMs(), 1250u);
    EXPECT_EQ(nowSeconds(), 1796541000);
    resetClockSource();
    EXPECT_GE(nowMs(), before);
    EXPECT_GT(nowSeconds(), 1700000000);
}

TEST(Bridge, PostsReachTheRegisteredSurfaceOnly) {
    std::vector<std::pair<UiMessage, intptr_t>> main, cards;
    setUiReceiver(UiTarget::Main, [&main](UiMessage m, intptr_t w, intptr_t) { main.push_back({m, w}); });
    postUi(UiMessage::CardsRefresh);  // no card window yet: dropped
    setUiReceiver(UiTarget::Cards, [&cards](UiMessage m, intptr_t w, intptr_t) { cards.push_back({m, w}); });

    setStatus("Calling bob");
    for (UiMessage m : {UiMessage::ConnectionChanged, UiMessage::RingStart, UiMessage::CardsRefresh,
                        UiMessage::PlaybackEnded, UiMessage::AvatarReady})
        postUi(m, m == UiMessage::ConnectionChanged ? 1 : 0);
    using Posted = std::vector<std::pair<UiMessage, intptr_t>>;
    EXPECT_EQ(main, (Posted{{UiMessage::Refresh, 0}, {UiMessage::ConnectionChanged, 1}, {UiMessage::RingStart, 0}}));
    EXPECT_EQ(cards, (Posted{{UiMessage::CardsRefresh, 0}, {UiMessage::PlaybackEnded, 0}, {UiMessage::AvatarReady, 0}}));
    EXPECT_EQ(lockPhone().state.statusText, "Calling bob");

    setUiReceiver(UiTarget::Main, {});
    setStatus("gone");  // the window is gone: posting must stay harmless
    EXPECT_EQ(main.size(), 3u);
}

TEST(Paths, ProgramDirectoryHoldsThisTest) {
    std::string dir = programDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_NE(dir.back(), '/');
    EXPECT_EQ(access((dir + "/unit_tests").c_str(), X_OK), 0);
}
