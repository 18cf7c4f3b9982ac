// The card used as a user uses it: opened from the main window's buttons and its own, rows
// selected with the mouse, handles typed, buttons clicked; then what the lists, the header, the
// store and the files written show after each.

#include <QDesktopServices>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QRegularExpression>
#include <QUrl>
#include <algorithm>
#include <fstream>

#include "app/update_check.h"
#include "audio/gsm.h"
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

class CardTest : public WindowTest {
protected:
    // The call or message clock the header shows, in seconds; -1 while it shows none.
    int clock() const {
        static const QRegularExpression shape("^(\\d+):(\\d\\d)$");
        const QRegularExpressionMatch m = shape.match(window_->headerLines().main);
        return m.hasMatch() ? m.captured(1).toInt() * 60 + m.captured(2).toInt() : -1;
    }

    // Opens the menu of the devices button `name` ("output" or "input"), once the devices have
    // been read, and hands it to `act` with its entry for the file device.
    void withMenu(const char* name, const std::function<void(QMenu*, QAction* file)>& act) {
        bool acted = false;
        auto watch = whenShown([&](QWidget* w) { return w->objectName() == QString(name) + "-menu"; }, [&](QWidget* w) {
            auto* menu = static_cast<QMenu*>(w);
            QAction* file = nullptr;
            for (QAction* a : menu->actions())
                if (a->data().toString() == "file") file = a;
            act(menu, file);
            if (menu->isVisible()) QTest::keyClick(menu, Qt::Key_Escape);
            acted = true;
        });
        ASSERT_NO_FATAL_FAILURE(clickCard(name));
        ASSERT_TRUE(eventually([&] { return acted; }, 30)) << "no " << name << " menu";
    }
};

TEST_F(CardTest, HandlesAreBlockedOrAddedAsContactsByButtonOrEnterAndRemoved) {
    ASSERT_NO_FATAL_FAILURE(connectAlice(true));
    // A handle typed into the card's field and sent with the button or with Enter; the field is
    // emptied only when the handle was taken.
    struct Typed {
        const char* text;
        bool enter;
        const char* status;
        QStringList rows;
        const char* left;
    };
    // Each list: both handles taken, then carol removed. Contacts are listed as read back from
    // the wallet file; the blocked are checked in alice's own file, where her phone reads them
    // after a restart.
    struct List {
        int kind;
        const char* empty, *add, *remove, *pickFirst, *removed;
        std::vector<Typed> typed;
    };
    auto stored = [] {
        EXPECT_TRUE(flush_phone_store());
        const json blocked = json::parse(std::ifstream(handle_store_path("alice")), nullptr, false).value("blocked", json());
        QStringList out;
        for (const json& h : blocked) out << QString::fromStdString(h.get<std::string>());
        return out;
    };
    const QStringList blocked{"carol", "dave"}, contacts{"bob", "carol"};
    const List lists[] = {
        {CardBlocked, "No one is blocked.", "block", "unblock", "Pick a handle first.", "Unblocked carol",
         {{"carol", false, "Blocked carol", {"carol"}, ""},
          {"Dave", true, "Blocked dave", blocked, ""},
          {"CAROL", true, "Already blocked.", blocked, "CAROL"},
          {"alice", false, "That's you.", blocked, "alice"},
          {"", true, "Type a handle to block.", blocked, ""}}},
        {CardContacts, "No contacts yet.", "add", "remove", "Pick a contact first.", "Removed carol",
         {{"bob", false, "Added bob", {"bob"}, ""},
          {"Carol", true, "Added carol", contacts, ""},
          {"BOB", true, "Already in contacts.", contacts, "BOB"},
          {"  ", false, "Type a handle to add.", contacts, "  "},
          {"@", false, "error: enter a handle, paymail, or 1-address.", contacts, "@"}}},
    };
    for (const List& l : lists) {
        ASSERT_NO_FATAL_FAILURE(openKind(l.kind));
        EXPECT_TRUE(eventually([&] { return cardRows() == QStringList{l.empty}; }, 10)) << l.empty;
        for (const Typed& t : l.typed) {
            cardField()->clear();
            QTest::keyClicks(cardField(), t.text);
            if (t.enter) QTest::keyClick(cardField(), Qt::Key_Return);
            else ASSERT_NO_FATAL_FAILURE(clickCard(l.add));
            ASSERT_TRUE(eventually([&] { return cardRows() == t.rows && status() == t.status; }, 30))
                << "typed \"" << t.text << "\": rows " << cardRows().join(" | ") << ", status " << status();
            EXPECT_EQ(cardField()->text(), QString(t.left)) << "typed \"" << t.text << "\"";
        }
        const QStringList both = l.typed.back().rows;
        EXPECT_TRUE(l.kind != CardBlocked || stored() == both);
        ASSERT_NO_FATAL_FAILURE(clickCard(l.remove));
        EXPECT_EQ(status(), l.pickFirst);
        ASSERT_NO_FATAL_FAILURE(pick("carol", l.remove));
        const QString other = both[0] == "carol" ? both[1] : both[0];
        EXPECT_TRUE(eventually([&] { return cardRows() == QStringList{other} && status() == l.removed; }, 30))
            << cardRows().join(" | ") << ", " << status();
        EXPECT_TRUE(l.kind != CardBlocked || stored() == QStringList{other});
    }

    // Opening the card shown already refills it where it stands; Use puts the contact in the
    // handle field.
    const QPoint placed = openCard()->frameGeometry().topLeft() + QPoint(30, 20);
    openCard()->move(placed);
    ASSERT_NO_FATAL_FAILURE(click("contacts"));
    EXPECT_EQ(openCard()->frameGeometry().topLeft(), placed);
    EXPECT_TRUE(eventually([&] { return cardRows() == QStringList{"bob"}; }, 10)) << cardRows().join(" | ");
    ASSERT_NO_FATAL_FAILURE(pick("bob", "use"));
    EXPECT_EQ(handleField()->text(), "bob");
}

