// Desktop notifications of incoming calls, on a D-Bus session bus the test starts itself, with a
// notification service of the test's own on it, and bob, a real dialo-phone, calling alice.

#include <QBuffer>
#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusArgument>
#include <QImage>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "notification_server.h"
#include "private_bus.h"
#include "ui/avatar.h"
#include "ui/call_notifier.h"
#include "window_fixture.h"

namespace dialo::test {
namespace {

const QStringList kActions{"answer", "Answer", "decline", "Decline"};

QString busId(const QDBusConnection& bus) {
    const QDBusMessage reply = bus.call(
        QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId"));
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() ? reply.arguments().first().toString()
                                                                                     : QString();
}

class NotifyTest : public WindowTest {
protected:
    void SetUp() override {
        // Before anything in the process opens the session bus, so that it can only be this one.
        bus_ = std::make_unique<PrivateBus>();
        ASSERT_FALSE(bus_->address().empty()) << bus_->error();
        ASSERT_TRUE(bus_->becomeSessionBus());
        WindowTest::SetUp();
        if (HasFatalFailure()) return;
        notifier_ = std::make_unique<CallNotifier>(window_.get());
        ASSERT_TRUE(notifier_->onBus());
        // The process's session bus is the test's daemon, never the user's.
        const QDBusConnection probe = QDBusConnection::connectToBus(QString::fromStdString(bus_->address()), "probe");
        ASSERT_FALSE(busId(probe).isEmpty());
        ASSERT_EQ(busId(QDBusConnection::sessionBus()), busId(probe));
        QDBusConnection::disconnectFromBus("probe");
    }
    void TearDown() override {
        notifier_.reset();
        WindowTest::TearDown();
        server_.reset();
        bus_.reset();
    }

    void startServer() {
        server_ = std::make_unique<NotificationServer>(QString::fromStdString(bus_->address()));
        ASSERT_TRUE(server_->ready());
    }

    void readyForCalls() {
        ASSERT_NO_FATAL_FAILURE(startBob(false));
        ASSERT_NO_FATAL_FAILURE(connectAlice());
        ASSERT_NO_FATAL_FAILURE(awaitCallsReady());
    }

    /// bob calls alice; true once her phone rings.
    bool bobCallsAlice() {
        return bob_->send("call alice") && eventually([] { return aliceState() == CallState::Incoming; }, 60);
    }

    /// The `n`th notification shown (from 0), once the service has it; a failure after `seconds`.
    bool awaitShown(size_t n, int seconds) {
        const bool ok = eventually([&] { return server_->shown().size() > n; }, seconds);
        if (!ok) ADD_FAILURE() << "no notification " << n << " within " << seconds << " s";
        return ok;
    }

    bool closedByDialo(size_t n) const { return server_->shown().at(n).closedByClient; }

    /// Every message the window had been posted so far is handled (the notifier sees them
    /// first), and everything the notifier sent on the bus before now has reached the service.
    void settle() {
        QCoreApplication::sendPostedEvents(window_.get());
        QDBusPendingCallWatcher barrier(QDBusConnection::sessionBus().asyncCall(QDBusMessage::createMethodCall(
            "org.freedesktop.Notifications", "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
            "GetCapabilities")));
        ASSERT_TRUE(eventually([&] { return barrier.isFinished(); }, 10));
        ASSERT_FALSE(barrier.isError()) << barrier.error().message().toStdString();
    }

    void hangUpBoth() {
        click("hangup");
        EXPECT_TRUE(eventually([] { return aliceState() == CallState::Idle; }, 60));
        EXPECT_TRUE(bobIs("Idle", 60));
    }

    std::unique_ptr<PrivateBus> bus_;
    std::unique_ptr<NotificationServer> server_;
    std::unique_ptr<CallNotifier> notifier_;
};

TEST_F(NotifyTest, AnIncomingCallIsNotifiedAndAnswerInTheNotificationAnswersIt) {
    ASSERT_NO_FATAL_FAILURE(startServer());
    ASSERT_NO_FATAL_FAILURE(readyForCalls());
    ASSERT_TRUE(bobCallsAlice()) << lockPhone().state.statusText;
    ASSERT_TRUE(awaitShown(0, 10));
    const ShownNotification shown = server_->shown().at(0);
    EXPECT_EQ(shown.appName, "Dialo");
    EXPECT_EQ(shown.replacesId, 0u);
    EXPECT_TRUE(shown.summary.contains("bob") || shown.body.contains("bob"))
        << shown.summary.toStdString() << " / " << shown.body.toStdString();
    EXPECT_EQ(shown.hints.value("category").toString(), "call.incoming");
    EXPECT_EQ(shown.hints.value("urgency").metaType().id(), QMetaType::UChar);  // a byte, as the interface says
    EXPECT_EQ(shown.hints.value("urgency").toInt(), 2);                         // critical
    EXPECT_EQ(shown.actions, kActions);
    EXPECT_EQ(shown.expireTimeout, 0);  // never expires on its own
    EXPECT_FALSE(shown.hints.contains("image-data"));  // bob has published no picture
    EXPECT_FALSE(closedByDialo(0));

    server_->invoke(shown.id, "answer");
    ASSERT_TRUE(eventually([] { return aliceState() == CallState::Talking; }, 60)) << lockPhone().state.statusText;
    EXPECT_TRUE(bobIs("Talking", 60));
    EXPECT_TRUE(eventually([&] { return closedByDialo(0); }, 10)) << "the answered call's notification stayed";
    EXPECT_EQ(server_->shown().size(), 1u);
    hangUpBoth();
}

TEST_F(NotifyTest, DeclineInTheNotificationHangsUpOnTheCaller) {
    ASSERT_NO_FATAL_FAILURE(startServer());
    ASSERT_NO_FATAL_FAILURE(readyForCalls());
    ASSERT_TRUE(bobCallsAlice()) << lockPhone().state.statusText;
    ASSERT_TRUE(awaitShown(0, 10));

    server_->invoke(server_->shown().at(0).id, "decline");
    EXPECT_TRUE(bobSays([](const json& j) { return j.value("statusText", json("")) == "They hung up."; }, 60,
                        "They hung up."));
    EXPECT_TRUE(eventually([] { return aliceState() == CallState::Idle; }, 60));
    EXPECT_TRUE(eventually([&] { return closedByDialo(0); }, 10)) << "the declined call's notification stayed";
}

TEST_F(NotifyTest, AnsweringWithTheWindowsButtonClosesTheNotification) {
    ASSERT_NO_FATAL_FAILURE(startServer());
    ASSERT_NO_FATAL_FAILURE(readyForCalls());
    ASSERT_TRUE(bobCallsAlice()) << lockPhone().state.statusText;
    ASSERT_TRUE(awaitShown(0, 10));
    ASSERT_TRUE(eventually([this] { return button("call")->text() == "Answer"; }, 5));

    click("call");
    ASSERT_TRUE(eventually([] { return aliceState() == CallState::Talking; }, 60)) << lockPhone().state.statusText;
    EXPECT_TRUE(eventually([&] { return closedByDialo(0); }, 10)) << "the notification outlived the ringing";
    EXPECT_TRUE(bobIs("Talking", 60));
    hangUpBoth();
}

TEST_F(NotifyTest, WithNotificationsOffACallShowsNoneAndRingsAsBefore) {
    ASSERT_NO_FATAL_FAILURE(startServer());
    ASSERT_NO_FATAL_FAILURE(readyForCalls());
    lockPhone().state.settings.notify = 3;  // "off"
    ASSERT_TRUE(bobCallsAlice()) << lockPhone().state.statusText;
    EXPECT_TRUE(eventually([this] { return window_->headerLines().main == "bob is calling"; }, 5));
    ASSERT_TRUE(bob_->send("hangup"));
    ASSERT_TRUE(eventually([] { return aliceState() == CallState::Idle; }, 60));
    ASSERT_NO_FATAL_FAILURE(settle());
    EXPECT_TRUE(server_->shown().empty()) << server_->shown().front().summary.toStdString();

    // The same path with notifications on shows one, so the silence above was the setting's.
    lockPhone().state.settings.notify = 0;
    ASSERT_TRUE(bobIs("Idle", 60));
    ASSERT_TRUE(bobCallsAlice()) << lockPhone().state.statusText;
    EXPECT_TRUE(awaitShown(0, 10));
    ASSERT_TRUE(bob_->send("hangup"));
    EXPECT_TRUE(eventually([] { return aliceState() == CallState::Idle; }, 60));
    EXPECT_TRUE(eventually([&] { return !server_->shown().empty() && closedByDialo(0); }, 10));
}

TEST_F(NotifyTest, WithoutANotificationServiceACallRingsAndIsAnsweredAsBefore) {
    ASSERT_NO_FATAL_FAILURE(readyForCalls());
    ASSERT_FALSE(QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.Notifications").value());
    ASSERT_TRUE(bobCallsAlice()) << lockPhone().state.statusText;
    EXPECT_TRUE(eventually([this] { return window_->headerLines().main == "bob is calling"; }, 5));
    click("call");
    ASSERT_TRUE(eventually([] { return aliceState() == CallState::Talking; }, 60)) << lockPhone().state.statusText;
    EXPECT_TRUE(bobIs("Talking", 60));
    hangUpBoth();
}

// The picture rules need no call: bytes in, a picture or none out.

Bytes encoded(const QImage& image, const char* format) {
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, format));
    return Bytes(data.begin(), data.end());
}

QImage filled(int w, int h, QColor colour) {
    QImage image(w, h, QImage::Format_ARGB32);
    image.fill(colour);
    return image;
}

TEST(AvatarPicture, FitsIn128AndRefusesWhatIsNoPictureOrOutsideItsSizes) {
    {
        SCOPED_TRACE("a large picture is scaled to fit in 128, keeping its shape");
        const QImage picture = avatarPicture(encoded(filled(300, 150, QColor(200, 40, 10)), "PNG"));
        ASSERT_FALSE(picture.isNull());
        EXPECT_EQ(picture.size(), QSize(128, 64));
        EXPECT_EQ(picture.format(), QImage::Format_RGBA8888);
        EXPECT_EQ(picture.pixelColor(64, 32), QColor(200, 40, 10));
    }
    {
        SCOPED_TRACE("a small picture keeps its size");
        const QImage picture = avatarPicture(encoded(filled(40, 30, QColor(0, 90, 200)), "PNG"));
        EXPECT_EQ(picture.size(), QSize(40, 30));
    }
    {
        SCOPED_TRACE("bytes that are no picture give none");
        Bytes junk(500);
        for (size_t i = 0; i < junk.size(); ++i) junk[i] = uint8_t(i * 7 + 3);
        EXPECT_TRUE(avatarPicture(junk).isNull());
        EXPECT_TRUE(avatarPicture({}).isNull());
    }
    {
        SCOPED_TRACE("a JPEG is read too");
        const QImage picture = avatarPicture(encoded(filled(40, 30, QColor(0, 90, 200)), "JPEG"));
        EXPECT_EQ(picture.size(), QSize(40, 30));
    }
    {
        SCOPED_TRACE("any other format gives none, even one Qt decodes");
        std::vector<std::pair<std::string, Bytes>> others;
        for (const char* format : {"BMP", "PPM", "XPM", "ICO"})
            others.emplace_back(format, encoded(filled(20, 20, Qt::red), format));
        const std::string gif("GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00,\x00\x00\x00\x00\x01\x00"
                              "\x01\x00\x00\x02\x02\x44\x01\x00;",
                              35);
        others.emplace_back("GIF", Bytes(gif.begin(), gif.end()));
        const std::string svg = R"(<svg xmlns="http://www.w3.org/2000/svg" width="20" height="20"><rect width="20" height="20"/></svg>)";
        others.emplace_back("SVG", Bytes(svg.begin(), svg.end()));
        for (const auto& [format, bytes] : others) {
            const QByteArray data(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
            // SVG only where its plugin is installed; the others always.
            if (format != "SVG") {
                EXPECT_FALSE(QImage::fromData(data).isNull()) << format << " is a picture Qt reads";
            }
            EXPECT_TRUE(avatarPicture(bytes).isNull()) << format;
        }
    }
    {
        SCOPED_TRACE("2 MiB or more give none");
        // A picture followed by padding, which the decoder skips after the picture's end.
        Bytes bytes = encoded(filled(20, 20, Qt::green), "PNG");
        bytes.resize((2u << 20) - 1, 0);
        EXPECT_FALSE(avatarPicture(bytes).isNull());
        bytes.push_back(0);
        EXPECT_TRUE(avatarPicture(bytes).isNull());
    }
}

// The Notify call itself, sent over the test's bus to the test's service, picture included.

class NotifyCallTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(bus_.address().empty()) << bus_.error();
        server_ = std::make_unique<NotificationServer>(QString::fromStdString(bus_.address()));
        ASSERT_TRUE(server_->ready());
    }
    void TearDown() override {
        server_.reset();
        QDBusConnection::disconnectFromBus("caller");
    }

