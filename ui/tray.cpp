#include "ui/tray.h"

#include <QApplication>
#include <QEvent>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>
#include <QWidget>
#include <vector>

#include "state/phone_state.h"
#include "ui/logo.h"
#include "ui/palette.h"
#include "ui/ui_events.h"

// "Seen": a missed call is seen once the main window has been the active window while its
// record existed. Records already in the store when the program starts, or when a wallet's
// handle is loaded, count as seen: nothing tells whether they were looked at before.

namespace dialo {
namespace {

constexpr int kIconSide = 64;  // pixels; the desktop scales it to the tray

std::string keyOf(const CallRecord& r) { return r.id + '\n' + r.from + '\n' + std::to_string(r.ts); }

std::vector<std::string> missedKeys() {
    std::vector<std::string> keys;
    auto g = lockPhone();
    for (const CallRecord& r : g.state.boxes.calls)
        if (r.missed) keys.push_back(keyOf(r));
    return keys;
}

// The mark with a red disc carrying the count at its top right; the plain mark for none.
QIcon badgedIcon(int count) {
    if (count <= 0) return logoIcon();
    QPixmap pixmap = logoIcon().pixmap(kIconSide, kIconSide);
    QPainter g(&pixmap);
    g.setRenderHint(QPainter::Antialiasing);
    const QRectF disc(kIconSide * 0.42, 0, kIconSide * 0.58, kIconSide * 0.58);
    g.setPen(QPen(Qt::white, kIconSide / 32.0));
    g.setBrush(QColor(0xD0, 0x30, 0x30));
    g.drawEllipse(disc);
    g.setFont(uiFont(int(kIconSide * (count > 9 ? 0.26 : 0.36)), true));
    g.drawText(disc, Qt::AlignCenter, count > 99 ? QStringLiteral("99+") : QString::number(count));
    g.end();
    return QIcon(pixmap);
}

QString toolTipFor(int count) {
    if (count <= 0) return QStringLiteral("Dialo");
    return count == 1 ? QStringLiteral("Dialo: 1 missed call") : QStringLiteral("Dialo: %1 missed calls").arg(count);
}

}  // namespace

void bringToFront(QWidget* window) {
    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->show();
    window->raise();
    window->activateWindow();
}

std::unique_ptr<Tray> Tray::createIfAvailable(QWidget* window) {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return nullptr;
    auto tray = std::make_unique<Tray>(window);
    tray->icon_->show();
    return tray;
}

Tray::Tray(QWidget* window) : window_(window) {
    icon_ = new QSystemTrayIcon(this);
    menu_ = std::make_unique<QMenu>();
    QObject::connect(menu_->addAction(QStringLiteral("Show Dialo")), &QAction::triggered, this,
                     [this] { bringToFront(window_); });
    QObject::connect(menu_->addAction(QStringLiteral("Quit")), &QAction::triggered, this, [this] {
        window_->close();  // saves its position, as the Close button does
        QApplication::quit();
    });
    icon_->setContextMenu(menu_.get());
    QObject::connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
        if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick) bringToFront(window_);
    });
    markAllSeen();
    recount();
    window_->installEventFilter(this);
}

Tray::~Tray() {
    if (window_) window_->removeEventFilter(this);
}

bool Tray::eventFilter(QObject* watched, QEvent* e) {
    if (watched != window_) return false;
    if (e->type() == uiEventType()) {
        const UiMessage m = static_cast<UiEvent*>(e)->message;
        if (m == UiMessage::ConnectionChanged) markAllSeen();  // another handle's records were loaded
        if (m == UiMessage::Refresh || m == UiMessage::ConnectionChanged) {
            if (window_->isActiveWindow()) markAllSeen();
            recount();
        }
    } else if (e->type() == QEvent::WindowActivate) {
        markAllSeen();
        recount();
    }
    return false;
}

void Tray::markAllSeen() {
    const std::vector<std::string> keys = missedKeys();
    seen_ = std::set<std::string>(keys.begin(), keys.end());
}

void Tray::recount() {
    int unseen = 0;
    std::set<std::string> stillThere;
    for (std::string& key : missedKeys()) {
        if (seen_.count(key)) stillThere.insert(std::move(key));
        else ++unseen;
    }
    seen_ = std::move(stillThere);  // records dropped from the history are forgotten here too
    if (unseen == unseen_) return;
    unseen_ = unseen;
    icon_->setIcon(badgedIcon(unseen));
    icon_->setToolTip(toolTipFor(unseen));
}

}  // namespace dialo