TEST_F(CardTest, AMessageLeftLightsTheLampAndIsPlayedExportedSavedAndDeleted) {
    ASSERT_NO_FATAL_FAILURE(connectAlice(true));
    ASSERT_NO_FATAL_FAILURE(click("lamp"));
    EXPECT_TRUE(lockPhone().state.boxes.answerphone);
    EXPECT_TRUE(eventually([this] { return status() == "Calls will divert to your answer-phone after three rings."; }, 5)) << status();
    EXPECT_FALSE(phoneFlags().lamp);

    // bob's eight seconds, as his phone sends what it recorded.
    fromBob(buildTapeEvent(newCallId(), Bytes(8 * kGsmBytesPerSecond, 0x55), 8));
    ASSERT_TRUE(eventually([] { return phoneFlags().lamp.load(); }, 10));
    EXPECT_TRUE(eventually([this] { return status() == "Message from bob."; }, 5)) << status();
    // The lamp blinks with a 1.1 s half-period: lit within a few seconds.
    EXPECT_TRUE(eventually([this] { return button("lamp")->lit(); }, 5));
    ASSERT_EQ(lockPhone().state.boxes.inbox.size(), 1u);
    const InboxMessage left = lockPhone().state.boxes.inbox.front();
    // A second message, from carol, to be saved and then deleted from the answer-phone only.
    InboxMessage other = left;
    std::tie(other.id, other.from, other.txid) = std::tuple("c0ffee00c0ffee00", "carol", "");
    lockPhone().state.boxes.inbox.push_back(other);

    // Opening the answer-phone puts the lamp out.
    ASSERT_NO_FATAL_FAILURE(openKind(CardAnswerPhone));
    EXPECT_FALSE(phoneFlags().lamp);
    EXPECT_FALSE(eventually([this] { return button("lamp")->lit(); }, 3)) << "the lamp lit again";
    EXPECT_EQ(cardButton("answerphone-toggle")->text(), "Answer-phone on");
    EXPECT_EQ(cardRows(), (QStringList{"from bob", "from carol"}));
    EXPECT_TRUE(rowDetail("from bob").endsWith("0:08")) << rowDetail("from bob");

    // Play, pause, resume and stop, as the buttons and the header's clock show them (that a pause
    // holds the clock is the sound tests' to prove).
    ASSERT_NO_FATAL_FAILURE(pick("from bob", "play"));
    // The speakers open on a worker; the button says so once they have.
    EXPECT_TRUE(eventually([this] { return cardButton("play")->text() == "Playing"; }, 10));
    ASSERT_TRUE(eventually([this] { return clock() >= 1; }, 10)) << status();
    for (const char* label : {"Resume", "Pause"}) {
        ASSERT_NO_FATAL_FAILURE(clickCard("pause"));
        EXPECT_TRUE(eventually([&] { return cardButton("pause")->text() == label; }, 10)) << label;
    }
    const int resumed = clock();
    EXPECT_TRUE(eventually([&] { return clock() > resumed; }, 5)) << "the clock stands still after Resume";
    ASSERT_NO_FATAL_FAILURE(clickCard("stop"));
    EXPECT_TRUE(eventually([this] { return cardButton("play")->text() == "Play"; }, 10));
    EXPECT_EQ(clock(), -1) << status();

    // Export: a WAV of the message's eight seconds as 8 kHz 16-bit samples (the header's form is
    // the WAV writer's, which the sound tests read back).
    const QString wav = QString::fromStdString(root_ + "/exported.wav");
    {
        auto answer = whenShown([](QWidget* w) { return w->objectName() == "export-dialog"; }, [&](QWidget* w) {
            auto* name = w->findChild<QLineEdit*>("fileNameEdit");
            ASSERT_NE(name, nullptr);
            name->setText(wav);
            static_cast<QDialog*>(w)->accept();  // as the Save button does
        });
        ASSERT_NO_FATAL_FAILURE(pick("from bob", "export"));
    }
    EXPECT_EQ(status(), "Message written to " + wav + ".");
    QFile file(wav);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    EXPECT_TRUE(bytes.startsWith("RIFF") && bytes.mid(8, 4) == "WAVE");
    EXPECT_EQ(bytes.size(), 44 + 8 * 16000);

    // Save keeps a copy, numbered; Delete takes a message off the answer-phone and leaves its
    // saved copy, and on the saved messages numbers the rest from 1 again.
    for (const char* from : {"from bob", "from carol"}) ASSERT_NO_FATAL_FAILURE(pick(from, "save"));
    EXPECT_EQ(status(), "Saved as message 2.");
    ASSERT_NO_FATAL_FAILURE(pick("from carol", "delete"));
    EXPECT_EQ(cardRows(), QStringList{"from bob"});
    ASSERT_NO_FATAL_FAILURE(clickCard("saved"));
    EXPECT_EQ(cardRows(), (QStringList{"from bob", "from carol"}));
    EXPECT_TRUE(rowDetail("from bob").startsWith("Message 1")) << rowDetail("from bob");
    ASSERT_NO_FATAL_FAILURE(pick("from bob", "delete"));
    EXPECT_EQ(cardRows(), QStringList{"from carol"});
    EXPECT_TRUE(rowDetail("from carol").startsWith("Message 1")) << rowDetail("from carol");
}

