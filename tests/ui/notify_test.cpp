// Incoming-call notifications on a session bus and notification service of the test's own.
#include <QBuffer>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QImage>
#include <QTemporaryDir>
#include <array>
#include <set>
#include "ui/avatar.h"
#include "ui/call_notifier.h"
#include "window_fixture.h"

namespace dialo::test {
// Its own connection, so calls pass the bus daemon as a desktop's do; like some desktops', no close after an action.
class NotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Shown {
        uint id;
        QString appName, summary, body;
        QStringList actions;
        QVariantMap hints;
        int expireTimeout;
        bool closedByClient = false;
    };
    explicit NotificationServer(const QString& address) : bus_(QDBusConnection::connectToBus(address, kName)) {
        ready = bus_.registerService("org.freedesktop.Notifications") &&
                bus_.registerObject("/org/freedesktop/Notifications", this, QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals);
    }
    ~NotificationServer() override { QDBusConnection::disconnectFromBus(kName); }  // its name goes too
    void invoke(uint id, const QString& action) { Q_EMIT ActionInvoked(id, action); }
    bool ready = false;
    std::vector<Shown> shown;
public Q_SLOTS:
    uint Notify(const QString& app, uint replaces, const QString&, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap& hints, int timeout) {
        shown.push_back({replaces != 0 ? replaces : uint(shown.size() + 1), app, summary, body, actions, hints, timeout});
        return shown.back().id;
    }
    void CloseNotification(uint id) {
        for (Shown& n : shown)
            if (n.id == id && !std::exchange(n.closedByClient, true)) Q_EMIT NotificationClosed(id, 3);  // by CloseNotification
    }
    QStringList GetCapabilities() { return {"actions", "body", "persistence"}; }
Q_SIGNALS:
    void ActionInvoked(uint id, const QString& action_key);
    void NotificationClosed(uint id, uint reason);
private:
    static constexpr const char* kName = "dialo-test-notification-server";
    QDBusConnection bus_;
};
namespace {
// Started before anything opens the session bus and starting no services, so only the test's service answers.
QString testBus() {
    static QTemporaryDir dir;
    static QProcess daemon;
    static QString address;
    if (!address.isEmpty()) return address;
    QFile config(dir.filePath("session.conf"));
    EXPECT_TRUE(config.open(QIODevice::WriteOnly));
    config.write("<busconfig><type>session</type><listen>unix:path=" + dir.filePath("bus").toUtf8() +
                 "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\"/>"
                 "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>");
    config.close();
    daemon.start("dbus-daemon", {"--config-file=" + config.fileName(), "--print-address", "--nofork", "--nopidfile"});
    qAddPostRoutine([] { daemon.kill(), daemon.waitForFinished(); });
    EXPECT_TRUE(QTest::qWaitFor([] { return daemon.canReadLine(); }, 20000)) << "dbus-daemon printed no address";
    address = QString::fromUtf8(daemon.readLine()).trimmed();
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8().constData(), 1);
    return address;
}
class NotifyTest : public WindowTest {
protected:
    void SetUp() override {
        ASSERT_FALSE(testBus().isEmpty());
        WindowTest::SetUp();
        if (HasFatalFailure()) return;
        notifier_ = std::make_unique<CallNotifier>(window_.get());
        server_ = std::make_unique<NotificationServer>(testBus());
        ASSERT_TRUE(notifier_->onBus() && server_->ready);
    }
    void TearDown() override {
        notifier_.reset();
        WindowTest::TearDown();
        server_.reset();
    }
    std::unique_ptr<NotificationServer> server_;
    std::unique_ptr<CallNotifier> notifier_;
};
TEST_F(NotifyTest, AnIncomingCallRingsAndIsAnsweredOrDeclinedInTheWindowOrItsNotification) {
    ASSERT_NO_FATAL_FAILURE(connectAlice(true));
    PhoneButton* call = button("call");
    const QRect rest = call->geometry();
    // `act`: the notification's action, or "caller" (bob hangs up); `notify`: the setting (3 off).
    struct Ring {
        int notify;
        QString act;
        CallState after;
    } const rings[] = {{0, "answer", CallState::Talking}, {0, "decline", CallState::Idle}, {3, "caller", CallState::Idle}};
    size_t notified = 0;
    for (const Ring& r : rings) {
        SCOPED_TRACE(r.act.toStdString());
        lockPhone().state.settings.notify = r.notify;
        const std::string id = newCallId();
        fromBob(buildEvent(kInvite, id));
        ASSERT_TRUE(eventually([] { return aliceState() == CallState::Incoming; }, 30)) << lockPhone().state.statusText;
        EXPECT_TRUE(eventually([&] { return call->text() == "Answer"; }, 5));
        EXPECT_EQ(window_->headerLines().main, "bob is calling");
        // Unless notifications are off, Answer pulses through several sizes about its centre.
        std::set<int> widths;
        EXPECT_EQ(eventually([&] { return widths.insert(call->width()), widths.size() >= 4; }, r.notify == 3 ? 1 : 10), r.notify != 3);
        const bool shows = r.notify != 3;
        if (shows) {
            ASSERT_TRUE(eventually([&] { return server_->shown.size() > notified; }, 10)) << "not notified";
            const NotificationServer::Shown& n = server_->shown[notified];
            EXPECT_TRUE(n.appName == "Dialo" && (n.summary.contains("bob") || n.body.contains("bob"))) << n.summary;
            // Critical, as a byte as the interface says; never expiring on its own.
            EXPECT_EQ(n.hints.value("urgency").metaType().id(), QMetaType::UChar);
            EXPECT_EQ(n.hints.value("urgency").toInt(), 2);
            EXPECT_EQ(n.expireTimeout, 0);
            EXPECT_EQ(n.actions, (QStringList{"answer", "Answer", "decline", "Decline"}));
            server_->invoke(n.id, r.act);
        } else {
            fromBob(buildEvent(kHangup, id));
        }
        ASSERT_TRUE(eventually([&] { return aliceState() == r.after; }, 60)) << lockPhone().state.statusText;
        if (shows) {
            EXPECT_TRUE(eventually([&] { return server_->shown[notified].closedByClient; }, 10)) << "the notification outlived the ringing";
            ++notified;
        }
        // Everything the notifier sent before now has reached the service: nothing more.
        QDBusPendingCallWatcher barrier(QDBusConnection::sessionBus().asyncCall(QDBusMessage::createMethodCall(
            "org.freedesktop.Notifications", "/org/freedesktop/Notifications", "org.freedesktop.Notifications", "GetCapabilities")));
        ASSERT_TRUE(eventually([&] { return barrier.isFinished(); }, 10));
        EXPECT_EQ(server_->shown.size(), notified);
        EXPECT_TRUE(eventually([&] { return call->geometry() == rest && call->text() == "Call"; }, 5));
        if (r.after == CallState::Talking) {
            ASSERT_NO_FATAL_FAILURE(click("hangup"));
            ASSERT_TRUE(eventually([] { return aliceState() == CallState::Idle; }, 60));
        }
    }
}
Bytes encoded(int w, int h, QColor colour, const char* format) {
    QImage image(w, h, QImage::Format_ARGB32);
    image.fill(colour);
    QByteArray data;
    QBuffer buffer(&data);
    EXPECT_TRUE(buffer.open(QIODevice::WriteOnly) && image.save(&buffer, format));
    return Bytes(data.begin(), data.end());
}
Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
TEST(CallerPicture, FitsIn128AndTravelsAsRgbaRowsUnlessItIsNoPngOrJpegOrOutsideItsSizes) {
    NotificationServer server(testBus());
    ASSERT_TRUE(server.ready);
    const QDBusConnection caller = QDBusConnection::connectToBus(testBus(), "caller");
    // A picture followed by padding, which the decoder skips after the picture's end.
    Bytes padded = encoded(20, 20, Qt::green, "PNG"), tooLong = padded;
    padded.resize((2u << 20) - 1, 0), tooLong.resize(2u << 20, 0);
    std::vector<std::tuple<std::string, Bytes, QSize>> rows{  // an invalid size: no picture
        {"a large picture is scaled to fit in 128, keeping its shape", encoded(300, 150, QColor(200, 40, 10), "PNG"), {128, 64}},
        {"a JPEG is read too", encoded(40, 30, Qt::blue, "JPEG"), {40, 30}},
        {"just under 2 MiB", padded, {20, 20}},
        {"2 MiB", tooLong, {}},
        {"bytes that are no picture", Bytes(500, 0x5a), {}},
        // Any other format gives none, even one Qt decodes.
        {"BMP", encoded(20, 20, Qt::red, "BMP"), {}},
        {"SVG", text(R"(<svg xmlns="http://www.w3.org/2000/svg" width="20" height="20"><rect width="20" height="20"/></svg>)"), {}}};
    for (const auto& [what, bytes, size] : rows) {
        const QImage picture = avatarPicture(bytes);
        EXPECT_EQ(picture.isNull() ? QSize() : picture.size(), size) << what;
        QDBusPendingCallWatcher sent(caller.asyncCall(incomingCallNotification("bob", bytes)));
        ASSERT_TRUE(QTest::qWaitFor([&] { return sent.isFinished(); }, 10000));
        ASSERT_FALSE(sent.isError()) << sent.error().message().toStdString();
        const QVariantMap& hints = server.shown.back().hints;
        ASSERT_EQ(hints.contains("image-data"), size.isValid()) << what;
        if (!size.isValid()) continue;
        const QDBusArgument image = hints.value("image-data").value<QDBusArgument>();
        EXPECT_EQ(image.currentSignature(), "(iiibiiay)");
        int width = 0, height = 0, rowBytes = 0, bits = 0, channels = 0;
        bool alpha = false;
        QByteArray pixels;
        image.beginStructure();
        image >> width >> height >> rowBytes >> alpha >> bits >> channels >> pixels;
        image.endStructure();
        EXPECT_EQ((std::array{width, height, rowBytes, bits, channels, int(alpha), int(pixels.size())}),
                  (std::array{size.width(), size.height(), size.width() * 4, 8, 4, 1, size.width() * 4 * size.height()})) << what;
        if (pixels.size() != rowBytes * height) continue;
        const int at = height / 2 * rowBytes + width / 2 * 4;  // the middle pixel: red, green, blue, alpha
        EXPECT_EQ(QColor(uchar(pixels[at]), uchar(pixels[at + 1]), uchar(pixels[at + 2]), uchar(pixels[at + 3])),
                  avatarPicture(std::get<1>(rows[0])) == picture ? QColor(200, 40, 10) : picture.pixelColor(width / 2, height / 2)) << what;
    }
    QDBusConnection::disconnectFromBus("caller");
}
}  // namespace
}  // namespace dialo::test

#include "notify_test.moc"
