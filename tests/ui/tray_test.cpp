// The tray icon's count of missed calls not yet seen, and its menu. The offscreen platform has
// no system tray, so the icon is made directly and looked at rather than clicked on a panel.

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>

#include "store/phone_store.h"
#include "ui/tray.h"
#include "ui/ui_events.h"
#include "window_fixture.h"

namespace dialo::test {
namespace {

class TrayTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        if (HasFatalFailure()) return;
        tray_ = std::make_unique<Tray>(window_.get());
    }
    void TearDown() override {
        tray_.reset();
        other_.reset();
        WindowTest::TearDown();
    }

    /// Another window takes the focus, as when the user works elsewhere.
    void lookAway() {
        other_ = std::make_unique<QWidget>();
        other_->resize(100, 100);
        other_->show();
        other_->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(other_.get()));
        ASSERT_FALSE(window_->isActiveWindow());
    }

    /// A call from `caller` that rang unanswered, recorded as the call path records one.
    void missedCallFrom(const std::string& caller, const std::string& callId) {
        {
            auto g = lockPhone();
            record_missed_call(g.state, caller, callId);
        }
        postUi(UiMessage::Refresh);
    }

    QAction* menuEntry(const QString& text) const {
        for (QAction* a : tray_->icon()->contextMenu()->actions())
            if (a->text() == text) return a;
        ADD_FAILURE() << "no menu entry " << text.toStdString();
        return nullptr;
    }

    std::unique_ptr<Tray> tray_;
    std::unique_ptr<QWidget> other_;
};

TEST_F(TrayTest, MissedCallsCountUntilTheWindowIsActivated) {
    EXPECT_EQ(tray_->unseenMissedCalls(), 0);
    EXPECT_EQ(tray_->icon()->toolTip(), "Dialo");
    ASSERT_NO_FATAL_FAILURE(lookAway());

    missedCallFrom("bob", "00000000000000a1");
    EXPECT_TRUE(eventually([this] { return tray_->unseenMissedCalls() == 1; }, 5));
    EXPECT_EQ(tray_->icon()->toolTip(), "Dialo: 1 missed call");
    missedCallFrom("carol", "00000000000000a2");
    EXPECT_TRUE(eventually([this] { return tray_->unseenMissedCalls() == 2; }, 5));
    EXPECT_EQ(tray_->icon()->toolTip(), "Dialo: 2 missed calls");

    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    EXPECT_TRUE(eventually([this] { return tray_->unseenMissedCalls() == 0; }, 5));
    EXPECT_EQ(tray_->icon()->toolTip(), "Dialo");

    // Seen calls stay seen when the user looks away again; only a new one counts.
    ASSERT_NO_FATAL_FAILURE(lookAway());
    missedCallFrom("bob", "00000000000000a3");
    EXPECT_TRUE(eventually([this] { return tray_->unseenMissedCalls() == 1; }, 5));
}

TEST_F(TrayTest, ACallMissedWhileTheWindowIsActiveIsSeenAtOnce) {
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    missedCallFrom("bob", "00000000000000b1");
    ASSERT_FALSE(lockPhone().state.boxes.calls.empty());
    // The window handles the refresh that followed the record; the count stays at none.
    QCoreApplication::sendPostedEvents(window_.get());
    EXPECT_EQ(tray_->unseenMissedCalls(), 0);
    EXPECT_EQ(tray_->icon()->toolTip(), "Dialo");
}

TEST_F(TrayTest, ShowDialoBringsTheMinimisedWindowBack) {
    window_->showMinimized();
    ASSERT_TRUE(eventually([this] { return window_->isMinimized(); }, 5));
    QAction* show = menuEntry("Show Dialo");
    ASSERT_NE(show, nullptr);
    show->trigger();
    EXPECT_TRUE(eventually([this] { return !window_->isMinimized() && window_->isVisible(); }, 5));
    EXPECT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    ASSERT_NE(menuEntry("Quit"), nullptr);
}

}  // namespace
}  // namespace dialo::test