    /// What the service was shown after `notify` went to it over the bus.
    ShownNotification deliver(const QDBusMessage& notify) {
        const QDBusConnection caller = QDBusConnection::connectToBus(QString::fromStdString(bus_.address()), "caller");
        QDBusPendingCallWatcher sent(caller.asyncCall(notify));
        EXPECT_TRUE(QTest::qWaitFor([&] { return sent.isFinished(); }, 10000));
        EXPECT_FALSE(sent.isError()) << sent.error().message().toStdString();
        return server_->shown().empty() ? ShownNotification() : server_->shown().back();
    }

    PrivateBus bus_;
    std::unique_ptr<NotificationServer> server_;
};

TEST_F(NotifyCallTest, ThePictureTravelsAsImageDataOfRgbaRows) {
    const ShownNotification shown =
        deliver(incomingCallNotification("bob", encoded(filled(200, 100, QColor(200, 40, 10)), "PNG")));
    EXPECT_EQ(shown.summary, "bob is calling");
    ASSERT_TRUE(shown.hints.contains("image-data"));
    const QDBusArgument image = shown.hints.value("image-data").value<QDBusArgument>();
    EXPECT_EQ(image.currentSignature(), "(iiibiiay)");
    int width = 0, height = 0, rowBytes = 0, bits = 0, channels = 0;
    bool alpha = false;
    QByteArray pixels;
    image.beginStructure();
    image >> width >> height >> rowBytes >> alpha >> bits >> channels >> pixels;
    image.endStructure();
    EXPECT_EQ(width, 128);
    EXPECT_EQ(height, 64);
    EXPECT_EQ(rowBytes, 128 * 4);
    EXPECT_TRUE(alpha);
    EXPECT_EQ(bits, 8);
    EXPECT_EQ(channels, 4);
    ASSERT_EQ(pixels.size(), 128 * 4 * 64);
    const int middle = 32 * rowBytes + 64 * 4;
    EXPECT_EQ(QByteArray(pixels.constData() + middle, 4), QByteArray("\xC8\x28\x0A\xFF", 4));  // red, green, blue, alpha
}

TEST_F(NotifyCallTest, NoPictureOrAnUnreadableOneSendsNoImage) {
    EXPECT_FALSE(deliver(incomingCallNotification("bob", {})).hints.contains("image-data"));
    const Bytes junk(300, 0x5a);
    const ShownNotification shown = deliver(incomingCallNotification("bob", junk));
    EXPECT_FALSE(shown.hints.contains("image-data"));
    EXPECT_EQ(server_->shown().size(), 2u);  // both were shown, without a picture
}

}  // namespace
}  // namespace dialo::test
