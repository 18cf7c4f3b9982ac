#include "window_fixture.h"

#include <stdlib.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QTimer>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "app/startup.h"
#include "app/workers.h"
#include "audio/playback.h"
#include "audio/wav.h"
#include "base/clock.h"
#include "base/config.h"
#include "store/handle_switch.h"
#include "store/phone_store.h"
#include "store/saver.h"
#include "wallet/binding.h"
#include "wallet/coins.h"
#include "wallet/contacts.h"
#include "wallet/wallet_file.h"

namespace dialo::test {
namespace {

constexpr int64_t kFunding = 200000;  // satoshis per wallet, as the end-to-end tests give
constexpr int kReadyCoins = 120;      // what a connected phone splits its coin into

std::string text(const json& j, const char* key) {
    return j.is_object() && j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : std::string();
}

// A voiced buzz with the rise and fall of syllables stands in for speech: the answer-phone
// keeps only seconds that are not silent, and no line sits at 440 or 480 Hz, which it would
// take for the ring-back.
std::vector<int16_t> voice(int seconds) {
    std::vector<int16_t> out(size_t(seconds) * 8000);
    double phase = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        const double t = double(i) / 8000;
        phase += 2 * M_PI * (130 + 15 * std::sin(2 * M_PI * 0.5 * t)) / 8000;
        double s = 0;
        for (int k = 1; k <= 8; ++k) s += std::sin(k * phase) / k;
        out[i] = int16_t(5000 * (0.6 + 0.4 * std::sin(2 * M_PI * 3 * t)) * s);
    }
    return out;
}

}  // namespace

void WindowTest::SetUp() {
    DevnetTest::SetUp();
    options.unspentPageSize = 100;
    options.blockIntervalSeconds = 1;  // a block a second confirms the phones' coin splits
    start();
    if (HasFatalFailure()) return;
    char pattern[] = "/tmp/dialo-ui-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    aliceDir_ = root_ + "/alice";
    bobDir_ = root_ + "/bob";

    configure(aliceDir_, {{"backend", "file"}});  // a silent microphone, a loudspeaker into nothing
    aliceWallet_ = makeWallet(aliceDir_, "alice", kFunding);
    // A second wallet keeps start-up from binding the only one: alice must connect.
    makeWallet(aliceDir_, "", 0);
    ASSERT_FALSE(HasFailure());
    watch_ = std::make_unique<Child>(
        std::vector<std::string>{DIALO_VAULTRA, "--json", "watch", "--approve-all", aliceWallet_},
                                std::map<std::string, std::string>{{"LOCALAPPDATA", aliceDir_}}, root_ + "/watch.err");
    ASSERT_TRUE(eventually(
        [this] {
            for (const std::string& line : watch_->lines())
                if (line.find("\"watching\"") != std::string::npos) return true;
            return false;
        },
        20))
        << watch_->stderrText();

    ASSERT_EQ(::setenv("LOCALAPPDATA", aliceDir_.c_str(), 1), 0);
    ASSERT_TRUE(startCore());
    coreStarted_ = true;
    window_ = std::make_unique<MainWindow>();  // routes the workers' messages to itself
    installCards(*window_);
    ASSERT_TRUE(startWorkers());
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    for (const char* name :
         {"connect", "call", "hangup", "mute", "contacts", "answerphone", "lamp", "settings", "close"})
        ASSERT_NE(button(name), nullptr) << "no button named " << name;
    ASSERT_NE(handleField(), nullptr);
}

void WindowTest::TearDown() {
    if (window_) {
        window_->close();
        window_.reset();
    }
    if (coreStarted_) shutdownCore();
    bob_.reset();
    watch_.reset();
    DevnetTest::TearDown();
    std::error_code ec;
    if (!root_.empty()) std::filesystem::remove_all(root_, ec);
}

void WindowTest::configure(const std::string& dir, const json& audio) {
    const std::string folder = dir + "/Orvane/dialo";
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/phone.json") << json{{"network", devnet.networkJson()}, {"audio", audio}}.dump(2);
}

std::string WindowTest::makeWallet(const std::string& dir, const std::string& handle, int64_t sats) {
    std::vector<std::string> argv{DIALO_VAULTRA, "--json", "create"};
    if (!handle.empty()) argv.insert(argv.end(), {"--handle", handle});
    std::string out;
    const int code = runToEnd(argv, {{"LOCALAPPDATA", dir}}, root_ + "/vaultra.err", out);
    const json made = json::parse(out, nullptr, false);
    EXPECT_EQ(code, 0) << out;
    EXPECT_FALSE(text(made, "id").empty()) << out;
    if (sats > 0) {
        const devnet::test::Reply paid =
            post("/devnet/fund", {{"address", text(made, "address")}, {"sats", sats}, {"confirm", true}});
        EXPECT_EQ(paid.status, 200) << paid.body;
    }
    return text(made, "id");
}

