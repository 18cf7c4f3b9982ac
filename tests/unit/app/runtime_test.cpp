#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "base/clock.h"
#include "platform/paths.h"
#include "state/phone_state.h"
#include "state/ui_bridge.h"

using namespace dialo;

namespace {

std::atomic<uint64_t> gFakeMs{1000};
uint64_t fakeMs() { return gFakeMs.load(); }
int64_t fakeUnix() { return 1796541000; }
void fakeSleep(uint32_t ms) { gFakeMs += ms; }

}  // namespace

TEST(Clock, ReplaceableForTheWholeProcess) {
    uint64_t before = nowMs();
    EXPECT_GT(nowSeconds(), 1700000000);
    setClockSource({fakeMs, fakeUnix, fakeSleep});
    EXPECT_EQ(nowMs(), 1000u);
    sleepMs(250);  // returns at once: the fake only advances its time
    EXPECT_EQ(nowMs(), 1250u);
    EXPECT_EQ(nowSeconds(), 1796541000);
    resetClockSource();
    EXPECT_GE(nowMs(), before);
}

TEST(Bridge, PostsReachTheRegisteredSurfaceOnly) {
    std::vector<std::pair<UiMessage, intptr_t>> main, cards;
    setUiReceiver(UiTarget::Main, [&main](UiMessage m, intptr_t w, intptr_t) { main.push_back({m, w}); });
    postUi(UiMessage::CardsRefresh);  // no card window yet: dropped
    setUiReceiver(UiTarget::Cards, [&cards](UiMessage m, intptr_t w, intptr_t) { cards.push_back({m, w}); });

    setStatus("Calling bob");
    postUi(UiMessage::ConnectionChanged, 1);
    postUi(UiMessage::RingStart);
    postUi(UiMessage::CardsRefresh);
    postUi(UiMessage::PlaybackEnded);
    postUi(UiMessage::AvatarReady);

    ASSERT_EQ(main.size(), 3u);
    EXPECT_EQ(main[0].first, UiMessage::Refresh);
    EXPECT_EQ(main[1], std::make_pair(UiMessage::ConnectionChanged, intptr_t(1)));
    EXPECT_EQ(main[2].first, UiMessage::RingStart);
    ASSERT_EQ(cards.size(), 3u);
    EXPECT_EQ(cards[0].first, UiMessage::CardsRefresh);
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
