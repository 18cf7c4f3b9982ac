// The cards driven as a user drives them, judged by the lists, header, store and files.
#include <QDesktopServices>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QRegularExpression>
#include <QUrl>
#include <fstream>
#include "app/update_check.h"
#include "audio/gsm.h"
#include "window_fixture.h"

namespace dialo::test {
// Takes the pages the phone asks the desktop to open, in place of a browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    UrlCatcher() { QDesktopServices::setUrlHandler("https", this, "open"); }
    ~UrlCatcher() override { QDesktopServices::unsetUrlHandler("https"); }
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
};
TEST_F(CardTest, HandlesAreBlockedOrAddedAsContactsByButtonOrEnterAndRemoved) {
    ASSERT_NO_FATAL_FAILURE(connectAlice(true));
    // A handle typed and sent with the button or Enter; the field is emptied only when it was taken.
    struct Typed {
        const char* text;
        bool enter;
        const char* status;
        QStringList rows;
        const char* left;
    };
    // The blocked are checked in alice's file, where her phone reads them after a restart.
    struct List {
        int kind;
        const char *add, *remove, *removed;
        std::vector<Typed> typed;
    };
    auto stored = [] {
        EXPECT_TRUE(flush_phone_store());
        QStringList out;
        for (const json& h : json::parse(std::ifstream(handle_store_path("alice")), nullptr, false).value("blocked", json()))
            out << QString::fromStdString(h.get<std::string>());
        return out;
    };
    const QStringList blocked{"carol", "dave"}, contacts{"bob", "carol"};
    const List lists[] = {
        {CardBlocked, "block", "unblock", "Unblocked carol",
         {{"carol", false, "Blocked carol", {"carol"}, ""}, {"Dave", true, "Blocked dave", blocked, ""},
          {"CAROL", true, "Already blocked.", blocked, "CAROL"}, {"alice", false, "That's you.", blocked, "alice"}}},
        {CardContacts, "add", "remove", "Removed carol",
         {{"bob", false, "Added bob", {"bob"}, ""}, {"Carol", true, "Added carol", contacts, ""},
          {"BOB", true, "Already in contacts.", contacts, "BOB"}}},
    };
    for (const List& l : lists) {
        ASSERT_NO_FATAL_FAILURE(openKind(l.kind));
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
        ASSERT_NO_FATAL_FAILURE(pick("carol", l.remove));
        const QStringList other{both[0] == "carol" ? both[1] : both[0]};
        EXPECT_TRUE(eventually([&] { return cardRows() == other && status() == l.removed; }, 30)) << cardRows().join(" | ");
        EXPECT_TRUE(l.kind != CardBlocked || stored() == other);
    }
    ASSERT_NO_FATAL_FAILURE(pick("bob", "use"));  // Use puts the contact in the handle field
    EXPECT_EQ(handleField()->text(), "bob");
}
TEST_F(CardTest, AMessageLeftLightsTheLampAndIsPlayedExportedSavedAndDeleted) {
    ASSERT_NO_FATAL_FAILURE(connectAlice(true));
    ASSERT_NO_FATAL_FAILURE(click("lamp"));
    EXPECT_TRUE(eventually([this] { return status() == "Calls will divert to your answer-phone after three rings."; }, 5)) << status();
    // bob's eight seconds, as his phone sends what it recorded; the lamp blinks until it is opened.
    fromBob(buildTapeEvent(newCallId(), Bytes(8 * kGsmBytesPerSecond, 0x55), 8));
    EXPECT_TRUE(eventually([this] { return status() == "Message from bob." && button("lamp")->lit(); }, 10)) << status();
    ASSERT_EQ(lockPhone().state.boxes.inbox.size(), 1u);
    InboxMessage other = lockPhone().state.boxes.inbox.front();  // carol's, to be saved and deleted
    std::tie(other.id, other.from, other.txid) = std::tuple("c0ffee00c0ffee00", "carol", "");
    lockPhone().state.boxes.inbox.push_back(other);
    ASSERT_NO_FATAL_FAILURE(openKind(CardAnswerPhone));
    EXPECT_FALSE(eventually([this] { return phoneFlags().lamp || button("lamp")->lit(); }, 3)) << "the lamp lit again";
    EXPECT_EQ(cardRows(), (QStringList{"from bob", "from carol"}));
    EXPECT_TRUE(rowDetail("from bob").endsWith("0:08")) << rowDetail("from bob");
    ASSERT_NO_FATAL_FAILURE(pick("from bob", "play"));
    EXPECT_TRUE(eventually([this] { return cardButton("play")->text() == "Playing" && clock() >= 1; }, 10)) << status();
    ASSERT_NO_FATAL_FAILURE(clickCard("stop"));
    EXPECT_TRUE(eventually([this] { return cardButton("play")->text() == "Play" && clock() == -1; }, 10)) << status();
    const QString wav = QString::fromStdString(root_ + "/exported.wav");
    {
        auto answer = whenShown([](QWidget* w) { return w->objectName() == "export-dialog"; }, [&](QWidget* w) {
            w->findChild<QLineEdit*>("fileNameEdit")->setText(wav);
            static_cast<QDialog*>(w)->accept();  // as the Save button does
        });
        ASSERT_NO_FATAL_FAILURE(pick("from bob", "export"));
    }
    EXPECT_EQ(status(), "Message written to " + wav + ".");
    QFile file(wav);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    EXPECT_TRUE(bytes.startsWith("RIFF") && bytes.size() == 44 + 8 * 16000) << bytes.size();
    // Save keeps a numbered copy; Delete leaves it; on the saved messages the rest are numbered from 1 again.
    for (const char* from : {"from bob", "from carol"}) ASSERT_NO_FATAL_FAILURE(pick(from, "save"));
    EXPECT_EQ(status(), "Saved as message 2.");
    ASSERT_NO_FATAL_FAILURE(pick("from carol", "delete"));
    EXPECT_EQ(cardRows(), QStringList{"from bob"});
    ASSERT_NO_FATAL_FAILURE(clickCard("saved"));
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
    // Each filter's button is lit while it holds; a second click lifts it.
    for (const auto& [name, rows, lit] : {std::tuple{"calls-to", QStringList{kMissedTo, kMade}, 2}, {"calls-to", all, 0},
                                          {"calls-from", QStringList{kMissedFrom, kTaken}, 1}, {"calls-from", all, 0}}) {
        ASSERT_NO_FATAL_FAILURE(clickCard(name));
        EXPECT_EQ(cardRows(), rows) << "after " << name;
        EXPECT_EQ(cardButton("calls-to")->lit() * 2 + cardButton("calls-from")->lit(), lit) << name;
    }
    ASSERT_NO_FATAL_FAILURE(selectRow(kTaken));
    // A call missed meanwhile moves every row down; the choice stays with the call chosen.
    lockPhone().state.boxes.calls.push_back(callRecord("erin", "alice", 0, 5));
    postUi(UiMessage::CardsRefresh);
    ASSERT_TRUE(eventually([&] { return cardRows().size() == 5; }, 5)) << cardRows().join(" | ");
    for (const auto& [row, name, said, rows, hidden] :
         {std::tuple<const char*, const char*, const char*, QStringList, bool>{nullptr, "hide", "Call hidden. Show all lists it.", {kMissedErin, kMissedTo, kMissedFrom, kMade}, true},
          {nullptr, "show-all", "Hidden calls are listed.", QStringList{kMissedErin} + all, true},
          {"bob   to   alice", "hide", "Call shown.", QStringList{kMissedErin} + all, false}}) {
        if (row) ASSERT_NO_FATAL_FAILURE(pick(row, name));
        else ASSERT_NO_FATAL_FAILURE(clickCard(name));
        EXPECT_EQ(status(), said);
        EXPECT_EQ(cardRows(), rows) << said;
        EXPECT_EQ(lockPhone().state.boxes.calls[1].hide, hidden) << said;
        EXPECT_FALSE(lockPhone().state.boxes.calls[4].hide) << said;
        EXPECT_TRUE(!rows.contains(kTaken) || rowDetail(kTaken).endsWith("hidden") == hidden) << said;
    }
}
TEST_F(CardTest, SettingsChosenOnTheCardAreShownAgainAfterARestartWhereANewerBuildIsOffered) {
    // The entry the startup button writes (proved by the autostart tests) stays in the test's folder.
    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1), 0);
    ASSERT_NO_FATAL_FAILURE(openKind(CardSettings));
    const std::pair<const char*, const char*> kSteps[] = {  // each click and the label it leaves
        {"notify", "Notifications sound"}, {"unit", "Show sats"}, {"volume", "Volume 150%"},
        {"delay", "Call delay 0.4 s (900 sats/min)"}, {"startup", "Remove from Startup"}};
    for (const auto& [name, label] : kSteps) {
        ASSERT_NO_FATAL_FAILURE(clickCard(name));
        EXPECT_EQ(cardButton(name)->text(), label);
    }
    ASSERT_NO_FATAL_FAILURE(clickCard("theme2"));
    ASSERT_NO_FATAL_FAILURE(restartWindow());
    ASSERT_NO_FATAL_FAILURE(openKind(CardSettings));
    for (const auto& [name, label] : kSteps) EXPECT_EQ(cardButton(name)->text(), label) << name;
    for (int theme = 0; theme < 4; ++theme) EXPECT_EQ(cardButton(("theme" + std::to_string(theme)).c_str())->lit(), theme == 2) << theme;
    // The update check, with the card open: asked only about a newer build, Yes opens its page.
    const QString page = QString::fromStdString(networkConfig().updateBase + "/dialo/");
    UrlCatcher browser;
    for (const auto& [published, latest, press, opened] : {std::tuple{"0.002", 2, QMessageBox::Yes, QStringList{}},
                                                          {"0.003", 3, QMessageBox::No, QStringList{}}, {"0.004", 4, QMessageBox::Yes, QStringList{page}}}) {
        ASSERT_EQ(post("/devnet/settings", {{"published_version", published}}).status, 200);
        browser.opened.clear();
        QString asked;
        auto watch = whenShown([](QWidget* w) { return w->windowTitle() == "Dialo update"; }, [&](QWidget* w) {
            asked = static_cast<QMessageBox*>(w)->text();
            QTest::mouseClick(static_cast<QMessageBox*>(w)->button(press), Qt::LeftButton);
        });
        runUpdateCheck();
        ASSERT_TRUE(eventually([&] { return window_->updateVersion() == latest; }, 10)) << published;
        EXPECT_EQ(asked.isEmpty(), latest == 2) << published;
        EXPECT_TRUE(latest == 2 || (asked.contains("This build:  0.002\nLatest:      " + QString(published)) && asked.contains(page))) << asked;
        EXPECT_EQ(browser.opened, opened) << published;
        EXPECT_EQ(onCard<QLabel>("version")->text().contains("Update available"), latest > 2) << published;
    }
}
}  // namespace
}  // namespace dialo::test

#include "cards_test.moc"