void WindowTest::connectAlice() {
    click("connect");
    ASSERT_TRUE(eventually([this] { return button("connect")->text() == "Disconnect"; }, 90))
        << "status: " << lockPhone().state.statusText;
    ASSERT_TRUE(eventually([this] { return window_->headerLines().connection.contains("alice"); }, 60))
        << "connection line: " << window_->headerLines().connection.toStdString();
    // What a test puts in her lists must not be replaced by the loading of her file.
    ASSERT_TRUE(eventually([] { return current_store_key() == "alice"; }, 60));
}

void WindowTest::awaitAliceCoins() {
    ASSERT_TRUE(eventually([] { return count_ready_coins() >= kReadyCoins; }, 150))
        << "ready coins: " << count_ready_coins();
}

void WindowTest::startBob(bool speaks, bool echo) {
    json audio{{"backend", "file"}};
    if (speaks) {
        const std::string wav = root_ + "/voice.wav";
        ASSERT_TRUE(writeWav8k(wav, voice(90)));
        audio["input_wav"] = wav;
    }
    configure(bobDir_, audio);
    bobHandle_ = echo ? "echo" : "bob";
    makeWallet(bobDir_, bobHandle_, kFunding);
    ASSERT_FALSE(HasFailure());
    std::vector<std::string> argv{DIALO_PHONE};
    if (echo) argv.push_back("--echo");
    bob_ = std::make_unique<Child>(argv,
                                   std::map<std::string, std::string>{{"LOCALAPPDATA", bobDir_}}, root_ + "/bob.err");
    ASSERT_TRUE(bobSays([](const json& j) { return text(j, "event") == "ready"; }, 30, "ready"));
}

bool WindowTest::published(const std::string& handle) {
    const devnet::test::Reply r = get("/api/bsvalias/id/" + handle + "@" + options.serviceDomain);
    return r.status == 200 && !text(r.j, "pubkey").empty();
}

void WindowTest::awaitCallsReady() {
    ASSERT_TRUE(bobSays([this](const json& j) { return j.value("connected", false) && text(j, "ownHandle") == bobHandle_; },
                        60, "connected as " + bobHandle_));
    // Both split their coin once connected; the devnet's blocks then make the pieces ready.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(150);
    int bobReady = 0, aliceReady = 0;
    while (bobReady < kReadyCoins || aliceReady < kReadyCoins) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline)
            << "ready coins after 150 s: alice " << aliceReady << ", bob " << bobReady;
        if (bobReady < kReadyCoins) {
            ASSERT_TRUE(bob_->send("coins"));
            json coins;
            ASSERT_TRUE(bobSays([](const json& j) { return text(j, "event") == "coins"; }, 60, "coins", &coins));
            bobReady = coins.value("ready", 0);
        }
        if (aliceReady < kReadyCoins) aliceReady = count_ready_coins();
        if (bobReady < kReadyCoins || aliceReady < kReadyCoins) QTest::qWait(500);
    }
    ASSERT_TRUE(eventually([this] { return published("alice") && published(bobHandle_); }, 60));
}

bool WindowTest::bobSays(const std::function<bool(const json&)>& match, int seconds, const std::string& what,
                         json* found) {
    size_t next = bobSeen_;  // lines before it have been read in this wait
    const bool seen = eventually(
        [&] {
            for (const std::string& line : bob_->lines(next)) {
                const json j = json::parse(line, nullptr, false);
                ++next;
                if (j.is_object() && match(j)) {
                    if (found) *found = j;
                    bobSeen_ = next;
                    return true;
                }
            }
            return false;
        },
        seconds);
    if (!seen) {
        std::string last;  // without the wallet's bookkeeping records
        for (const std::string& line : bob_->lines())
            if (line.find("\"event\":\"wallet") == std::string::npos) last += line + "\n";
        ADD_FAILURE() << "bob: no line showing " << what << " within " << seconds << " s; his output ends:\n"
                      << last.substr(last.size() > 4000 ? last.size() - 4000 : 0) << "his errors:\n"
                      << bob_->stderrText();
    }
    return seen;
}

CallRecord callRecord(const char* from, const char* to, int32_t secs, int64_t agoSeconds) {
    CallRecord c;
    c.from = from;
    c.to = to;
    c.secs = secs;
    c.missed = secs == 0;
    c.ts = nowSeconds() - agoSeconds;
    return c;
}