TEST_F(CardTest, CallHistoryFiltersByDirectionAndHidesTheCallChosen) {
    const QString kMade = "alice   to   bob", kTaken = "bob   to   alice", kMissedFrom = "Missed call from carol",
                  kMissedTo = "Missed call to dave", kMissedErin = "Missed call from erin";
    {
        auto g = lockPhone();
        g.state.ownHandle = "alice";
        g.state.boxes.calls = {callRecord("alice", "bob", 75, 900), callRecord("bob", "alice", 12, 600),
                               callRecord("carol", "alice", 0, 300), callRecord("alice", "dave", 0, 60)};
    }
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
    ASSERT_TRUE(eventually([&] { return cardRows().size() == 5; }, 5)) << cardRows().join(" | ");
    struct Step {
        const char* row;  // chosen first, when given
        const char* button;
        const char* status;
        QStringList rows;
        bool takenHidden;
    };
    for (const Step& st : {Step{nullptr, "hide", "Call hidden. Show all lists it.", {kMissedErin, kMissedTo, kMissedFrom, kMade}, true},
                           Step{nullptr, "show-all", "Hidden calls are listed.", QStringList{kMissedErin} + all, true},
                           Step{"bob   to   alice", "hide", "Call shown.", QStringList{kMissedErin} + all, false}}) {
        if (st.row) ASSERT_NO_FATAL_FAILURE(pick(st.row, st.button));
        else ASSERT_NO_FATAL_FAILURE(clickCard(st.button));
        EXPECT_EQ(status(), st.status);
        EXPECT_EQ(cardRows(), st.rows) << st.status;
        EXPECT_EQ(lockPhone().state.boxes.calls[1].hide, st.takenHidden) << st.status;
        EXPECT_FALSE(lockPhone().state.boxes.calls[4].hide) << st.status;
        EXPECT_TRUE(!st.rows.contains(kTaken) || rowDetail(kTaken).endsWith("hidden") == st.takenHidden) << st.status;
        EXPECT_FALSE(rowDetail(kMade).contains("hidden")) << st.status;
    }
}

