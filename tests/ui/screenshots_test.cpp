// PNGs for people in screenshots/ (docs/call-before.png, call-during.png are main-before-0-96, main-during-0-96).
#include <QDir>
#include <QImage>
#include <utility>
#include "audio/gsm.h"
#include "wallet/contacts.h"
#include "window_fixture.h"

namespace dialo::test {
namespace {
TEST_F(WindowTest, ScreenshotsOfEveryCallStateAndCardInEachLook) {
    struct Moment {
        const char* name;
        CallState state;
        const char* caption;  // as the call engine keeps it
        const char* status;
        int64_t secondsAgo;        // call start; 0: none
        const char* shownCaption;  // as the header says it
        const char* pressable;     // whether Call, Hang up and Mute can be pressed, in that order
    } const kMoments[] = {{"before", CallState::Idle, "", "", 0, "Ready", "100"},
                          {"calling", CallState::Calling, "Calling  echo", "Ringing  2", 0, "Calling  echo", "011"},
                          {"incoming", CallState::Incoming, "Incoming  echo", "", 0, "Ready", "111"},
                          {"during", CallState::Talking, "Calling  echo", "Connected.", 75, "Talking with  echo", "011"},
                          {"message", CallState::LeavingMessage, "Calling  echo", "Recording  12 / 60", 12, "Calling  echo", "011"},
                          {"after", CallState::Idle, "", "Hung up.", 0, "Ready", "100"}};
    // Every theme at 96 DPI, the others at the first theme; 96 comes back after the others.
    struct Look {
        int theme, dpi;
        QSize client, call;  // the window's client size and the Call button's
    } const kLooks[] = {{0, 144, {690, 762}, {192, 78}}, {0, 120, {575, 635}, {160, 65}}, {0, 96, {460, 508}, {128, 52}},
                           {1, 96, {460, 508}, {128, 52}},  {2, 96, {460, 508}, {128, 52}},  {3, 96, {460, 508}, {128, 52}}};
    const QSize kCards[kCardKinds + 1] = {{}, {460, 460}, {460, 460}, {460, 460}, {280, 460}, {460, 520}, {460, 420}, {460, 460}};
    auto wear = [this](const Look& l) {
        window_->setDpi(l.dpi);
        lockPhone().state.settings.theme = l.theme;
        window_->applyTheme();
    };
    ASSERT_NO_FATAL_FAILURE(connectAlice());
    EXPECT_TRUE(eventually([this] { return window_->headerLines().connection.endsWith(" sats"); }, 60));
    const QString folder = DIALO_SCREENSHOTS;
    ASSERT_TRUE(QDir().mkpath(folder));
    auto save = [&](QWidget* w, const QString& name, bool settle) {
        // A card lays its rows out a turn later: keep what two grabs agree on (a ringing window never holds still).
        QImage shot = w->grab().toImage();
        if (settle) {
            EXPECT_TRUE(eventually([&] { return std::exchange(shot, w->grab().toImage()) == shot; }, 10)) << name;
        }
        EXPECT_TRUE(shot.save(folder + "/" + name + ".png")) << name;
    };
    QTest::keyClicks(handleField(), "echo");
    for (const Moment& m : kMoments) {
        {
            auto g = lockPhone();
            std::tie(g.state.callState, g.state.peerHandle, g.state.caption, g.state.statusText) =
                std::tuple(m.state, m.state == CallState::Idle ? "" : "echo", m.caption, m.status);
            g.state.callStart = m.secondsAgo ? nowSeconds() - m.secondsAgo : 0;
            g.state.inviteTime = nowSeconds();  // else the upkeep ends a ringing call as unanswered
        }
        postUi(UiMessage::Refresh);
        if (m.state == CallState::Incoming) postUi(UiMessage::RingStart);
        auto shows = [&] {
            const QString pressable = QString("%1%2%3").arg(button("call")->isEnabled()).arg(button("hangup")->isEnabled()).arg(button("mute")->isEnabled());
            return pressable == m.pressable && window_->headerLines().caption == m.shownCaption &&
                   button("call")->text() == (m.state == CallState::Incoming ? "Answer" : "Call");
        };
        EXPECT_TRUE(eventually(shows, 5)) << m.name << ": " << window_->headerLines().caption;
        for (const Look& l : kLooks) {
            wear(l);
            EXPECT_EQ(window_->size(), l.client) << l.dpi;
            if (m.state != CallState::Incoming) {  // ringing, it pulses
                EXPECT_EQ(button("call")->size(), l.call) << l.dpi;
            }
            save(window_.get(), QString("main-%1-%2-%3").arg(m.name).arg(l.theme).arg(l.dpi), false);
        }
    }
    // A stored theme outside the four paints as the first.
    auto painted = [&](int theme) {
        wear({theme, 96, {}, {}});
        return window_->grab().toImage();
    };
    EXPECT_TRUE(eventually([&] { return painted(7) == painted(0); }, 10));
    EXPECT_NE(painted(1), painted(0));
    for (const char* who : {"bob", "carol"}) ASSERT_EQ(contact_add(who, "a friend"), "success");
    {
        constexpr int32_t kSeconds = 14;  // of each message
        auto g = lockPhone();
        HandleBoxes& b = g.state.boxes;
        const int64_t now = nowSeconds();
        const Bytes audio(kSeconds * kGsmBytesPerSecond, 0x55);
        b.inbox = {{"a1", "bob", audio, std::string(64, 'a'), now - 3600, kSeconds},
                   {"a2", "", audio, "", now - 60, kSeconds}};
        b.saved = {{1, "s1", "carol", audio, std::string(64, 'b')}, {2, "s2", "bob", audio, ""}};
        b.calls = {callRecord("alice", "bob", 75, 7200), callRecord("carol", "alice", 0, 300)};
        b.calls[0].sats = 412;
        b.blocked = {"mallory", "trent"};
    }
    for (const Look& l : kLooks) {
        wear(l);
        for (int kind = 1; kind <= kCardKinds; ++kind) {
            ASSERT_NO_FATAL_FAILURE(openKind(kind));
            if (kind != CardSettings) {
                EXPECT_TRUE(eventually([this] { return cardRows().size() >= 2; }, 30)) << kind;
            }
            EXPECT_EQ(openCard()->size(), QSize(MainWindow::scaled(kCards[kind].width(), l.dpi),
                                                MainWindow::scaled(kCards[kind].height(), l.dpi)))
                << "kind " << kind << " at " << l.dpi << " DPI";
            save(openCard(), QString("card-%1-%2-%3").arg(kind).arg(l.theme).arg(l.dpi), true);
        }
    }
}
}  // namespace
}  // namespace dialo::test
