#pragma once
// alice's phone as the desktop program runs it, with its main window, on a devnet of the
// test's own; a `vaultra watch --approve-all` that answers her Connect; and on request bob, a
// headless dialo-phone in a folder of his own, driven through its standard input. Every wait
// pumps the Qt event loop and has a deadline.

#include <QLineEdit>
#include <QTest>

#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "child.h"
#include "state/phone_state.h"
#include "ui/main_window.h"
#include "unit/devnet/devnet_fixture.h"

namespace dialo::test {

using nlohmann::json;

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
    void click(const char* name) {
        PhoneButton* b = button(name);
        ASSERT_NE(b, nullptr) << "no button named " << name;
        QTest::mouseClick(b, Qt::LeftButton, {}, b->rect().center());
    }

    /// Clicks Connect and waits until the window shows alice connected.
    void connectAlice();
    /// Starts bob: his wallet, funded, and his dialo-phone. `speaks`: his microphone plays a
    /// voice instead of silence.
    void startBob(bool speaks);
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

    std::string root_;
    std::string aliceDir_, bobDir_;
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<Child> watch_, bob_;

private:
    /// A wallet made by vaultra in `dir` (with `handle`, when not empty), funded when `sats`.
    std::string makeWallet(const std::string& dir, const std::string& handle, int64_t sats);
    void configure(const std::string& dir, const json& audio);
    bool published(const std::string& handle);
    bool coreStarted_ = false;
    size_t bobSeen_ = 0;
};

}  // namespace dialo::test
