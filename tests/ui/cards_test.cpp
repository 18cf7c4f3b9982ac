// The card used as a user uses it: opened from the main window's buttons and its own, rows
// selected with the mouse, handles typed, buttons clicked; then what the lists, the header, the
// wallet file, the phone store, the devnet and the files written show after each.

#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QRegularExpression>
#include <QUrl>
#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>

#include "app/update_check.h"
#include "audio/gsm.h"
#include "base/clock.h"
#include "base/config.h"
#include "platform/autostart.h"
#include "state/ui_bridge.h"
#include "store/handle_switch.h"
#include "store/phone_store.h"
#include "store/saver.h"
#include "ui/update_prompt.h"
#include "window_fixture.h"

namespace dialo::test {

// Takes the pages the phone asks the desktop to open, in place of a browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    UrlCatcher() {
        for (const char* scheme : {"http", "https"}) QDesktopServices::setUrlHandler(scheme, this, "open");
    }
    ~UrlCatcher() override {
        for (const char* scheme : {"http", "https"}) QDesktopServices::unsetUrlHandler(scheme);
    }
    QStringList opened;

public slots:
    void open(const QUrl& url) { opened << url.toString(); }
};

namespace {

bool listed(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

// A handle typed into the card's field and sent with the button or with Enter.
struct Typed {
    const char* text;
    bool enter;
    const char* status;
    QStringList rows;
    const char* left;  // in the field afterwards: emptied only when the handle was taken
};

class CardTest : public WindowTest {
protected:
    QString status() const { return window_->headerLines().main; }

    // The call or message clock the header shows, in seconds; -1 while it shows none.
    int clock() const {
        static const QRegularExpression shape("^(\\d+):(\\d\\d)$");
        const QRegularExpressionMatch m = shape.match(window_->headerLines().main);
        return m.hasMatch() ? m.captured(1).toInt() * 60 + m.captured(2).toInt() : -1;
    }

    void typeAll(const std::vector<Typed>& typed, const char* button) {
        for (const Typed& t : typed) {
            cardField()->clear();
            QTest::keyClicks(cardField(), t.text);
            if (t.enter) QTest::keyClick(cardField(), Qt::Key_Return);
            else ASSERT_NO_FATAL_FAILURE(clickCard(button));
            EXPECT_TRUE(eventually([&] { return cardRows() == t.rows && status() == t.status; }, 30))
                << "typed \"" << t.text << "\": rows " << cardRows().join(" | ").toStdString() << ", status "
                << status().toStdString();
            EXPECT_EQ(cardField()->text(), QString(t.left)) << "typed \"" << t.text << "\"";
        }
    }

    // Opens the output menu, once the devices have been read, and hands it to `act`.
    void withOutputMenu(const std::function<void(QMenu*, QAction* file)>& act) {
        bool acted = false;
        auto watch = whenShown([](QWidget* w) { return w->objectName() == "output-menu"; }, [&](QWidget* w) {
            auto* menu = static_cast<QMenu*>(w);
            QAction* file = nullptr;
            for (QAction* a : menu->actions())
                if (a->data().toString() == "file") file = a;
            act(menu, file);
            if (menu->isVisible()) QTest::keyClick(menu, Qt::Key_Escape);
            acted = true;
        });
        ASSERT_NO_FATAL_FAILURE(clickCard("output"));
        ASSERT_TRUE(eventually([&] { return acted; }, 30)) << "no output menu";
    }
};

TEST_F(CardTest, ContactsAreAddedByButtonOrEnterIntoTheWalletUsedAndRemoved) {
    ASSERT_NO_FATAL_FAILURE(connectAlice());
    ASSERT_NO_FATAL_FAILURE(awaitAliceCoins());
    ASSERT_NO_FATAL_FAILURE(openKind(CardContacts));
    EXPECT_TRUE(eventually([this] { return cardRows() == QStringList{"No contacts yet."}; }, 10));

    const QStringList both{"bob", "carol"};
    ASSERT_NO_FATAL_FAILURE(typeAll({{"bob", false, "Added bob", {"bob"}, ""},
                                     {"Carol", true, "Added carol", both, ""},
                                     {"BOB", true, "Already in contacts.", both, "BOB"},
                                     {"  ", false, "Type a handle to add.", both, "  "},
                                     {"@", false, "error: enter a handle, paymail, or 1-address.", both, "@"}},
                                    "add"));
    EXPECT_EQ(walletContacts(), (std::vector<std::string>{"bob", "carol"}));

    // Opening the card shown already refills it where it stands.
    const QPoint placed = openCard()->frameGeometry().topLeft() + QPoint(30, 20);
    openCard()->move(placed);
    ASSERT_NO_FATAL_FAILURE(click("contacts"));
    EXPECT_EQ(openCard()->frameGeometry().topLeft(), placed);
    EXPECT_TRUE(eventually([&] { return cardRows() == both; }, 10)) << cardRows().join(" | ").toStdString();

    ASSERT_NO_FATAL_FAILURE(clickCard("remove"));
    EXPECT_EQ(status(), "Pick a contact first.");
    ASSERT_NO_FATAL_FAILURE(selectRow("carol"));
    ASSERT_NO_FATAL_FAILURE(clickCard("remove"));
    EXPECT_TRUE(eventually([this] { return cardRows() == QStringList{"bob"} && status() == "Removed carol"; }, 30))
        << cardRows().join(" | ").toStdString() << ", " << status().toStdString();
    EXPECT_EQ(walletContacts(), std::vector<std::string>{"bob"});

    ASSERT_NO_FATAL_FAILURE(selectRow("bob"));
    ASSERT_NO_FATAL_FAILURE(clickCard("use"));
    EXPECT_EQ(handleField()->text(), "bob");
}

TEST_F(CardTest, HandlesAreBlockedByButtonOrEnterButNeverAliceHerself) {
    ASSERT_NO_FATAL_FAILURE(connectAlice());
    ASSERT_NO_FATAL_FAILURE(awaitAliceCoins());
    ASSERT_NO_FATAL_FAILURE(openKind(CardBlocked));
    EXPECT_EQ(cardRows(), QStringList{"No one is blocked."});

    const QStringList both{"carol", "dave"};
    ASSERT_NO_FATAL_FAILURE(typeAll({{"carol", false, "Blocked carol", {"carol"}, ""},
                                     {"Dave", true, "Blocked dave", both, ""},
                                     {"CAROL", true, "Already blocked.", both, "CAROL"},
                                     {"alice", false, "That's you.", both, "alice"},
                                     {"", true, "Type a handle to block.", both, ""}},
                                    "block"));
    EXPECT_EQ(lockPhone().state.boxes.blocked, (std::vector<std::string>{"carol", "dave"}));

    ASSERT_NO_FATAL_FAILURE(clickCard("unblock"));
    EXPECT_EQ(status(), "Pick a handle first.");
    ASSERT_NO_FATAL_FAILURE(selectRow("carol"));
    ASSERT_NO_FATAL_FAILURE(clickCard("unblock"));
    EXPECT_EQ(status(), "Unblocked carol");
    EXPECT_EQ(cardRows(), QStringList{"dave"});
    EXPECT_EQ(lockPhone().state.boxes.blocked, std::vector<std::string>{"dave"});
    // In alice's own file, where her phone reads it after a restart.
    ASSERT_TRUE(flush_phone_store());
    const json stored = json::parse(std::ifstream(handle_store_path("alice")), nullptr, false);
    EXPECT_EQ(stored.value("blocked", json()), json::array({"dave"})) << stored.dump();
}

TEST_F(CardTest, ALeftMessagePlaysPausesAndResumesAndIsExportedSavedAndDeleted) {
    ASSERT_NO_FATAL_FAILURE(startBob(true));
    ASSERT_NO_FATAL_FAILURE(connectAlice());
    ASSERT_NO_FATAL_FAILURE(awaitCallsReady());
    ASSERT_NO_FATAL_FAILURE(click("lamp"));
    ASSERT_TRUE(lockPhone().state.boxes.answerphone);
    ASSERT_NO_FATAL_FAILURE(bobLeavesMessage(8));
    ASSERT_TRUE(eventually([] { return !lockPhone().state.boxes.inbox.empty(); }, 60));
    const InboxMessage left = lockPhone().state.boxes.inbox.front();
    ASSERT_GE(left.secs, 8);
    // A second message, from carol, to be saved and then deleted from the answer-phone only.
    InboxMessage other = left;
    other.id = "c0ffee00c0ffee00";
    other.from = "carol";
    other.txid.clear();
    lockPhone().state.boxes.inbox.push_back(other);

    ASSERT_NO_FATAL_FAILURE(openKind(CardAnswerPhone));
    EXPECT_EQ(cardButton("answerphone-toggle")->text(), "Answer-phone on");
    EXPECT_EQ(cardRows(), (QStringList{"from bob", "from carol"}));
    EXPECT_TRUE(rowDetail("from bob").endsWith(QString("%1:%2").arg(left.secs / 60).arg(left.secs % 60, 2, 10, QChar('0'))))
        << rowDetail("from bob").toStdString();

    // Play, pause, resume and stop, as the buttons and the header's clock show them.
    ASSERT_NO_FATAL_FAILURE(selectRow("from bob"));
    ASSERT_NO_FATAL_FAILURE(clickCard("play"));
    // The speakers open on a worker; the button says so once they have.
    EXPECT_TRUE(eventually([this] { return cardButton("play")->text() == "Playing"; }, 10));
    ASSERT_GE(clock(), 0) << status().toStdString();
    ASSERT_TRUE(eventually([this] { return clock() >= 1; }, 10)) << status().toStdString();
    ASSERT_NO_FATAL_FAILURE(clickCard("pause"));
    EXPECT_TRUE(eventually([this] { return cardButton("pause")->text() == "Resume"; }, 10));
    const int paused = clock();
    ASSERT_GE(paused, 1);
    // Any 2.2 s of real time crosses at least two whole seconds of the clock's source.
    QElapsedTimer held;
    held.start();
    EXPECT_FALSE(QTest::qWaitFor([&] { return clock() != paused; }, 2500)) << "ran on while paused: " << clock();
    ASSERT_GE(held.elapsed(), 2200);
    ASSERT_NO_FATAL_FAILURE(clickCard("pause"));
    EXPECT_TRUE(eventually([this] { return cardButton("pause")->text() == "Pause"; }, 10));
    const int resumed = clock();
    EXPECT_TRUE(resumed == paused || resumed == paused + 1) << "paused at " << paused << ", resumed at " << resumed;
    EXPECT_TRUE(eventually([&] { return clock() > resumed; }, 5)) << "the clock stands still after Resume";
    ASSERT_NO_FATAL_FAILURE(clickCard("stop"));
    EXPECT_TRUE(eventually([this] { return cardButton("play")->text() == "Play"; }, 10));
    EXPECT_EQ(clock(), -1) << status().toStdString();

    // Export: a WAV of 8 kHz 16-bit mono samples, as long as the message.
    const QString wav = QString::fromStdString(root_ + "/exported.wav");
    {
        auto answer = whenShown([](QWidget* w) { return w->objectName() == "export-dialog"; }, [&](QWidget* w) {
            auto* name = w->findChild<QLineEdit*>("fileNameEdit");
            ASSERT_NE(name, nullptr);
            name->setText(wav);
            static_cast<QDialog*>(w)->accept();  // as the Save button does
        });
        ASSERT_NO_FATAL_FAILURE(selectRow("from bob"));
        ASSERT_NO_FATAL_FAILURE(clickCard("export"));
    }
    EXPECT_EQ(status(), "Message written to " + wav + ".");
    QFile file(wav);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    ASSERT_GE(bytes.size(), 44);
    auto field = [&](int at, int size) {  // little-endian
        uint32_t v = 0;
        for (int i = size; i-- > 0;) v = v << 8 | uint8_t(bytes[at + i]);
        return v;
    };
    // Channels, frames per second and bits per sample of the format chunk, then the data's size.
    EXPECT_EQ((std::array{field(22, 2), field(24, 4), field(34, 2)}), (std::array{1u, 8000u, 16u}));
    const uint32_t data = field(40, 4);
    EXPECT_EQ(data, left.audio.size() / kGsmBlockBytes * kPcmBlockBytes);
    EXPECT_EQ(data, uint32_t(bytes.size() - 44));
    EXPECT_NEAR(data / 16000.0, left.secs, 1.0);

    // Save keeps a copy and marks the inbox message heard; it stays in the inbox until the next load.
    ASSERT_NO_FATAL_FAILURE(selectRow("from bob"));
    ASSERT_NO_FATAL_FAILURE(clickCard("save"));
    EXPECT_EQ(status(), "Saved as message 1.");
    ASSERT_NO_FATAL_FAILURE(selectRow("from carol"));
    ASSERT_NO_FATAL_FAILURE(clickCard("save"));
    EXPECT_EQ(status(), "Saved as message 2.");
    EXPECT_EQ(cardRows(), (QStringList{"from bob", "from carol"}));
    EXPECT_TRUE(listed(lockPhone().state.boxes.heard, left.id));

    // Delete on the answer-phone: into the tomb, out of the inbox, the saved copy kept.
    ASSERT_NO_FATAL_FAILURE(selectRow("from carol"));
    ASSERT_NO_FATAL_FAILURE(clickCard("delete"));
    EXPECT_EQ(cardRows(), QStringList{"from bob"});
    {
        auto g = lockPhone();
        EXPECT_TRUE(listed(g.state.boxes.tomb, other.id));
        EXPECT_FALSE(listed(g.state.boxes.tomb, left.id));
        EXPECT_EQ(g.state.boxes.saved.size(), 2u);
    }
    ASSERT_TRUE(flush_phone_store());
    {
        auto g = lockPhone();
        StoreLockGuard store;
        ASSERT_TRUE(load_handle_file(g.state));
    }
    postUi(UiMessage::CardsRefresh);
    EXPECT_TRUE(eventually([this] { return cardRows() == QStringList{"No messages yet."}; }, 10))
        << "the saved message came back into the inbox: " << cardRows().join(" | ").toStdString();

    // Delete on the saved messages: into the tomb, and the rest numbered from 1 again.
    ASSERT_NO_FATAL_FAILURE(clickCard("saved"));
    EXPECT_EQ(cardRows(), (QStringList{"from bob", "from carol"}));
    EXPECT_TRUE(rowDetail("from bob").startsWith("Message 1")) << rowDetail("from bob").toStdString();
    ASSERT_NO_FATAL_FAILURE(selectRow("from bob"));
    ASSERT_NO_FATAL_FAILURE(clickCard("delete"));
    EXPECT_EQ(cardRows(), QStringList{"from carol"});
    EXPECT_TRUE(rowDetail("from carol").startsWith("Message 1")) << rowDetail("from carol").toStdString();
    auto g = lockPhone();
    EXPECT_TRUE(listed(g.state.boxes.tomb, left.id));
    ASSERT_EQ(g.state.boxes.saved.size(), 1u);
    EXPECT_EQ(g.state.boxes.saved[0].n, 1);
}

TEST_F(CardTest, CallHistoryFiltersHidesAndGivesAReceiptOfTransactionsOnTheDevnet) {
    ASSERT_NO_FATAL_FAILURE(startBob(false));
    ASSERT_NO_FATAL_FAILURE(connectAlice());
    ASSERT_NO_FATAL_FAILURE(awaitCallsReady());
    QTest::keyClicks(handleField(), "bob");
    ASSERT_NO_FATAL_FAILURE(click("call"));
    ASSERT_TRUE(bobIs("Incoming", 60));
    ASSERT_TRUE(bob_->send("answer"));
    ASSERT_TRUE(eventually([] { return aliceState() == CallState::Talking; }, 60)) << lockPhone().state.statusText;
    ASSERT_NO_FATAL_FAILURE(click("hangup"));
    // The call fee's payment is on the record too, once it has gone out.
    ASSERT_TRUE(eventually(
        [] {
            auto g = lockPhone();
            return g.state.callState == CallState::Idle && !g.state.boxes.calls.empty() &&
                   !g.state.boxes.calls.back().receipt.feeTxid.empty();
        },
        60));
    const CallRecord made = lockPhone().state.boxes.calls.back();
    EXPECT_EQ(made.from, "alice");
    EXPECT_EQ(made.to, "bob");
    ASSERT_FALSE(made.receipt.sent.empty());
    ASSERT_FALSE(made.receipt.heard.empty());

    // The receipt links every event each way to its page, and each page is on the devnet.
    QStringList links, want;
    static const QRegularExpression href("href=\"([^\"]+)\"");
    for (auto it = href.globalMatch(CardWindow::receiptText(made)); it.hasNext();) links << it.next().captured(1);
    for (const auto* txids : {&made.receipt.sent, &made.receipt.heard})
        for (const std::string& txid : *txids) want << QString::fromStdString(networkConfig().explorerBase + "/tx/" + txid);
    want << QString::fromStdString(networkConfig().explorerBase + "/tx/" + made.receipt.feeTxid);
    EXPECT_EQ(links, want);
    for (const QString& link : links) {
        const devnet::test::Reply page = get(QUrl(link).path().toStdString());
        EXPECT_EQ(page.status, 200) << link.toStdString();
    }

    // Beside it, a call taken here and two missed, one each way.
    {
        auto g = lockPhone();
        auto& calls = g.state.boxes.calls;
        calls.push_back(callRecord("bob", "alice", 12, 600));
        calls.push_back(callRecord("carol", "alice", 0, 300));
        calls.push_back(callRecord("alice", "dave", 0, 60));
    }
    const QString kMade = "alice   to   bob", kTaken = "bob   to   alice", kMissedFrom = "Missed call from carol",
                  kMissedTo = "Missed call to dave";
    const QStringList all{kMissedTo, kMissedFrom, kTaken, kMade};
    ASSERT_NO_FATAL_FAILURE(openKind(CardHistory));
    EXPECT_EQ(cardRows(), all);

    struct Filter {
        const char* button;
        QStringList rows;
        bool toLit, fromLit;
    };
    for (const Filter& f : {Filter{"calls-to", {kMissedTo, kMade}, true, false}, Filter{"calls-to", all, false, false},
                            Filter{"calls-from", {kMissedFrom, kTaken}, false, true},
                            Filter{"calls-to", {kMissedTo, kMade}, true, false}, Filter{"calls-to", all, false, false}}) {
        ASSERT_NO_FATAL_FAILURE(clickCard(f.button));
        EXPECT_EQ(cardRows(), f.rows) << "after " << f.button;
        EXPECT_EQ(cardButton("calls-to")->lit(), f.toLit) << "after " << f.button;
        EXPECT_EQ(cardButton("calls-from")->lit(), f.fromLit) << "after " << f.button;
    }

    ASSERT_NO_FATAL_FAILURE(clickCard("hide"));
    EXPECT_EQ(status(), "Select a call first.");
    ASSERT_NO_FATAL_FAILURE(selectRow(kTaken));
    // A call missed meanwhile moves every row down; the choice stays with the call chosen.
    lockPhone().state.boxes.calls.push_back(callRecord("erin", "alice", 0, 5));
    postUi(UiMessage::CardsRefresh);
    const QString kMissedErin = "Missed call from erin";
    ASSERT_TRUE(eventually([&] { return cardRows().size() == 5; }, 5)) << cardRows().join(" | ").toStdString();
    ASSERT_NO_FATAL_FAILURE(clickCard("hide"));
    EXPECT_EQ(status(), "Call hidden. Show all lists it.");
    EXPECT_EQ(cardRows(), (QStringList{kMissedErin, kMissedTo, kMissedFrom, kMade}));
    EXPECT_TRUE(lockPhone().state.boxes.calls[1].hide);
    EXPECT_FALSE(lockPhone().state.boxes.calls[4].hide);
    ASSERT_NO_FATAL_FAILURE(clickCard("show-all"));
    EXPECT_EQ(status(), "Hidden calls are listed.");
    EXPECT_EQ(cardRows(), QStringList{kMissedErin} + all);
    EXPECT_TRUE(rowDetail(kTaken).endsWith("hidden")) << rowDetail(kTaken).toStdString();
    EXPECT_FALSE(rowDetail(kMade).contains("hidden")) << rowDetail(kMade).toStdString();
    ASSERT_NO_FATAL_FAILURE(selectRow(kTaken));
    ASSERT_NO_FATAL_FAILURE(clickCard("hide"));
    EXPECT_EQ(status(), "Call shown.");
    EXPECT_FALSE(rowDetail(kTaken).contains("hidden")) << rowDetail(kTaken).toStdString();
    EXPECT_FALSE(lockPhone().state.boxes.calls[1].hide);
}

TEST_F(CardTest, SettingsChosenOnTheCardAreShownAgainAfterARestart) {
    const std::string config = root_ + "/config";
    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", config.c_str(), 1), 0);
    const std::string entry = config + "/autostart/dialo.desktop";
    ASSERT_EQ(startupEntryPath(), entry);
    ASSERT_NO_FATAL_FAILURE(openKind(CardSettings));

    struct Step {
        const char* button;
        const char* label;  // after the click
    };
    const Step kSteps[] = {{"notify", "Notifications sound"}, {"notify", "Notifications vibrate"},
                           {"unit", "Show sats"},             {"volume", "Volume 150%"},
                           {"volume", "Volume 200%"},         {"volume", "Volume 50%"},
                           {"delay", "Call delay 0.4 s (900 sats/min)"},
                           {"delay", "Call delay 0.3 s (935 sats/min)"},
                           {"delay", "Call delay 0.2 s (1500 sats/min)"},
                           {"startup", "Remove from Startup"}};
    std::map<std::string, QString> shown{{"notify", "Notifications all"},
                                         {"unit", "Show bsv"},
                                         {"volume", "Volume 100%"},
                                         {"delay", "Call delay 0.8 s (525 sats/min)"},
                                         {"startup", "Add to Startup"}};
    for (const auto& [name, label] : shown) EXPECT_EQ(cardButton(name.c_str())->text(), label) << name;
    for (const Step& s : kSteps) {
        ASSERT_NO_FATAL_FAILURE(clickCard(s.button));
        EXPECT_EQ(cardButton(s.button)->text(), s.label);
        shown[s.button] = s.label;
    }
    EXPECT_TRUE(std::filesystem::exists(entry));
    ASSERT_NO_FATAL_FAILURE(clickCard("theme2"));
    EXPECT_EQ(lockPhone().state.settings.theme, 2);
    EXPECT_TRUE(eventually([this] { return cardButton("output")->text() == "Output: Speakers"; }, 10))
        << cardButton("output")->text().toStdString();
    ASSERT_NE(openCard()->findChild<QWidget*>("mic-level"), nullptr);
    EXPECT_TRUE(openCard()->findChild<QWidget*>("mic-level")->isVisible());
    ASSERT_NO_FATAL_FAILURE(withOutputMenu([](QMenu* menu, QAction* file) {
        ASSERT_NE(file, nullptr);
        EXPECT_FALSE(file->isChecked());
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(file).center());
    }));
    EXPECT_TRUE(eventually([] { return lockPhone().state.settings.output == "file"; }, 10));
    // The microphone's menu, read from the sound system as the output's is.
    bool listed = false;
    {
        auto watch = whenShown([](QWidget* w) { return w->objectName() == "input-menu"; }, [&](QWidget* w) {
            listed = true;
            QTest::keyClick(w, Qt::Key_Escape);
        });
        ASSERT_NO_FATAL_FAILURE(clickCard("input"));
        EXPECT_TRUE(eventually([&] { return listed; }, 30));
    }
    // Where the user has put the card, as the window manager moves it.
    const QPoint placed(120, 60);
    openCard()->move(placed);
    ASSERT_EQ(openCard()->frameGeometry().topLeft(), placed);

    ASSERT_NO_FATAL_FAILURE(restartWindow());
    ASSERT_NO_FATAL_FAILURE(openKind(CardSettings));
    const QPoint reopened = openCard()->frameGeometry().topLeft();
    EXPECT_EQ(reopened, placed) << "the card's place was not kept when the program closed: it opened at "
                                << reopened.x() << "," << reopened.y();
    for (const auto& [name, label] : shown) EXPECT_EQ(cardButton(name.c_str())->text(), label) << name;
    for (int theme = 0; theme < 4; ++theme)
        EXPECT_EQ(cardButton(("theme" + std::to_string(theme)).c_str())->lit(), theme == 2) << theme;
    bool chosen = false;
    ASSERT_NO_FATAL_FAILURE(withOutputMenu([&](QMenu*, QAction* file) { chosen = file && file->isChecked(); }));
    EXPECT_TRUE(chosen) << "the output chosen before the restart is not ticked";

    ASSERT_NO_FATAL_FAILURE(clickCard("startup"));
    EXPECT_EQ(cardButton("startup")->text(), "Add to Startup");
    EXPECT_FALSE(std::filesystem::exists(entry));
}

TEST_F(CardTest, ANewerBuildIsOfferedYesOpensTheDownloadPageAndTheSettingsCardSaysSo) {
    const QString page = QString::fromStdString(networkConfig().updateBase + "/dialo/");
    const std::unique_ptr<QMessageBox> box = updateQuestion(3, window_.get());
    EXPECT_EQ(box->windowTitle(), "Dialo update");
    EXPECT_EQ(box->text(), "A newer Dialo is available.\n\nThis build:  0.002\nLatest:      0.003\n\n"
                           "Open the download page, " + page + ", now?");
    EXPECT_EQ(box->icon(), QMessageBox::Question);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);

