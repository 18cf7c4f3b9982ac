#pragma once
// A desktop notification for each incoming call, through the session bus's
// org.freedesktop.Notifications service, with Answer and Decline. It reads the main window's
// worker messages through an event filter, so the window itself knows nothing of it. Without a
// bus or a notification service nothing is shown and nothing waits: every call is asynchronous.

#include <QDBusMessage>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>
#include <string>

#include "base/bytes.h"

class QWidget;

namespace dialo {

class CallNotifier : public QObject {
    Q_OBJECT
public:
    /// Watches `window`'s messages from the workers; an answered call raises `window`.
    explicit CallNotifier(QWidget* window);
    ~CallNotifier() override;

    /// True when the session bus was reached (a notification service may still be missing).
    bool onBus() const { return onBus_; }

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;

private Q_SLOTS:
    void actionInvoked(uint id, const QString& action);
    void notificationClosed(uint id, uint reason);

private:
    void ringStart();
    void refresh();
    void closeShown();

    QPointer<QWidget> window_;
    bool onBus_ = false;
    std::string shownFor_;   // call id the shown (or requested) notification is about
    std::string lastCall_;   // the last call notified: one notification per call
    uint id_ = 0;            // the service's id for the shown notification; 0 until it answers
};

/// The Notify call for a call ringing from `handle`, with `avatar` (picture bytes, or empty) as
/// its image when `avatarPicture` makes one of it.
QDBusMessage incomingCallNotification(const std::string& handle, const Bytes& avatar);

}  // namespace dialo
