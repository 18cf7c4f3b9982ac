#pragma once
// The icon in the desktop's system tray: Dialo's mark with the number of missed calls not yet
// seen, a click that brings the main window back, and a menu with "Show Dialo" and "Quit".

#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>
#include <set>
#include <string>

class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace dialo {

/// Restores `window` if it is minimised, shows it, raises it and gives it the focus.
void bringToFront(QWidget* window);

class Tray : public QObject {
public:
    /// The tray icon for `window`, shown; null when the desktop has no system tray.
    static std::unique_ptr<Tray> createIfAvailable(QWidget* window);

    /// Made without asking for a tray, and not shown: `createIfAvailable` is the way in.
    explicit Tray(QWidget* window);
    ~Tray() override;

    /// Missed calls not yet seen (see tray.cpp for what "seen" means).
    int unseenMissedCalls() const { return unseen_; }
    QSystemTrayIcon* icon() const { return icon_; }

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void recount();
    void markAllSeen();

    QPointer<QWidget> window_;
    QSystemTrayIcon* icon_ = nullptr;
    std::unique_ptr<QMenu> menu_;
    std::set<std::string> seen_;  // keys of missed-call records already seen
    int unseen_ = -1;
};

}  // namespace dialo
