// The main window driven as a user drives it: clicks, keys and typing.
#include <QAccessible>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QUrl>
#include "window_fixture.h"

namespace dialo::test {
namespace {
QAccessibleInterface* accessibleNamed(QAccessibleInterface* root, const QString& name) {
    if (!root) return nullptr;
    if (root->object() && root->object()->objectName() == name) return root;
    for (int i = 0; i < root->childCount(); ++i)
        if (QAccessibleInterface* found = accessibleNamed(root->child(i), name)) return found;
    return nullptr;
}
TEST_F(WindowTest, ACallPlacedFromTheHandleFieldIsAnsweredMutedAndEndedAndItsReceiptIsWhatTheBalanceLost) {
    auto header = [this] { return window_->headerLines(); };
    EXPECT_EQ(window_->windowTitle(), "Dialo (devnet)") << "the title names the network paid on";
    EXPECT_EQ(button("connect")->text(), "Connect");
    EXPECT_TRUE(header().connection.isEmpty());
    ASSERT_NO_FATAL_FAILURE(connectAlice(true));
    static const QRegularExpression line("^alice   [1-9][0-9]* sats$");
    EXPECT_TRUE(eventually([&] { return line.match(header().connection).hasMatch(); }, 60)) << header().connection;
    const int64_t before = wallet_balance();
    EXPECT_EQ(header().hint, "Type in a handle to call");
    QTest::keyClicks(handleField(), "bob");
    EXPECT_TRUE(header().hint.isEmpty());
    // Enter is swallowed: a call is placed with the Call button only.
    QSignalSpy pressed(button("call"), &QAbstractButton::clicked);
    QTest::keyClick(handleField(), Qt::Key_Return);
    EXPECT_EQ(pressed.count(), 0) << "Enter pressed Call";
    EXPECT_EQ(handleField()->text(), "bob");
    click("call");
    ASSERT_TRUE(eventually([] { return aliceState() == CallState::Calling; }, 60)) << lockPhone().state.statusText;
    EXPECT_TRUE(eventually([&] { return header().caption == "Calling  bob"; }, 5));
    EXPECT_FALSE(button("call")->isEnabled()) << "a second call can be placed meanwhile";
    const std::string callId = lockPhone().state.callId;
    fromBob(buildEvent(kAccept, callId));
    ASSERT_TRUE(eventually([&] { return header().caption == "Talking with  bob"; }, 30)) << header().caption;
    EXPECT_TRUE(button("hangup")->isEnabled() && button("mute")->isEnabled());
    // Who is talking stays above the clock.
    EXPECT_TRUE(eventually([&] { return header().main == "0:02"; }, 30)) << header().main;
    EXPECT_EQ(header().caption, "Talking with  bob");
    // Mute and the lamp are read out with their state; from the card F4 hangs up and Escape closes it.
    QAccessibleInterface* root = QAccessible::queryAccessibleInterface(window_.get());
    QAccessibleInterface *mute = accessibleNamed(root, "mute"), *lamp = accessibleNamed(root, "lamp");
    ASSERT_TRUE(mute && lamp && mute->state().checkable);
    for (bool muted : {true, false}) {
        click("mute");
        EXPECT_EQ(bool(mute->state().checked), muted);
        EXPECT_EQ(phoneFlags().mute.load(), muted);
    }
    ASSERT_NO_FATAL_FAILURE(openKind(CardAnswerPhone));
    EXPECT_EQ(cardButton("answerphone-toggle")->text(), "Answer-phone off");
    click("lamp");
    EXPECT_TRUE(lamp->state().checked);
    EXPECT_EQ(cardButton("answerphone-toggle")->text(), "Answer-phone on");
    QTest::keyClick(openCard(), Qt::Key_F4);
    // Settled: the call is recorded with fee and hang-up, and every coin spent is counted.
    auto last = [] { return lockPhone().state.boxes.calls.back(); };
    ASSERT_TRUE(eventually([&] {
        if (aliceState() != CallState::Idle || lockPhone().state.boxes.calls.empty()) return false;
        const CallReceipt r = last().receipt;
        return !r.feeTxid.empty() && std::find(r.sentKinds.begin(), r.sentKinds.end(), "hangup") != r.sentKinds.end();
    }, 90));
    int64_t after = 0;
    EXPECT_TRUE(eventually([&] { return before - (after = wallet_balance()) == last().sats; }, 60))
        << "the balance fell by " << before - after << " sats, the record says " << last().sats;
    const CallRecord made = last();
    QTest::keyClick(openCard(), Qt::Key_Escape);
    EXPECT_TRUE(eventually([] { return openCard() == nullptr; }, 5));
    EXPECT_TRUE(made.to == "bob" && made.receipt.feeSats > 0);
    EXPECT_EQ(header().caption, "Ready");
    EXPECT_TRUE(eventually([this] { return button("call")->isEnabled() && !button("hangup")->isEnabled(); }, 5));
    // The history's row opens the receipt: its total, its fee and each event's kind and page.
    ASSERT_NO_FATAL_FAILURE(openKind(CardHistory));
    ASSERT_NO_FATAL_FAILURE(selectRow("alice   to   bob"));
    EXPECT_TRUE(row("alice   to   bob")->data(Qt::AccessibleTextRole).toString().contains("second"));
    QString receipt;
    auto watch = whenShown([](QWidget* w) { return w->objectName() == "receipt"; }, [&](QWidget* w) {
        receipt = static_cast<QMessageBox*>(w)->text();
        w->close();
    });
    QTest::mouseDClick(cardList()->viewport(), Qt::LeftButton, {},
                       cardList()->visualItemRect(row("alice   to   bob")).center());
    ASSERT_TRUE(eventually([&] { return !receipt.isEmpty(); }, 30));
    EXPECT_TRUE(receipt.contains(QString("%1 sats spent").arg(made.sats))) << receipt;
    EXPECT_TRUE(receipt.contains(QString("the call fee's %1 included").arg(made.receipt.feeSats))) << receipt;
    for (const char* kind : {"invite", "hangup", "accept"}) EXPECT_TRUE(receipt.contains(kind)) << kind;
    EXPECT_FALSE(receipt.contains(QRegularExpression("\\b1 events\\b"))) << receipt;
    // Only what this phone paid for is on the devnet's explorer; bob's events never were.
    QStringList links, want;
    for (auto it = QRegularExpression("href=\"([^\"]+)\"").globalMatch(receipt); it.hasNext();) links << it.next().captured(1);
    auto page = [](const std::string& txid) { return QString::fromStdString(networkConfig().explorerBase + "/tx/" + txid); };
    std::vector<std::string> paid = made.receipt.sent;
    paid.push_back(made.receipt.feeTxid);
    for (const std::string& txid : made.receipt.sent) want << page(txid);
    for (const std::string& txid : made.receipt.heard) want << page(txid);
    EXPECT_EQ(links, want << page(made.receipt.feeTxid));
    for (const std::string& txid : paid) EXPECT_EQ(get(QUrl(page(txid)).path().toStdString()).status, 200) << txid;
}
TEST_F(WindowTest, TheFocusFollowsACallBeingPlacedAndTheStatusLineIsReadOutUntilTheNextHandleIsTyped) {
    QAccessibleInterface* status = accessibleNamed(QAccessible::queryAccessibleInterface(window_.get()), "main-text");
    ASSERT_NE(status, nullptr);
    auto said = [](QAccessibleInterface* i) { return i->text(QAccessible::Name); };
    auto phone = [](const std::function<void(PhoneState&)>& change) { change(lockPhone().state), postUi(UiMessage::Refresh); };
    // Tab starts at the handle, which has the focus from the start; idle, only Call is offered.
    EXPECT_TRUE(eventually([this] { return QApplication::focusWidget() == handleField(); }, 5));
    EXPECT_FALSE(button("hangup")->isEnabled() || button("mute")->isEnabled());
    // Mute belongs to the call it was pressed in: idle, it is off and shows so.
    phoneFlags().mute = true;
    postUi(UiMessage::Refresh);
    EXPECT_TRUE(eventually([this] { return !phoneFlags().mute && !button("mute")->lit(); }, 5));
    // Called from the keyboard while the handle is found: Space hangs up, never disconnects; F4 calls it off.
    button("call")->setFocus();
    phone([](PhoneState& s) { s.placing = true, s.statusText = "Finding bob."; });
    EXPECT_TRUE(eventually([this] { return button("hangup")->isEnabled() && !button("call")->isEnabled(); }, 5));
    EXPECT_EQ(window_->focusWidget(), button("hangup"));
    QTest::keyClicks(handleField(), "x");
    EXPECT_EQ(window_->headerLines().main, "Finding bob.") << "typing while placing cleared the line";
    QTest::keyClick(window_.get(), Qt::Key_F4);
    EXPECT_TRUE(eventually([] { return lockPhone().state.placeCancelled; }, 30)) << "F4 did not cancel";
    EXPECT_TRUE(eventually([&] { return said(status) == "Hung up."; }, 5));
    phone([](PhoneState& s) { s.placing = s.placeCancelled = false; });  // the placing thread saw the cancel
    EXPECT_TRUE(eventually([this] { return !button("hangup")->isEnabled() && button("call")->isEnabled(); }, 5));
    EXPECT_EQ(window_->focusWidget(), handleField());
    // The status line is read out and cleared by typing; a handle is cut at the length calls read.
    handleField()->clear();
    setStatus("Could not find zed.");
    EXPECT_TRUE(eventually([&] { return said(status) == "Could not find zed."; }, 5));
    QTest::keyClicks(handleField(), QString(200, 'z'));
    EXPECT_TRUE(eventually([&] { return said(status).isEmpty(); }, 5));
    EXPECT_EQ(handleField()->text().size(), 179);
}
}  // namespace
}  // namespace dialo::test
