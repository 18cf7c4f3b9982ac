// The main window used as a user uses it: clicks on its buttons, typing in the handle field,
// and what the header, the buttons and the other phone show after each.

#include <QRegularExpression>
#include <set>

#include "window_fixture.h"

namespace dialo::test {
namespace {

const QString kDivertAfterThree = "Calls will divert to your answer-phone after three rings.";

TEST_F(WindowTest, ConnectApprovedInVaultraShowsDisconnectAndTheOwnHandle) {
    EXPECT_EQ(button("connect")->text(), "Connect");
    EXPECT_TRUE(window_->headerLines().connection.isEmpty());
    ASSERT_NO_FATAL_FAILURE(connectAlice());
    // Then the balance joins the handle, three blanks after it, once the wallet has been read.
    const QRegularExpression line("^alice   [1-9][0-9]* sats$");
    EXPECT_TRUE(eventually([&] { return line.match(window_->headerLines().connection).hasMatch(); }, 60))
        << window_->headerLines().connection.toStdString();
}

TEST_F(WindowTest, CallRingsBobAndNeitherEnterNorASecondPressPlacesAnother) {
    ASSERT_NO_FATAL_FAILURE(startBob(false));
    ASSERT_NO_FATAL_FAILURE(connectAlice());
    ASSERT_NO_FATAL_FAILURE(awaitCallsReady());
    EXPECT_EQ(window_->headerLines().hint, "Type in a handle to call");
    QTest::keyClicks(handleField(), "bob");
    EXPECT_TRUE(window_->headerLines().hint.isEmpty());

    // Enter is swallowed: had it placed the call, alice would be finding bob within moments.
    auto placing = [](const std::string& callId) {
        auto g = lockPhone();
        return g.state.callId != callId || g.state.statusText.starts_with("Finding");
    };
    QTest::keyClick(handleField(), Qt::Key_Return);
    EXPECT_FALSE(eventually([&] { return placing(""); }, 2)) << "Enter started a call";
    EXPECT_EQ(handleField()->text(), "bob");

    click("call");
    ASSERT_TRUE(eventually([] { return aliceState() == CallState::Calling; }, 60)) << lockPhone().state.statusText;
    EXPECT_TRUE(eventually([this] { return window_->headerLines().caption == "Calling  bob"; }, 5));
    ASSERT_TRUE(bobIs("Incoming", 60));

    // A second press while calling is ignored: no new call id, no second look-up of bob.
    const std::string callId = lockPhone().state.callId;
    click("call");
    EXPECT_FALSE(eventually([&] { return placing(callId); }, 2)) << "a second call was placed";
    EXPECT_EQ(aliceState(), CallState::Calling);

    click("hangup");
    EXPECT_TRUE(eventually([] { return aliceState() == CallState::Idle; }, 60));
    EXPECT_TRUE(bobIs("Idle", 60));
    EXPECT_EQ(window_->headerLines().caption, "Ready");
}

TEST_F(WindowTest, AnIncomingCallPulsesAnswerUntilAClickAnswersIt) {
    ASSERT_NO_FATAL_FAILURE(startBob(false));
    ASSERT_NO_FATAL_FAILURE(connectAlice());
    ASSERT_NO_FATAL_FAILURE(awaitCallsReady());
    PhoneButton* call = button("call");
    const QRect rest = call->geometry();
    EXPECT_EQ(rest.size(), QSize(128, 52));

    ASSERT_TRUE(bob_->send("call alice"));
    ASSERT_TRUE(eventually([] { return aliceState() == CallState::Incoming; }, 60)) << lockPhone().state.statusText;
    EXPECT_TRUE(eventually([&] { return call->text() == "Answer"; }, 5));
    EXPECT_EQ(window_->headerLines().main, "bob is calling");
    EXPECT_EQ(window_->headerLines().caption, "Ready");

    // Over a few 80 ms ring ticks the button takes several sizes, all about its resting centre.
    std::set<int> widths;
    int offCentre = 0;
    EXPECT_TRUE(eventually(
        [&] {
            widths.insert(call->width());
            offCentre = std::max(offCentre, (call->geometry().center() - rest.center()).manhattanLength());
            return widths.size() >= 4;
        },
        10));
    EXPECT_LE(offCentre, 2);
    EXPECT_GT(*widths.rbegin(), rest.width());

    click("call");
    ASSERT_TRUE(eventually([] { return aliceState() == CallState::Talking; }, 60)) << lockPhone().state.statusText;
    EXPECT_TRUE(bobIs("Talking", 60));
    // Back at rest as soon as the call leaves Incoming, whatever the phase of the pulse.
    EXPECT_TRUE(eventually([&] { return call->geometry() == rest && call->text() == "Call"; }, 5));
    EXPECT_TRUE(eventually([this] { return window_->headerLines().main.contains(':'); }, 5))
        << window_->headerLines().main.toStdString();

    click("hangup");
    EXPECT_TRUE(eventually([] { return aliceState() == CallState::Idle; }, 60));
    EXPECT_TRUE(bobIs("Idle", 60));
    EXPECT_EQ(call->geometry(), rest);
}

TEST_F(WindowTest, AMessageLeftOnTheAnswerPhoneLightsTheLampUntilTheAnswerPhoneIsOpened) {
    ASSERT_NO_FATAL_FAILURE(startBob(true));
    ASSERT_NO_FATAL_FAILURE(connectAlice());
    ASSERT_NO_FATAL_FAILURE(awaitCallsReady());
    click("lamp");
    EXPECT_TRUE(lockPhone().state.boxes.answerphone);
    EXPECT_TRUE(eventually([this] { return window_->headerLines().main == kDivertAfterThree; }, 5))
        << window_->headerLines().main.toStdString();
    EXPECT_FALSE(phoneFlags().lamp);

    ASSERT_NO_FATAL_FAILURE(bobLeavesMessage(3));

    ASSERT_TRUE(eventually([] { return phoneFlags().lamp.load(); }, 60));
    EXPECT_TRUE(eventually([this] { return window_->headerLines().main == "Message from bob."; }, 5))
        << window_->headerLines().main.toStdString();
    // The lamp blinks with a 1.1 s half-period: lit within a few seconds.
    EXPECT_TRUE(eventually([this] { return button("lamp")->lit(); }, 5));

    click("answerphone");
    EXPECT_FALSE(phoneFlags().lamp);
    EXPECT_FALSE(button("lamp")->lit());
    EXPECT_FALSE(eventually([this] { return button("lamp")->lit(); }, 3)) << "the lamp lit again";
}

TEST_F(WindowTest, AStoredThemeOutsideTheFourPaintsAsBlue) {
    auto shot = [this](int theme) {
        lockPhone().state.settings.theme = theme;
        window_->applyTheme();
        return window_->grab().toImage();
    };
    // Retried: a status line posted between two grabs changes one of them.
    EXPECT_TRUE(eventually([&] { return shot(7) == shot(0); }, 10));
    EXPECT_NE(shot(1), shot(0));
}

TEST_F(WindowTest, TheWindowTakesTheClientSizeOfItsDpi) {
    struct Row {
        int dpi;
        QSize client, call;
    };
    EXPECT_EQ(window_->dpi(), 96);
    for (const Row& row : {Row{96, {460, 508}, {128, 52}}, Row{144, {690, 762}, {192, 78}},
                           Row{120, {575, 635}, {160, 65}}, Row{96, {460, 508}, {128, 52}}}) {
        window_->setDpi(row.dpi);
        EXPECT_EQ(MainWindow::clientSizeAt(row.dpi), row.client) << row.dpi;
        EXPECT_EQ(window_->size(), row.client) << row.dpi;
        EXPECT_EQ(button("call")->size(), row.call) << row.dpi;
    }
}

}  // namespace
}  // namespace dialo::test
