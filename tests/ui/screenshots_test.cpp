// Pictures for people to look at, as PNG files in the build folder's screenshots/: the main
// window in each call state and theme, and every card with rows in it, at 96 and 144 DPI. The
// states and lists are set in the phone state directly; only the connection and the contacts
// (kept in the wallet) are real.

#include <QDir>
#include <QImage>
#include <utility>

#include "audio/gsm.h"
#include "base/clock.h"
#include "state/ui_bridge.h"
#include "wallet/contacts.h"
#include "window_fixture.h"

namespace dialo::test {
namespace {

struct Shown {
    const char* name;
    CallState state;
    const char* caption;
    const char* status;
    int64_t secondsAgo;  // call start; 0: none
};

const Shown kStates[] = {
    {"idle", CallState::Idle, "", "Calls will divert to your answer-phone after ten rings.", 0},
    {"calling", CallState::Calling, "Calling  bob", "Ringing  2", 0},
    {"incoming", CallState::Incoming, "Incoming  bob", "", 0},
    {"talking", CallState::Talking, "Calling  bob", "Connected.", 75},
    {"message", CallState::LeavingMessage, "Calling  bob", "Recording  12 / 60", 12},
};

TEST_F(WindowTest, ScreenshotsOfEveryStateThemeAndDpi) {
    ASSERT_NO_FATAL_FAILURE(connectAlice());
    // The balance as well as the handle, as people see the header.
    EXPECT_TRUE(eventually([this] { return window_->headerLines().connection.endsWith(" sats"); }, 60));
    const QString folder = DIALO_SCREENSHOTS;
    ASSERT_TRUE(QDir().mkpath(folder));
    QTest::keyClicks(handleField(), "bob");
    int written = 0;
    for (const Shown& s : kStates) {
        {
            auto g = lockPhone();
            g.state.callState = s.state;
            g.state.peerHandle = s.state == CallState::Idle ? "" : "bob";
            g.state.caption = s.caption;
            g.state.statusText = s.status;
            g.state.callStart = s.secondsAgo ? nowSeconds() - s.secondsAgo : 0;
            g.state.inviteTime = nowSeconds();  // else the upkeep ends a ringing call as unanswered
        }
        postUi(UiMessage::Refresh);
        if (s.state == CallState::Incoming) postUi(UiMessage::RingStart);
        const QString want = s.state == CallState::Incoming ? "Answer" : "Call";
        ASSERT_TRUE(eventually([&] { return button("call")->text() == want; }, 5)) << s.name;
        for (int dpi : {96, 144}) {
            window_->setDpi(dpi);
            for (int theme = 0; theme < 4; ++theme) {
                lockPhone().state.settings.theme = theme;
                window_->applyTheme();
                const QImage shot = window_->grab().toImage();
                EXPECT_EQ(shot.size(), MainWindow::clientSizeAt(dpi) * shot.devicePixelRatio());
                const QString file = QString("%1/main-%2-%3-%4.png").arg(folder, s.name).arg(theme).arg(dpi);
                EXPECT_TRUE(shot.save(file)) << file.toStdString();
                ++written;
            }
        }
    }
    EXPECT_EQ(written, 40);
    {
        auto g = lockPhone();
        g.state.callState = CallState::Idle;
        g.state.caption.clear();
        g.state.settings.theme = 0;
    }
    postUi(UiMessage::Refresh);
}

// The call screen a newcomer meets calling the echo line, for the README: before the call,
// while they talk, and once it has ended. The header must say so in each.
TEST_F(WindowTest, ScreenshotsOfACallBeforeDuringAndAfter) {
    ASSERT_NO_FATAL_FAILURE(connectAlice());
    EXPECT_TRUE(eventually([this] { return window_->headerLines().connection.endsWith(" sats"); }, 60));
    const QString folder = DIALO_SCREENSHOTS;
    ASSERT_TRUE(QDir().mkpath(folder));
    QTest::keyClicks(handleField(), "echo");
    struct Moment {
        const char* name;
        CallState state;
        const char* caption;  // as the call engine keeps it
        const char* status;
        int64_t secondsAgo;
        const char* shownCaption;  // as the header says it
        const char* call;          // whether Call, Hang up and Mute can be pressed, in that order
    };
    const Moment kMoments[] = {
        {"before", CallState::Idle, "", "", 0, "Ready", "100"},
        {"during", CallState::Talking, "Calling  echo", "Connected.", 75, "Talking with  echo", "011"},
        {"after", CallState::Idle, "", "Hung up.", 0, "Ready", "100"},
    };
    for (const Moment& m : kMoments) {
        {
            auto g = lockPhone();
            g.state.callState = m.state;
            g.state.peerHandle = m.state == CallState::Idle ? "" : "echo";
            g.state.caption = m.caption;
            g.state.statusText = m.status;
            g.state.callStart = m.secondsAgo ? nowSeconds() - m.secondsAgo : 0;
        }
        postUi(UiMessage::Refresh);
        const char* names[] = {"call", "hangup", "mute"};
        auto buttonsShow = [&] {
            for (int i = 0; i < 3; ++i)
                if (button(names[i])->isEnabled() != (m.call[i] == '1')) return false;
            return true;
        };
        EXPECT_TRUE(eventually([&] { return window_->headerLines().caption == m.shownCaption && buttonsShow(); }, 5))
            << m.name << ": " << window_->headerLines().caption.toStdString();
        const QImage shot = window_->grab().toImage();
        const QString file = QString("%1/call-%2.png").arg(folder, m.name);
        EXPECT_TRUE(shot.save(file)) << file.toStdString();
    }
}

// Lists to fill every card with.
void fillLists() {
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

TEST_F(WindowTest, ScreenshotsOfEveryCardThemeAndDpi) {
    // Client sizes at 96 DPI, by kind.
    const QSize kSizes[kCardKinds + 1] = {{},         {460, 460}, {460, 460}, {460, 460},
                                          {280, 460}, {460, 520}, {460, 420}, {460, 460}};
    ASSERT_NO_FATAL_FAILURE(connectAlice());
    for (const char* who : {"bob", "carol"}) ASSERT_EQ(contact_add(who, "a friend"), "success");
    fillLists();
    const QString folder = DIALO_SCREENSHOTS;
    ASSERT_TRUE(QDir().mkpath(folder));
    int written = 0;
    for (int dpi : {96, 144}) {
        window_->setDpi(dpi);
        for (int theme = 0; theme < 2; ++theme) {
            lockPhone().state.settings.theme = theme;
            window_->applyTheme();
            for (int kind = 1; kind <= kCardKinds; ++kind) {
                ASSERT_NO_FATAL_FAILURE(openKind(kind));
                if (kind == CardContacts) {
                    EXPECT_TRUE(eventually([this] { return cardRows().contains("carol"); }, 30));
                }
                if (kind != CardSettings) {
                    EXPECT_GE(cardRows().size(), 2) << kind;
                }
                const QSize client(MainWindow::scaled(kSizes[kind].width(), dpi),
                                   MainWindow::scaled(kSizes[kind].height(), dpi));
                EXPECT_EQ(openCard()->size(), client) << "kind " << kind << " at " << dpi << " DPI: "
                                                      << openCard()->width() << " x " << openCard()->height();
                // The list lays its rows out on a later turn of the event loop: the picture is the
                // one two grabs in a row agree on.
                QImage shot;
                EXPECT_TRUE(eventually(
                    [&] {
                        const QImage now = openCard()->grab().toImage();
                        return std::exchange(shot, now) == now;
                    },
                    10));
                const QString file = QString("%1/card-%2-%3-%4.png").arg(folder).arg(kind).arg(theme).arg(dpi);
                EXPECT_TRUE(shot.save(file)) << file.toStdString();
                ++written;
            }
        }
    }
    EXPECT_EQ(written, 28);
    window_->setDpi(96);
}

}  // namespace
}  // namespace dialo::test
