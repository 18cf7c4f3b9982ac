// Only the table's moves happen, each tells the window once; a refused one is logged and changes nothing.
#include <gtest/gtest.h>
#include <algorithm>
#include <iterator>
#include <string>
#include <vector>
#include "state/call_state.h"
#include "state/ui_bridge.h"
namespace dialo {
namespace {
constexpr CallState kStates[] = {CallState::Idle, CallState::Calling, CallState::Incoming, CallState::Talking,
                                 CallState::LeavingMessage};
// Every why there is, read off its names, so that a new one is covered without being listed here.
std::vector<CallWhy> allWhys() {
    std::vector<CallWhy> whys;
    for (int32_t w = 0; std::string(callWhyName(CallWhy(w))) != "?"; ++w) whys.push_back(CallWhy(w));
    return whys;
}
bool listed(CallState from, CallState to, CallWhy why) {
    return std::any_of(std::begin(kCallMoves), std::end(kCallMoves),
                       [&](const CallMove& m) { return m.from == from && m.to == to && m.why == why; });
}
class CallStateTest : public ::testing::Test {
protected:
    void SetUp() override {
        setUiReceiver(UiTarget::Main, [this](UiMessage m, intptr_t, intptr_t) {
            if (m == UiMessage::Refresh) ++refreshes;
        });
    }
    void TearDown() override { setUiReceiver(UiTarget::Main, {}); }
    // One attempt on a phone whose call is in `now`: whether it moved, what it logged.
    bool attempt(CallState now, CallState from, CallState to, CallWhy why, PhoneState& s, std::string& log) {
        s.callState = now;
        s.statusText = "unchanged";
        refreshes = 0;
        ::testing::internal::CaptureStderr();
        const bool moved = moveCallState(s, from, to, why);
        log = ::testing::internal::GetCapturedStderr();
        return moved;
    }
    int refreshes = 0;
};
// Every move asked of a call in its from-state and of one another thread has moved on.
TEST_F(CallStateTest, EveryMoveInTheTableIsTakenAndNoOther) {
    const std::vector<CallWhy> whys = allWhys();
    ASSERT_GE(whys.size(), 14u);
    int accepted = 0;
    for (CallState from : kStates)
        for (CallState to : kStates)
            for (CallWhy why : whys)
                for (CallState now : kStates) {
                    const std::string what = std::string(callStateName(from)) + " -> " + callStateName(to) + " (" +
                                             callWhyName(why) + ")";
                    PhoneState s;
                    std::string log;
                    const bool moved = attempt(now, from, to, why, s, log);
                    EXPECT_EQ(moved, now == from && listed(from, to, why)) << what << " in " << callStateName(now);
                    EXPECT_EQ(s.callState, moved ? to : now) << what;
                    EXPECT_EQ(refreshes, moved ? 1 : 0) << what;
                    EXPECT_EQ(s.statusText, "unchanged") << what;
                    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), moved ? 0 : 1) << log;
                    accepted += moved;
                    if (!moved) {
                        EXPECT_NE(log.find(std::string("call state is ") + callStateName(now) + ": refused " + what), std::string::npos) << log;
                    }
                }
    EXPECT_EQ(accepted, int(std::size(kCallMoves)));  // no row listed twice
}
}  // namespace
}  // namespace dialo