TEST_F(CardTest, SettingsChosenOnTheCardAreShownAgainAfterARestartWhereANewerBuildIsOffered) {
    // The entry the startup button writes (proved by the autostart tests) stays in the test's folder.
    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1), 0);
    ASSERT_NO_FATAL_FAILURE(openKind(CardSettings));

    // Each click and the label it leaves.
    const std::pair<const char*, const char*> kSteps[] = {
        {"notify", "Notifications sound"}, {"notify", "Notifications vibrate"}, {"unit", "Show sats"}, {"volume", "Volume 150%"},
        {"volume", "Volume 200%"}, {"volume", "Volume 50%"}, {"delay", "Call delay 0.4 s (900 sats/min)"},
        {"delay", "Call delay 0.3 s (935 sats/min)"}, {"delay", "Call delay 0.2 s (1500 sats/min)"}, {"startup", "Remove from Startup"}};
    std::map<std::string, QString> shown{{"notify", "Notifications all"}, {"unit", "Show bsv"}, {"volume", "Volume 100%"},
                                         {"delay", "Call delay 0.8 s (525 sats/min)"}, {"startup", "Add to Startup"}};
    for (const auto& [name, label] : shown) EXPECT_EQ(cardButton(name.c_str())->text(), label) << name;
    for (const auto& [name, label] : kSteps) {
        ASSERT_NO_FATAL_FAILURE(clickCard(name));
        EXPECT_EQ(cardButton(name)->text(), label);
        shown[name] = label;
    }
    ASSERT_NO_FATAL_FAILURE(clickCard("theme2"));
    EXPECT_EQ(lockPhone().state.settings.theme, 2);
    EXPECT_TRUE(eventually([this] { return cardButton("output")->text() == "Output: Speakers"; }, 10)) << cardButton("output")->text();
    EXPECT_TRUE(onCard<QWidget>("mic-level") && onCard<QWidget>("mic-level")->isVisible());
    ASSERT_NO_FATAL_FAILURE(withMenu("output", [](QMenu* menu, QAction* file) {
        ASSERT_NE(file, nullptr);
        EXPECT_FALSE(file->isChecked());
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(file).center());
    }));
    EXPECT_TRUE(eventually([] { return lockPhone().state.settings.output == "file"; }, 10));
    // The microphone's menu, read from the sound system as the output's is.
    ASSERT_NO_FATAL_FAILURE(withMenu("input", [](QMenu*, QAction*) {}));
    // Where the user has put the card, as the window manager moves it.
    const QPoint placed(120, 60);
    openCard()->move(placed);
    ASSERT_EQ(openCard()->frameGeometry().topLeft(), placed);

    ASSERT_NO_FATAL_FAILURE(restartWindow());
    ASSERT_NO_FATAL_FAILURE(openKind(CardSettings));
    EXPECT_EQ(openCard()->frameGeometry().topLeft(), placed) << "the card's place was not kept when the program closed";
    for (const auto& [name, label] : shown) EXPECT_EQ(cardButton(name.c_str())->text(), label) << name;
    for (int theme = 0; theme < 4; ++theme)
        EXPECT_EQ(cardButton(("theme" + std::to_string(theme)).c_str())->lit(), theme == 2) << theme;
    bool chosen = false;
    ASSERT_NO_FATAL_FAILURE(withMenu("output", [&](QMenu*, QAction* file) { chosen = file && file->isChecked(); }));
    EXPECT_TRUE(chosen) << "the output chosen before the restart is not ticked";
    ASSERT_NO_FATAL_FAILURE(clickCard("startup"));
    EXPECT_EQ(cardButton("startup")->text(), "Add to Startup");

    // The update check, with the card open: asked only about a newer build, Yes opens its page.
    const QString page = QString::fromStdString(networkConfig().updateBase + "/dialo/");
    const QLabel* version = onCard<QLabel>("version");
    ASSERT_NE(version, nullptr);
    UrlCatcher browser;
    struct Answer {
        const char* published;  // on the update page
        int latest;             // in thousandths
        QMessageBox::StandardButton press;
        bool asked;
        QStringList opened;
    } const kAnswers[] = {{"0.002", 2, QMessageBox::Yes, false, {}}, {"0.003", 3, QMessageBox::No, true, {}},
                          {"0.004", 4, QMessageBox::Yes, true, {page}}};
    for (const Answer& a : kAnswers) {
        ASSERT_EQ(post("/devnet/settings", {{"published_version", a.published}}).status, 200);
        browser.opened.clear();
        QString asked;
        auto watch = whenShown([](QWidget* w) { return w->windowTitle() == "Dialo update"; }, [&](QWidget* w) {
            auto* box = static_cast<QMessageBox*>(w);
            asked = box->text();
            ASSERT_NE(box->button(a.press), nullptr);
            QTest::mouseClick(box->button(a.press), Qt::LeftButton);
        });
        runUpdateCheck();
        ASSERT_TRUE(eventually([&] { return window_->updateVersion() == a.latest; }, 10)) << a.published;
        EXPECT_EQ(asked.isEmpty(), !a.asked) << a.published;
        EXPECT_TRUE(!a.asked || (asked.contains("This build:  0.002\nLatest:      " + QString(a.published)) &&
                                 asked.contains(page))) << asked;
        EXPECT_EQ(browser.opened, a.opened) << a.published;
        EXPECT_EQ(version->text().contains("Update available"), a.latest > 2)
            << "the open Settings card after the check found " << a.published << ": " << version->text();
    }
}

}  // namespace
}  // namespace dialo::test

#include "cards_test.moc"
