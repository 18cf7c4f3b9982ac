#pragma once
// alice's phone as the desktop program runs it, with its main window and card, on a devnet of the
// test's own; a `vaultra watch --approve-all` that answers her Connect; and on request bob, a
// headless dialo-phone in a folder of his own, driven through its standard input. Every wait
// pumps the Qt event loop and has a deadline.

#include <QLineEdit>
#include <QTest>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "child.h"
#include "state/phone_state.h"
#include "ui/card_window.h"
#include "ui/main_window.h"
#include "unit/devnet/devnet_fixture.h"

// Failure messages show texts as text.
inline std::ostream& operator<<(std::ostream& out, const QString& text) { return out << text.toStdString(); }
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text << '"'; }

namespace dialo::test {

using nlohmann::json;

/// A call-history record: talked for `secs`, or missed when 0, `agoSeconds` before now.
CallRecord callRecord(const char* from, const char* to, int32_t secs, int64_t agoSeconds);

class WindowTest : public devnet::test::DevnetTest {
protected:
    void SetUp() override;
    void TearDown() override;

    /// Waits, pumping events, until `done` holds; false after `seconds`.
    static bool eventually(const std::function<bool()>& done, int seconds) {
        return QTest::qWaitFor(done, seconds * 1000);
    }

    PhoneButton* button(const char* name) const { return window_->findChild<PhoneButton*>(name); }
    QLineEdit* handleField() const { return window_->findChild<QLineEdit*>("handle"); }
    /// A left click in the middle of the named button, as a user makes it.
    void click(const char* name) { press(button(name), name); }

    /// The card's widgets by name; null while no card is open.
    PhoneButton* cardButton(const char* name) const {
        return openCard() ? openCard()->findChild<PhoneButton*>(name) : nullptr;
    }
    QLineEdit* cardField() const { return openCard() ? openCard()->findChild<QLineEdit*>("card-handle") : nullptr; }
    void clickCard(const char* name) { press(cardButton(name), name); }
    /// Opens a card kind (1..7) through the buttons that lead to it: the main window's, then the card's.
    void openKind(int kind);
    /// The titles of the card's rows, top to bottom (an empty list shows one line saying so).
    QStringList cardRows() const;
    /// The second line of the row titled `title`; empty when there is none.
    QString rowDetail(const QString& title) const;
    /// Clicks the card's row titled `title`.
    void selectRow(const QString& title);

    /// Answers the next dialog or pop-up menu that `match` accepts, once it is shown, by `act`
    /// (as a user would answer it), so that the click that opened it returns. Looks every 20 ms
    /// until it has acted or the returned watch is destroyed; after `seconds` without one, fails
    /// and closes whatever modal window is up, so that the test goes on.
    std::unique_ptr<QObject> whenShown(std::function<bool(QWidget*)> match, std::function<void(QWidget*)> act,
                                       int seconds = 30);

    /// As the program is started again: window and card destroyed, settings and volume back to
    /// their defaults and read from the store as start-up reads them, a new window with its cards.
    void restartWindow();
    /// The contacts in alice's wallet file, as Vaultra keeps them.
    std::vector<std::string> walletContacts() const;

    /// Clicks Connect and waits until the window shows alice connected and her store is loaded.
    void connectAlice();
    /// Waits until alice's coins are split and in a block, after which nothing in the
    /// background writes the status line while she is idle.
    void awaitAliceCoins();
    /// Starts bob: his wallet, funded, and his dialo-phone. `speaks`: his microphone plays a
    /// voice instead of silence. With `echo`, the phone is an echo line under the handle "echo"
    /// that answers every call itself and plays back what it hears.
    void startBob(bool speaks, bool echo = false);
    /// Both phones connected, their handles published and their coins split and in a block.
    void awaitCallsReady();

    static CallState aliceState() { return lockPhone().state.callState; }
    /// Waits for bob's next output line (after the last one taken) that `match` accepts; takes it
    /// (into `found`, when given). False, with a test failure naming `what`, when none comes
    /// within `seconds`.
    bool bobSays(const std::function<bool(const json&)>& match, int seconds, const std::string& what,
                 json* found = nullptr);
    /// bob's next line showing the call state `state` (as dialo-phone names it).
    bool bobIs(const char* state, int seconds);
    /// bob calls alice, whose answer-phone is on, speaks for `seconds` and hangs up; returns when
    /// he has sent the message.
    void bobLeavesMessage(int seconds);

    std::string root_;
    std::string aliceDir_, bobDir_;
    std::string aliceWallet_;  // Vaultra's id of her wallet
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<Child> watch_, bob_;

private:
    static void press(PhoneButton* b, const char* name) {
        ASSERT_NE(b, nullptr) << "no button named " << name;
        ASSERT_TRUE(b->isVisible()) << name << " is not shown";
        // As a user waits for a button to come alive after a state change has been read; a
        // button that stays disabled takes the click and does nothing.
        (void)eventually([b] { return b->isEnabled(); }, 5);
        QTest::mouseClick(b, Qt::LeftButton, {}, b->rect().center());
    }
    /// A wallet made by vaultra in `dir` (with `handle`, when not empty), funded when `sats`.
    std::string makeWallet(const std::string& dir, const std::string& handle, int64_t sats);
    void configure(const std::string& dir, const json& audio);
    bool published(const std::string& handle);
    bool coreStarted_ = false;
    std::string bobHandle_ = "bob";
    size_t bobSeen_ = 0;
};

}  // namespace dialo::test
