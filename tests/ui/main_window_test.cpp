// The main window used as a user uses it: clicks on its buttons, typing in the handle field,
// and what the header, the buttons and the other phone show after each.

#include <QAccessible>
#include <QListWidget>
#include <QMessageBox>
#include <QRegularExpression>
#include <set>

#include "base/clock.h"
#include "state/ui_bridge.h"
#include "service/platform.h"
#include "service/storage.h"
#include "wallet/coins.h"
#include "wallet/encoding.h"
#include "wallet/published.h"
#include "wallet/transaction.h"
#include "window_fixture.h"

namespace dialo::test {
namespace {

const QString kDivertAfterThree = "Calls will divert to your answer-phone after three rings.";

// The objects the window has told assistive technology about, and how.
std::vector<std::pair<QObject*, QAccessible::Event>> gTold;
void told(QAccessibleEvent* e) { gTold.emplace_back(e->object(), e->type()); }
bool wasTold(QObject* about, QAccessible::Event what) {
    return std::find(gTold.begin(), gTold.end(), std::make_pair(about, what)) != gTold.end();
}

// The interface of the widget named `name` under `root`'s, as a screen reader walks the tree.
QAccessibleInterface* accessibleNamed(QAccessibleInterface* root, const QString& name) {
    if (!root) return nullptr;
    if (root->object() && root->object()->objectName() == name) return root;
    for (int i = 0; i < root->childCount(); ++i)
        if (QAccessibleInterface* found = accessibleNamed(root->child(i), name)) return found;
    return nullptr;
}

TEST_F(WindowTest, ConnectApprovedInVaultraShowsDisconnectAndTheOwnHandle) {
    EXPECT_EQ(window_->windowTitle(), "Dialo (devnet)") << "the title names the network paid on";
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

    // A second press while calling is ignored: no new call id, no second look-up of bob. With
    // push, bob can ring before alice's send has returned and her ringer has said so.
    ASSERT_TRUE(eventually([] { return lockPhone().state.statusText.starts_with("Ringing"); }, 30))
        << lockPhone().state.statusText;
    const std::string callId = lockPhone().state.callId;
    EXPECT_FALSE(button("call")->isEnabled());
    QTest::mouseClick(button("call"), Qt::LeftButton);
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

    // Answered and hung up from the keyboard: each press leaves the focus where the next one
    // belongs, never on Disconnect.
    call->setFocus();
    QTest::keyClick(call, Qt::Key_Space);
    ASSERT_TRUE(eventually([] { return aliceState() == CallState::Talking; }, 60)) << lockPhone().state.statusText;
    EXPECT_TRUE(bobIs("Talking", 60));
    EXPECT_TRUE(eventually([this] { return !button("call")->isEnabled(); }, 5));
    EXPECT_EQ(window_->focusWidget(), button("hangup"));
    // Back at rest as soon as the call leaves Incoming, whatever the phase of the pulse.
    EXPECT_TRUE(eventually([&] { return call->geometry() == rest && call->text() == "Call"; }, 5));
    EXPECT_TRUE(eventually([this] { return window_->headerLines().main.contains(':'); }, 5))
        << window_->headerLines().main.toStdString();

    QTest::keyClick(window_->focusWidget(), Qt::Key_Space);
    EXPECT_TRUE(eventually([] { return aliceState() == CallState::Idle; }, 60));
    EXPECT_TRUE(bobIs("Idle", 60));
    EXPECT_TRUE(eventually([this] { return !button("hangup")->isEnabled(); }, 5));
    EXPECT_EQ(window_->focusWidget(), handleField());
    EXPECT_EQ(button("connect")->text(), "Disconnect");
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

TEST_F(WindowTest, AssistiveTechnologyReadsTheHeaderAndTheStateOfMuteAndTheLamp) {
    QAccessible::installUpdateHandler(told);
    QAccessible::setActive(true);
    QAccessibleInterface* root = QAccessible::queryAccessibleInterface(window_.get());
    QAccessibleInterface* status = accessibleNamed(root, "main-text");
    QAccessibleInterface* caption = accessibleNamed(root, "caption-text");
    QAccessibleInterface* mute = accessibleNamed(root, "mute");
    QAccessibleInterface* lamp = accessibleNamed(root, "lamp");
    ASSERT_TRUE(status && caption && mute && lamp);

    // Tab starts at the handle, which has the focus from the start.
    EXPECT_TRUE(eventually([this] { return QApplication::focusWidget() == handleField(); }, 5));
    EXPECT_EQ(caption->text(QAccessible::Name), "Ready");
    EXPECT_FALSE(button("hangup")->isEnabled());
    EXPECT_FALSE(button("mute")->isEnabled());
    setStatus("Could not find zed.");
    EXPECT_TRUE(eventually([&] { return status->text(QAccessible::Name) == "Could not find zed."; }, 5))
        << status->text(QAccessible::Name).toStdString();
    // Events flow only where the platform has an accessibility bridge (not the offscreen one).
    if (QAccessible::isActive()) {
        EXPECT_TRUE(wasTold(status->object(), QAccessible::NameChanged));
    }
    // Typing the next handle clears the old line; a handle is cut at the length calls read.
    QTest::keyClicks(handleField(), QString(200, 'z'));
    EXPECT_TRUE(eventually([&] { return status->text(QAccessible::Name).isEmpty(); }, 5))
        << status->text(QAccessible::Name).toStdString();
    EXPECT_EQ(handleField()->text().size(), 179);

    // A call up, as the call engine leaves it when bob answers.
    {
        auto g = lockPhone();
        g.state.callState = CallState::Talking;
        g.state.peerHandle = "bob";
        g.state.caption = "Calling  bob";
        g.state.callStart = nowSeconds();
    }
    postUi(UiMessage::Refresh);
    EXPECT_TRUE(eventually([&] { return caption->text(QAccessible::Name) == "Talking with  bob"; }, 5))
        << caption->text(QAccessible::Name).toStdString();
    EXPECT_TRUE(eventually([&] { return status->text(QAccessible::Name) == "0:00" || status->text(QAccessible::Name) == "0:01"; }, 5));
    EXPECT_FALSE(button("call")->isEnabled());
    EXPECT_TRUE(mute->state().checkable);
    for (bool muted : {true, false}) {
        click("mute");
        EXPECT_EQ(bool(mute->state().checked), muted);
        EXPECT_EQ(phoneFlags().mute.load(), muted);
    }
    // The lamp tells whether the answer-phone is on, and the open card's button follows it.
    ASSERT_NO_FATAL_FAILURE(openKind(CardAnswerPhone));
    EXPECT_EQ(cardButton("answerphone-toggle")->text(), "Answer-phone off");
    click("lamp");
    EXPECT_TRUE(lamp->state().checked);
    EXPECT_EQ(cardButton("answerphone-toggle")->text(), "Answer-phone on");
    // F4 from the card hangs up, and Escape closes the card.
    QTest::keyClick(openCard(), Qt::Key_F4);
    EXPECT_TRUE(eventually([] { return aliceState() == CallState::Idle; }, 30));
    QTest::keyClick(openCard(), Qt::Key_Escape);
    EXPECT_TRUE(eventually([] { return openCard() == nullptr; }, 5));
    EXPECT_TRUE(eventually([&] { return caption->text(QAccessible::Name) == "Ready"; }, 5));
    QAccessible::installUpdateHandler(nullptr);
}

TEST_F(WindowTest, ACallBeingPlacedCanBeHungUpAndTheFocusFollowsTheNextPressNeverToDisconnect) {
    // Mute belongs to the call it was pressed in: idle, it is off and shows so.
    phoneFlags().mute = true;
    postUi(UiMessage::Refresh);
    EXPECT_TRUE(eventually([this] { return !phoneFlags().mute && !button("mute")->lit(); }, 5));

    // Call pressed from the keyboard while the handle is being found, as the placing thread
    // leaves the phone then.
    button("call")->setFocus();
    ASSERT_EQ(window_->focusWidget(), button("call"));
    {
        auto g = lockPhone();
        g.state.placing = true;
        g.state.statusText = "Finding bob.";
    }
    postUi(UiMessage::Refresh);
    EXPECT_TRUE(eventually([this] { return button("hangup")->isEnabled() && !button("call")->isEnabled(); }, 5));
    EXPECT_EQ(window_->focusWidget(), button("hangup")) << "a second Space must hang up, never disconnect";
    QTest::keyClicks(handleField(), "x");
    EXPECT_EQ(window_->headerLines().main, "Finding bob.") << "typing while placing cleared the line";

    QTest::keyClick(window_.get(), Qt::Key_F4);
    EXPECT_TRUE(eventually([] { return lockPhone().state.placeCancelled; }, 30)) << "F4 did not cancel";
    EXPECT_TRUE(eventually([this] { return window_->headerLines().main == "Hung up."; }, 5))
        << window_->headerLines().main.toStdString();
    {
        auto g = lockPhone();  // the placing thread gives up on seeing the cancel
        g.state.placing = false;
        g.state.placeCancelled = false;
    }
    postUi(UiMessage::Refresh);
    EXPECT_TRUE(eventually([this] { return !button("hangup")->isEnabled() && button("call")->isEnabled(); }, 5));
    EXPECT_EQ(window_->focusWidget(), handleField());
}

// The txids the index holds for an address.
std::set<std::string> paying(service::Platform& platform, const std::string& address) {
    service::Listing l;
    if (!platform.storage().listing(address, 1000, l)) return {};
    return {l.txids.begin(), l.txids.end()};
}

// What others paid ADDRESS in the transactions paying it that are not in SKIP: the peer's
// events pay a satoshi each, which the balance counts and the call's receipt, what was spent,
// does not.
int64_t paidByOthers(service::Platform& platform, const std::string& address, const std::set<std::string>& skip) {
    Hash160 h{};
    if (!decode_p2pkh_address(address, h)) return -1;
    const Bytes script = p2pkh_script(h);
    int64_t sum = 0;
    for (const std::string& txid : paying(platform, address)) {
        service::IndexedTx tx;
        ParsedTx parsed;
        if (skip.count(txid) || !platform.storage().tx(txid, tx) || !parse_tx(tx.raw, parsed)) continue;
        for (const TxOutput& o : parsed.outputs)
            if (o.locking == script) sum += o.sats;
    }
    return sum;
}

TEST_F(WindowTest, ACallToTheEchoLineSaysWhoIsTalkingAndItsReceiptIsWhatTheBalanceLost) {
    ASSERT_NO_FATAL_FAILURE(startBob(false, true));
    ASSERT_NO_FATAL_FAILURE(connectAlice());
    ASSERT_NO_FATAL_FAILURE(awaitCallsReady());
    const int64_t before = wallet_balance();
    ASSERT_GT(before, 0);
    const std::string payAddress = published_wallet().payAddress;
    std::set<std::string> known = paying(devnet.platform(), payAddress);
    QTest::keyClicks(handleField(), "echo");
    click("call");
    ASSERT_TRUE(eventually([this] { return window_->headerLines().caption == "Talking with  echo"; }, 90))
        << window_->headerLines().caption.toStdString() << " / " << lockPhone().state.statusText;
    EXPECT_FALSE(button("call")->isEnabled());
    EXPECT_TRUE(button("hangup")->isEnabled());
    EXPECT_TRUE(button("mute")->isEnabled());
    // It stays while they talk, above the clock.
    EXPECT_TRUE(eventually([this] { return window_->headerLines().main == "0:03"; }, 30))
        << window_->headerLines().main.toStdString();
    EXPECT_EQ(window_->headerLines().caption, "Talking with  echo");
    click("hangup");

    // Settled: the call is on record with its fee and its hang-up, and the wallet has counted
    // every coin it spent.
    CallRecord made;
    ASSERT_TRUE(eventually(
        [&] {
            auto g = lockPhone();
            if (g.state.callState != CallState::Idle || g.state.boxes.calls.empty()) return false;
            made = g.state.boxes.calls.back();
            const auto& kinds = made.receipt.sentKinds;
            return !made.receipt.feeTxid.empty() && std::find(kinds.begin(), kinds.end(), "hangup") != kinds.end();
        },
        90));
    EXPECT_EQ(made.to, "echo");
    EXPECT_GT(made.receipt.feeSats, 0);
    // Less what the echo line's events paid alice, as far as her wallet has seen them.
    int64_t after = 0, paid = 0;
    const auto spent = [&] {
        auto g = lockPhone();
        const CallRecord& r = g.state.boxes.calls.back();
        std::set<std::string> own = known;
        own.insert(r.receipt.sent.begin(), r.receipt.sent.end());
        own.insert(r.receipt.feeTxid);
        paid = paidByOthers(devnet.platform(), payAddress, own);
        return r.sats;
    };
    EXPECT_TRUE(eventually(
        [&] {
            after = wallet_balance();
            return before - after == spent() - paid;
        },
        60))
        << "the balance fell by " << before - after << " sats, the record says " << spent() << " spent and "
        << paid << " received";
    made = lockPhone().state.boxes.calls.back();
    EXPECT_TRUE(eventually([this] { return button("call")->isEnabled(); }, 5));
    EXPECT_FALSE(button("hangup")->isEnabled());

    // The history's row opens the receipt of that call: its total, its fee and each event's kind.
    ASSERT_NO_FATAL_FAILURE(openKind(CardHistory));
    auto* list = openCard()->findChild<QListWidget*>("list");
    ASSERT_NE(list, nullptr);
    ASSERT_NO_FATAL_FAILURE(selectRow("alice   to   echo"));
    EXPECT_TRUE(list->currentItem()->data(Qt::AccessibleTextRole).toString().contains("second"));
    QString receipt;
    auto watch = whenShown([](QWidget* w) { return w->objectName() == "receipt"; }, [&](QWidget* w) {
        receipt = static_cast<QMessageBox*>(w)->text();
        w->close();
    });
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->currentItem()).center());
    ASSERT_TRUE(eventually([&] { return !receipt.isEmpty(); }, 30));
    EXPECT_TRUE(receipt.contains(QString("%1 sats spent").arg(made.sats))) << receipt.toStdString();
    EXPECT_TRUE(receipt.contains(QString("the call fee's %1 included").arg(made.receipt.feeSats))) << receipt.toStdString();
    for (const char* kind : {"invite", "hangup"}) EXPECT_TRUE(receipt.contains(kind)) << kind << ": " << receipt.toStdString();
    EXPECT_FALSE(receipt.contains(QRegularExpression("\\b1 events\\b"))) << receipt.toStdString();
}

}  // namespace
}  // namespace dialo::test
