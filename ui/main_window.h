#pragma once
// The phone's main window: a fixed-size surface with a drawn header, the handle field and
// owner-drawn buttons. It never waits on the network: buttons that need the wallet or a peer
// start a thread and return, and the window re-reads the published state when a worker posts.
//
// Child widgets carry object names a user-level test can find them by: "connect", "call",
// "hangup", "mute", "contacts", "answerphone", "lamp", "settings", "close" (buttons) and
// "handle" (the line edit).

#include <QPointer>
#include <QString>
#include <QWidget>

#include "ui/phone_button.h"

class QLineEdit;
class QTimer;

namespace dialo {

/// What the header shows at this moment, as text.
struct HeaderLines {
    QString connection;  // own handle and balance, or empty while not connected
    QString caption;     // "Calling  bob", or "Ready"
    QString main;        // "bob is calling", the call clock, or the status line
};

class MainWindow : public QWidget {
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    /// The header's three lines as last painted or as they would be painted now.
    HeaderLines headerLines() const;
    /// Client size at the current DPI (460 x 508 at 96 DPI).
    static QSize clientSizeAt(int dpi);
    /// Scales a 96-DPI length to `dpi`, rounding as the layout does.
    static int scaled(int length, int dpi);

    /// Re-reads the stored theme and repaints (called after a store load or a settings change).
    void applyTheme();

protected:
    bool event(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void changeEvent(QEvent* e) override;

private:
    void layoutButtons();
    void onUiRefresh();
    void onConnectionChanged(bool connected);
    void onRingStart();
    void ringTick();
    void clockTick();
    void stopRinging();
    void setDpi(int dpi);
    void toggleAnswerPhone();

    int dpi_ = 96;
    int ringPhase_ = 0;
    bool ringing_ = false;
    bool blinkOn_ = false;
    int shownClock_ = -1;
    QRect callRest_;
    PhoneButton* connect_ = nullptr;
    PhoneButton* call_ = nullptr;
    PhoneButton* hangup_ = nullptr;
    PhoneButton* mute_ = nullptr;
    PhoneButton* contacts_ = nullptr;
    PhoneButton* answerphone_ = nullptr;
    PhoneButton* lamp_ = nullptr;
    PhoneButton* settings_ = nullptr;
    PhoneButton* close_ = nullptr;
    QLineEdit* handle_ = nullptr;
    QTimer* ringTimer_ = nullptr;
    QTimer* clockTimer_ = nullptr;
};

}  // namespace dialo
