#include "notification_server.h"

namespace dialo::test {
namespace {

constexpr uint kClosedByCall = 3;  // NotificationClosed reason: closed by CloseNotification

}  // namespace

NotificationServer::NotificationServer(const QString& address)
    : name_(QStringLiteral("dialo-test-notification-server")), bus_(QDBusConnection::connectToBus(address, name_)) {
    ready_ = bus_.isConnected() && bus_.registerService(QStringLiteral("org.freedesktop.Notifications")) &&
             bus_.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                                 QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals);
}

NotificationServer::~NotificationServer() {
    bus_.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
    bus_.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
    QDBusConnection::disconnectFromBus(name_);
}

void NotificationServer::invoke(uint id, const QString& action) { Q_EMIT ActionInvoked(id, action); }

uint NotificationServer::Notify(const QString& app_name, uint replaces_id, const QString& app_icon,
                                const QString& summary, const QString& body, const QStringList& actions,
                                const QVariantMap& hints, int expire_timeout) {
    ShownNotification n;
    n.id = replaces_id != 0 ? replaces_id : next_++;
    n.appName = app_name;
    n.replacesId = replaces_id;
    n.appIcon = app_icon;
    n.summary = summary;
    n.body = body;
    n.actions = actions;
    n.hints = hints;
    n.expireTimeout = expire_timeout;
    shown_.push_back(n);
    return n.id;
}

void NotificationServer::CloseNotification(uint id) {
    for (ShownNotification& n : shown_)
        if (n.id == id && !n.closedByClient) {
            n.closedByClient = true;
            Q_EMIT NotificationClosed(id, kClosedByCall);
        }
}

QStringList NotificationServer::GetCapabilities() {
    return {QStringLiteral("actions"), QStringLiteral("body"), QStringLiteral("persistence")};
}

QString NotificationServer::GetServerInformation(QString& vendor, QString& version, QString& spec_version) {
    vendor = QStringLiteral("dialo tests");
    version = QStringLiteral("1");
    spec_version = QStringLiteral("1.2");
    return QStringLiteral("test notification server");
}

}  // namespace dialo::test
