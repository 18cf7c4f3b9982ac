#pragma once
// alice's phone on a devnet of the test's own; bob's events go to her dispatcher as her poller would hand them.
#include <stdlib.h>
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <tuple>
#include <nlohmann/json.hpp>
#include "app/startup.h"
#include "app/workers.h"
#include "audio/playback.h"
#include "base/clock.h"
#include "base/config.h"
#include "call/call_control.h"
#include "call/dispatch.h"
#include "call/event.h"
#include "state/phone_state.h"
#include "state/ui_bridge.h"
#include "store/handle_switch.h"
#include "store/phone_store.h"
#include "store/saver.h"
#include "support/devnet_fixture.h"
#include "ui/card_window.h"
#include "ui/main_window.h"
#include "vaultra/envelope.h"
#include "vaultra/identity.h"
#include "wallet/coins.h"

// Failure messages show texts as text.
inline std::ostream& operator<<(std::ostream& out, const QString& text) { return out << text.toStdString(); }
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text << '"'; }

namespace dialo::test {
using nlohmann::json;
/// A call-history record: talked for `secs`, or missed when 0, `agoSeconds` before now.
inline CallRecord callRecord(const char* from, const char* to, int32_t secs, int64_t agoSeconds) {
    CallRecord c;
    std::tie(c.from, c.to, c.secs, c.missed, c.ts) = std::tuple(from, to, secs, secs == 0, nowSeconds() - agoSeconds);
    return c;
}
class WindowTest : public devnet::test::DevnetTest {
protected:
    void SetUp() override {
        DevnetTest::SetUp();
        options.unspentPageSize = 100;
        options.blockIntervalSeconds = 1;  // a block a second confirms the coin split
        start();
        if (HasFatalFailure()) return;
        char pattern[] = "/tmp/dialo-ui-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        const std::string dir = root_ + "/alice";
        ASSERT_EQ(::setenv("LOCALAPPDATA", dir.c_str(), 1), 0);  // for vaultra too
        std::filesystem::create_directories(dir + "/Orvane/dialo");
        // A silent microphone and a loudspeaker into nothing.
        std::ofstream(dir + "/Orvane/dialo/phone.json")
            << json{{"network", devnet.networkJson()}, {"audio", {{"backend", "file"}}}}.dump(2);
        const json made = vaultra({"create", "--handle", "alice"});
        aliceIdentity_ = made.value("identity_pub", "");
        ASSERT_EQ(post("/devnet/fund", {{"address", made.value("address", "")}, {"sats", 200000}, {"confirm", true}}).status, 200);
        (void)vaultra({"create"});  // a second wallet keeps start-up from binding the only one
        ASSERT_EQ(post("/api/paymail/claim", devnet::test::signedClaim("bob", bob_, devnet::test::keyOf('9'))).status, 200);
        ASSERT_FALSE(HasFailure());
        watch_.start(DIALO_VAULTRA, {"--json", "watch", "--approve-all", QString::fromStdString(made.value("id", ""))});
        QByteArray said;
        ASSERT_TRUE(eventually([&] { return (said += watch_.readAllStandardOutput()).contains("\"watching\""); }, 20))
            << watch_.readAllStandardError().toStdString();
        ASSERT_TRUE(coreStarted_ = startCore());
        ASSERT_NO_FATAL_FAILURE(openWindow([] { ASSERT_TRUE(startWorkers()); }));  // the window routes their messages
    }
    void openWindow(const std::function<void()>& beforeShown = [] {}) {
        window_ = std::make_unique<MainWindow>();
        installCards(*window_);
        ASSERT_NO_FATAL_FAILURE(beforeShown());
        window_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    }
    void TearDown() override {
        if (window_) window_->close();
        window_.reset();
        if (coreStarted_) shutdownCore();
        watch_.kill(), watch_.waitForFinished();
        DevnetTest::TearDown();
        std::error_code ec;
        if (!root_.empty()) std::filesystem::remove_all(root_, ec);
    }
    static bool eventually(const std::function<bool()>& done, int seconds) { return QTest::qWaitFor(done, seconds * 1000); }
    PhoneButton* button(const char* name) const { return window_->findChild<PhoneButton*>(name); }
    QLineEdit* handleField() const { return window_->findChild<QLineEdit*>("handle"); }
    template <class W> static W* onCard(const char* name) { return openCard() ? openCard()->findChild<W*>(name) : nullptr; }
    static PhoneButton* cardButton(const char* name) { return onCard<PhoneButton>(name); }
    static QLineEdit* cardField() { return onCard<QLineEdit>("card-handle"); }
    static QListWidget* cardList() { return onCard<QListWidget>("list"); }
    void click(const char* name) { press(button(name), name); }
    void clickCard(const char* name) { press(cardButton(name), name); }
    QString status() const { return window_->headerLines().main; }
    void pick(const QString& title, const char* name) {
        ASSERT_NO_FATAL_FAILURE(selectRow(title));
        ASSERT_NO_FATAL_FAILURE(clickCard(name));
    }
    /// Opens a card kind (1..7) through the buttons that lead to it: the main window's, then the card's.
    void openKind(int kind) {
        static const std::pair<const char*, const char*> kPaths[] = {
            {}, {"contacts", nullptr}, {"answerphone", nullptr}, {"answerphone", "saved"}, {"settings", nullptr},
            {"answerphone", "history"}, {"settings", "fees"}, {"settings", "blocked"}};
        ASSERT_NO_FATAL_FAILURE(click(kPaths[kind].first));
        if (kPaths[kind].second) {
            ASSERT_NO_FATAL_FAILURE(clickCard(kPaths[kind].second));
        }
        ASSERT_TRUE(openCard() && openCard()->kind() == kind && QTest::qWaitForWindowExposed(openCard())) << kind;
    }
    /// The titles of the card's rows, top to bottom (an empty list shows one line saying so).
    QStringList cardRows() const {
        QStringList rows;
        for (int i = 0; cardList() && i < cardList()->count(); ++i) rows << cardList()->item(i)->text();
        return rows;
    }
    QListWidgetItem* row(const QString& title) const {
        const auto found = cardList() ? cardList()->findItems(title, Qt::MatchExactly) : QList<QListWidgetItem*>();
        return found.size() == 1 ? found.front() : nullptr;
    }
    QString rowDetail(const QString& title) const { return row(title) ? row(title)->data(kRowDetail).toString() : ""; }
    void selectRow(const QString& title) {
        QListWidgetItem* item = row(title);
        ASSERT_NE(item, nullptr) << title << " is not one row of " << cardRows().join(" | ");
        cardList()->scrollToItem(item);
        QTest::mouseClick(cardList()->viewport(), Qt::LeftButton, {}, cardList()->visualItemRect(item).center());
        ASSERT_TRUE(item->isSelected()) << title;
    }
    /// Answers the next dialog or menu `match` accepts by `act`, so the click that opened it returns.
    static std::unique_ptr<QObject> whenShown(std::function<bool(QWidget*)> match, std::function<void(QWidget*)> act,
                                              int seconds = 30) {
        auto watch = std::make_unique<QTimer>();
        QTimer* timer = watch.get();
        auto started = std::make_shared<QElapsedTimer>();
        started->start();
        QObject::connect(timer, &QTimer::timeout, timer, [=] {
            for (QWidget* shown : {QApplication::activePopupWidget(), QApplication::activeModalWidget()}) {
                if (shown && shown->isVisible() && match(shown)) {
                    timer->stop();
                    return act(shown);
                }
            }
            if (started->elapsed() < seconds * 1000LL) return;
            timer->stop();
            ADD_FAILURE() << "no dialog or menu of the kind awaited was shown within " << seconds << " s";
            for (QWidget* up : {QApplication::activePopupWidget(), QApplication::activeModalWidget()})
                if (up) up->close();
        });
        timer->start(20);
        return watch;
    }
    /// As a program restart: window and cards rebuilt, settings and volume read again from the store.
    void restartWindow() {
        window_->close();
        window_.reset();  // the card is the window's child and goes with it
        ASSERT_TRUE(flush_phone_store());
        lockPhone().state.settings = PhoneSettings{};
        phoneFlags().volume = PhoneFlags().volume.load();
        (void)setChunkMs(kDefaultChunkMs);
        load_settings();
        const std::string output = lockPhone().state.settings.output;
        setOutputId(output);  // as start-up does when it opens the sound
        ASSERT_NO_FATAL_FAILURE(openWindow());
    }
    /// With `coins`, also until her split coins are mined, so nothing writes the status line while she is idle.
    void connectAlice(bool coins = false) {
        click("connect");
        ASSERT_TRUE(eventually([this] { return button("connect")->text() == "Disconnect"; }, 90))
            << "status: " << lockPhone().state.statusText;
        ASSERT_TRUE(eventually([this] { return window_->headerLines().connection.contains("alice"); }, 60));
        ASSERT_TRUE(eventually([] { return current_store_key() == "alice"; }, 60));
        if (coins) {
            ASSERT_TRUE(eventually([] { return count_ready_coins() >= 120; }, 150)) << "ready: " << count_ready_coins();
        }
    }
    static CallState aliceState() { return lockPhone().state.callState; }
    /// `event` signed by bob and sealed to alice, handed to her dispatcher as her poller would.
    void fromBob(json event) {
        const int64_t ts = nowSeconds();
        event.update({{"protocol", kProtocol}, {"type", "dl"}, {"location", "dialo"}, {"handle", "bob"}, {"actor", "bob"},
                      {"paymail", "bob@" + options.serviceDomain}, {"pay", bob_.address}, {"ts", ts}});
        std::string sig, error;
        ASSERT_TRUE(sign_message_compact(bob_.priv, canonical_text(event), sig));
        event["pubkey"] = bob_.pub;
        event["sig"] = sig;
        json sealed = buildEnvelope(ts);
        ASSERT_TRUE(seal(compactText(event), aliceIdentity_, sealed, error)) << error;
        handlePayload(newCallId() + newCallId() + newCallId() + newCallId(), compactText(sealed));  // a txid
    }
    std::string root_;
    std::string aliceIdentity_;  // her identity key, which events to her are sealed to
    const devnet::test::Key bob_ = devnet::test::keyOf('b');
    std::unique_ptr<MainWindow> window_;
private:
    static void press(PhoneButton* b, const char* name) {
        ASSERT_NE(b, nullptr) << "no button named " << name;
        ASSERT_TRUE(b->isVisible()) << name << " is not shown";
        // A disabled button takes the click and does nothing, so wait as a user would.
        (void)eventually([b] { return b->isEnabled(); }, 5);
        QTest::mouseClick(b, Qt::LeftButton, {}, b->rect().center());
    }
    static json vaultra(const QStringList& args) {
        QProcess run;
        run.start(DIALO_VAULTRA, QStringList{"--json"} + args);
        EXPECT_TRUE(run.waitForFinished(60000) && run.exitCode() == 0) << args.join(' ') << run.readAllStandardError().toStdString();
        return json::parse(run.readAllStandardOutput().toStdString(), nullptr, false);
    }
    QProcess watch_;
    bool coreStarted_ = false;
};
}  // namespace dialo::test