void WindowTest::bobLeavesMessage(int seconds) {
    ASSERT_TRUE(bob_->send("call alice"));
    ASSERT_TRUE(bobIs("LeavingMessage", 90));
    const std::string recorded = "Recording  " + std::to_string(seconds) + " / 60";
    ASSERT_TRUE(bobSays([&](const json& j) { return j.value("statusText", json()) == recorded; }, 60 + seconds,
                        recorded));
    ASSERT_TRUE(bob_->send("hangup"));
    ASSERT_TRUE(bobSays([](const json& j) { return j.value("statusText", json()) == "Message left for alice."; }, 90,
                        "the message left"));
}

void WindowTest::openKind(int kind) {
    // The main window's button for the card, then the card's own button, if any, leading on.
    struct Path {
        const char* main;
        const char* onCard;
    };
    static const Path kPaths[] = {{nullptr, nullptr},         {"contacts", nullptr},    {"answerphone", nullptr},
                                  {"answerphone", "saved"},   {"settings", nullptr},    {"answerphone", "history"},
                                  {"settings", "fees"},       {"settings", "blocked"}};
    ASSERT_TRUE(kind >= 1 && kind <= kCardKinds) << kind;
    ASSERT_NO_FATAL_FAILURE(click(kPaths[kind].main));
    if (kPaths[kind].onCard) {
        ASSERT_NO_FATAL_FAILURE(clickCard(kPaths[kind].onCard));
    }
    ASSERT_NE(openCard(), nullptr);
    ASSERT_EQ(openCard()->kind(), kind);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(openCard()));
}

QStringList WindowTest::cardRows() const {
    QStringList rows;
    if (const CardWindow* card = openCard())
        if (const auto* list = card->findChild<QListWidget*>("list"))
            for (int i = 0; i < list->count(); ++i) rows << list->item(i)->text();
    return rows;
}

QString WindowTest::rowDetail(const QString& title) const {
    const auto* list = openCard() ? openCard()->findChild<QListWidget*>("list") : nullptr;
    const QList<QListWidgetItem*> found = list ? list->findItems(title, Qt::MatchExactly) : QList<QListWidgetItem*>();
    return found.isEmpty() ? QString() : found.front()->data(kRowDetail).toString();
}

void WindowTest::selectRow(const QString& title) {
    auto* list = openCard() ? openCard()->findChild<QListWidget*>("list") : nullptr;
    ASSERT_NE(list, nullptr) << "no card list";
    const QList<QListWidgetItem*> found = list->findItems(title, Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1) << "rows titled " << title.toStdString() << " in "
                               << cardRows().join(" | ").toStdString();
    list->scrollToItem(found.front());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(found.front()).center());
    ASSERT_TRUE(found.front()->isSelected()) << title.toStdString();
}

std::unique_ptr<QObject> WindowTest::whenShown(std::function<bool(QWidget*)> match, std::function<void(QWidget*)> act,
                                               int seconds) {
    auto watch = std::make_unique<QTimer>();
    QTimer* timer = watch.get();
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    QObject::connect(timer, &QTimer::timeout, timer, [=] {
        for (QWidget* shown : {QApplication::activePopupWidget(), QApplication::activeModalWidget()}) {
            if (shown && shown->isVisible() && match(shown)) {
                timer->stop();
                act(shown);
                return;
            }
        }
        if (started->elapsed() > seconds * 1000LL) {
            timer->stop();
            ADD_FAILURE() << "no dialog or menu of the kind awaited was shown within " << seconds << " s";
            if (QWidget* up = QApplication::activePopupWidget()) up->close();
            if (QWidget* up = QApplication::activeModalWidget()) up->close();
        }
    });
    timer->start(20);
    return watch;
}

void WindowTest::restartWindow() {
    window_->close();
    window_.reset();  // the card is the window's child and goes with it
    ASSERT_EQ(openCard(), nullptr);
    ASSERT_TRUE(flush_phone_store());  // what the window saved, as a restart finds it
    lockPhone().state.settings = PhoneSettings{};
    phoneFlags().volume = PhoneFlags().volume.load();
    (void)setChunkMs(kDefaultChunkMs);
    load_settings();
    const std::string output = lockPhone().state.settings.output;
    setOutputId(output);  // as start-up does when it opens the sound
    window_ = std::make_unique<MainWindow>();
    installCards(*window_);
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
}

std::vector<std::string> WindowTest::walletContacts() const {
    json doc;
    if (!read_wallet_document(wallet_dir_path(aliceWallet_) + "/wallet.json", doc)) return {};
    std::vector<std::string> out;
    for (const Contact& c : contacts_from_document(doc)) out.push_back(c.dest);
    wipe_wallet_document(doc);
    return out;
}

bool WindowTest::bobIs(const char* state, int seconds) {
    return bobSays([state](const json& j) { return text(j, "callState") == state; }, seconds,
                   std::string("callState ") + state);
}

}  // namespace dialo::test