    ASSERT_NO_FATAL_FAILURE(openKind(CardSettings));
    const QLabel* version = openCard()->findChild<QLabel*>("version");
    ASSERT_NE(version, nullptr);
    UrlCatcher browser;
    struct Answer {
        const char* published;  // on the update page
        int latest;             // in thousandths
        QMessageBox::StandardButton press;
        bool asked;
        QStringList opened;
    };
    for (const Answer& a : {Answer{"0.002", 2, QMessageBox::Yes, false, {}}, Answer{"0.003", 3, QMessageBox::No, true, {}},
                            Answer{"0.004", 4, QMessageBox::Yes, true, {page}}}) {
        ASSERT_EQ(post("/devnet/settings", {{"published_version", a.published}}).status, 200);
        browser.opened.clear();
        bool asked = false;
        auto watch = whenShown([](QWidget* w) { return w->windowTitle() == "Dialo update"; }, [&](QWidget* w) {
            asked = true;
            QTest::mouseClick(static_cast<QMessageBox*>(w)->button(a.press), Qt::LeftButton);
        });
        runUpdateCheck();
        ASSERT_TRUE(eventually([&] { return window_->updateVersion() == a.latest; }, 10)) << a.published;
        EXPECT_EQ(asked, a.asked) << a.published;
        EXPECT_EQ(browser.opened, a.opened) << a.published;
        EXPECT_EQ(version->text().contains("Update available"), a.latest > 2)
            << "the open Settings card after the check found " << a.published << ": " << version->text().toStdString();
    }
}

}  // namespace
}  // namespace dialo::test

#include "cards_test.moc"
