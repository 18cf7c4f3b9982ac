// The offscreen platform has no system tray, so the icon is made directly and looked at.
#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include "ui/tray.h"
#include "window_fixture.h"

namespace dialo::test {
namespace {
TEST_F(WindowTest, TheTrayCountsMissedCallsUntilTheWindowIsSeenAndShowDialoBringsItBack) {
    Tray tray(window_.get());
    QWidget elsewhere;  // where the user works meanwhile
    elsewhere.resize(100, 100);
    auto activate = [](QWidget* w) {
        w->show(), w->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    };
    // A call that rang unanswered, recorded as the call path records one, and read by the window.
    int calls = 0;
    auto missed = [&](const char* caller) {
        record_missed_call(lockPhone().state, caller, "00000000000000a" + std::to_string(++calls));
        postUi(UiMessage::Refresh), QCoreApplication::sendPostedEvents(window_.get());
    };
    const std::tuple<std::function<void()>, int, const char*> steps[] = {
        {[&] { activate(&elsewhere); }, 0, "Dialo"},
        {[&] { missed("bob"); }, 1, "Dialo: 1 missed call"},
        {[&] { missed("carol"); }, 2, "Dialo: 2 missed calls"},
        {[&] { activate(window_.get()); }, 0, "Dialo"},
        {[&] { missed("dave"); }, 0, "Dialo"},        // seen at once while the window is active
        {[&] { activate(&elsewhere); }, 0, "Dialo"},  // seen calls stay seen; only a new one counts
        {[&] { missed("bob"); }, 1, "Dialo: 1 missed call"},
    };
    for (const auto& [act, unseen, tip] : steps) {
        ASSERT_NO_FATAL_FAILURE(act());
        // Counted as the window handles the activation or the refresh.
        EXPECT_EQ(tray.unseenMissedCalls(), unseen) << tip;
        EXPECT_EQ(tray.icon()->toolTip(), tip);
    }
    window_->showMinimized();
    ASSERT_TRUE(eventually([this] { return window_->isMinimized(); }, 5));
    QStringList entries;
    for (QAction* a : tray.icon()->contextMenu()->actions()) entries << a->text();
    ASSERT_EQ(entries, (QStringList{"Show Dialo", "Quit"}));
    tray.icon()->contextMenu()->actions().front()->trigger();
    EXPECT_TRUE(eventually([this] { return !window_->isMinimized() && window_->isVisible(); }, 5));
    EXPECT_TRUE(QTest::qWaitForWindowActive(window_.get()));
}
}  // namespace
}  // namespace dialo::test
