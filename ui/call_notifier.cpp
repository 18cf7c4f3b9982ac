#include "ui/call_notifier.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>
#include <QWidget>

#include "state/phone_state.h"
#include "ui/actions.h"
#include "ui/avatar.h"
#include "ui/tray.h"
#include "ui/ui_events.h"
#include "vaultra/identity_lookup.h"

namespace dialo {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

constexpr int kSettingNotifyOff = 3;
constexpr uchar kUrgencyCritical = 2;

// The "(iiibiiay)" structure of the image-data hint: width, height, bytes per row, alpha,
// bits per sample, samples per pixel, pixels.
QDBusArgument imageData(const QImage& rgba) {
    QDBusArgument a;
    a.beginStructure();
    a << rgba.width() << rgba.height() << int(rgba.bytesPerLine()) << true << 8 << 4
      << QByteArray(reinterpret_cast<const char*>(rgba.constBits()), rgba.sizeInBytes());
    a.endStructure();
    return a;
}

QDBusMessage callOf(const QString& method) { return QDBusMessage::createMethodCall(kService, kPath, kInterface, method); }

void closeNotification(uint id) {
    QDBusMessage close = callOf(QStringLiteral("CloseNotification"));
    close << id;
    // No reply is awaited: a notification already gone is no fault.
    (void)QDBusConnection::sessionBus().send(close);
}

}  // namespace

QDBusMessage incomingCallNotification(const std::string& handle, const Bytes& avatar) {
    QVariantMap hints;
    hints.insert(QStringLiteral("category"), QStringLiteral("call.incoming"));
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(kUrgencyCritical));
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("dialo"));
    // The phone rings by itself, after the notify mode.
    hints.insert(QStringLiteral("suppress-sound"), true);
    const QImage picture = avatarPicture(avatar);
    if (!picture.isNull()) hints.insert(QStringLiteral("image-data"), QVariant::fromValue(imageData(picture)));
    const QString who = QString::fromStdString(handle);
    QDBusMessage notify = callOf(QStringLiteral("Notify"));
    notify << QStringLiteral("Dialo") << uint(0) << QString()
           << (who.isEmpty() ? QStringLiteral("Incoming call") : who + QStringLiteral(" is calling"))
           << QStringLiteral("Incoming call on Dialo")
           << QStringList{QStringLiteral("answer"), QStringLiteral("Answer"), QStringLiteral("decline"),
                          QStringLiteral("Decline")}
           << hints << int(0);  // 0: never expires; closed when the call stops ringing
    return notify;
}

CallNotifier::CallNotifier(QWidget* window) : window_(window) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    onBus_ = bus.isConnected();
    if (onBus_) {
        bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                    SLOT(actionInvoked(uint, QString)));
        bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                    SLOT(notificationClosed(uint, uint)));
    }
    window_->installEventFilter(this);
}

CallNotifier::~CallNotifier() {
    // A notification left behind would offer to answer a call this program can no longer take.
    if (id_ != 0) closeNotification(id_);
    if (window_) window_->removeEventFilter(this);
}

bool CallNotifier::eventFilter(QObject* watched, QEvent* e) {
    if (watched == window_ && e->type() == uiEventType()) {
        switch (static_cast<UiEvent*>(e)->message) {
            case UiMessage::RingStart: ringStart(); break;
            case UiMessage::Refresh: refresh(); break;
            default: break;
        }
    }
    return false;  // the window handles every message as before
}

void CallNotifier::ringStart() {
    std::string callId, handle;
    {
        auto g = lockPhone();
        const PhoneState& s = g.state;
        if (s.callState != CallState::Incoming || s.settings.notify == kSettingNotifyOff) return;
        callId = s.callId;
        handle = s.peerHandle;
    }
    // A ringer started again for the same call (after its rings ran out) does not nag again.
    if (!onBus_ || callId == lastCall_) return;
    if (!shownFor_.empty()) closeShown();
    lastCall_ = callId;
    shownFor_ = callId;

    // A caller's picture fetched now serves the next call; the cards share the same fetch.
    if (!handle.empty()) request_avatar(handle);
    const QDBusMessage notify = incomingCallNotification(handle, handle.empty() ? Bytes() : avatar_for(handle));
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(notify), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, callId](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        QDBusPendingReply<uint> reply = *w;
        if (reply.isError()) {
            // No service, or it refused: the window rings as it always did.
            if (shownFor_ == callId) shownFor_.clear();
            return;
        }
        const uint id = reply.value();
        if (shownFor_ == callId && id != 0) id_ = id;
        else if (id != 0) closeNotification(id);  // the call stopped ringing before the service answered
    });
}

void CallNotifier::refresh() {
    if (shownFor_.empty()) return;
    bool ringing;
    {
        auto g = lockPhone();
        ringing = g.state.callState == CallState::Incoming && g.state.callId == shownFor_;
    }
    if (!ringing) closeShown();
}

void CallNotifier::closeShown() {
    if (id_ != 0) closeNotification(id_);
    id_ = 0;
    shownFor_.clear();  // a reply still on its way sees this and closes what it made
}

void CallNotifier::actionInvoked(uint id, const QString& action) {
    // The service tells every client of every notification's actions; only ours count.
    if (id == 0 || id != id_) return;
    bool ringing;
    {
        auto g = lockPhone();
        ringing = g.state.callState == CallState::Incoming && g.state.callId == shownFor_;
    }
    if (!ringing) return;
    if (action == QLatin1String("answer")) {
        startAnswer();
        if (window_) bringToFront(window_);  // the call's clock and Hang up are there
    } else if (action == QLatin1String("decline")) {
        startHangUp();
    }
}

void CallNotifier::notificationClosed(uint id, uint) {
    if (id == 0 || id != id_) return;
    id_ = 0;
    shownFor_.clear();
}

}  // namespace dialo
