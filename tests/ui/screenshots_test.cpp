// Pictures of the main window for people to look at: each call state in each theme at 96 and
// 144 DPI, as PNG files in the build folder's screenshots/. The states are set in the phone
// state directly; only the connection is real.

#include <QDir>
#include <QImage>

#include "base/clock.h"
#include "state/ui_bridge.h"
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

}  // namespace
}  // namespace dialo::test
