#pragma once
// A notification service for tests: it owns org.freedesktop.Notifications on a bus connection
// of its own (so every call reaches it through the bus daemon, as a desktop's would), keeps
// what it was asked to show and close, and invokes actions as a user's click on a button does.
// Like some desktops' services, it does not close a notification by itself after an action.

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <vector>

namespace dialo::test {

struct ShownNotification {
    uint id = 0;
    QString appName;
    uint replacesId = 0;
    QString appIcon;
    QString summary;
    QString body;
    QStringList actions;
    QVariantMap hints;
    int expireTimeout = -1;  // milliseconds; 0 never, -1 the service's choice
    bool closedByClient = false;
};

class NotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    /// Connects to the bus at `address` and takes the service's name; `ready()` says if it did.
    explicit NotificationServer(const QString& address);
    ~NotificationServer() override;

    bool ready() const { return ready_; }
    const std::vector<ShownNotification>& shown() const { return shown_; }
    /// Sends ActionInvoked for `id`, as a click on that action's button.
    void invoke(uint id, const QString& action);

public Q_SLOTS:
    uint Notify(const QString& app_name, uint replaces_id, const QString& app_icon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints, int expire_timeout);
    void CloseNotification(uint id);
    QStringList GetCapabilities();
    QString GetServerInformation(QString& vendor, QString& version, QString& spec_version);

Q_SIGNALS:
    void ActionInvoked(uint id, const QString& action_key);
    void NotificationClosed(uint id, uint reason);

private:
    QString name_;
    QDBusConnection bus_;
    bool ready_ = false;
    uint next_ = 1;
    std::vector<ShownNotification> shown_;
};

}  // namespace dialo::test
