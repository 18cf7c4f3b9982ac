#pragma once
// The phone's main window: a fixed-size surface with a drawn header, the handle field and
// owner-drawn buttons. It never waits on the network: buttons that need the wallet or a peer
// start a thread and return, and the window re-reads the published state when a worker posts.
//
// Child widgets carry object names a user-level test can find them by: "connect", "call",
// "hangup", "mute", "contacts", "answerphone", "lamp", "settings", "close" (buttons) and
// "handle" (the line edit). The header's painted lines are mirrored, for screen readers, by
// labels that draw nothing: "connection-text", "caption-text", "main-text".

#include <QString>
#include <QWidget>
#include <functional>

#include "state/phone_state.h"
#include "ui/phone_button.h"

class QLabel;
class QLineEdit;
class QTimer;

namespace dialo {

/// What the header shows at this moment, as text.
struct HeaderLines {
    QString connection;  // own handle and balance, or empty while not connected
    QString caption;     // "Calling  bob", "Talking with  bob", or "Ready"
    QString main;        // "bob is calling", the call clock, or the status line
    QString hint;        // "Type in a handle to call" while the handle field is empty
};

class MainWindow : public QWidget {
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    /// The header's lines as they are painted now.
    HeaderLines headerLines() const;
    /// Client size at `dpi` (460 x 508 at 96 DPI).
    static QSize clientSizeAt(int dpi);
    /// Scales a 96-DPI length to `dpi`, rounding half away from zero.
    static int scaled(int length, int dpi);

    /// Where a window of this rectangle goes so that it lies wholly inside `area`.
    static QPoint clampedPosition(const QRect& window, const QRect& area);
    /// Where a window of this rectangle goes on the screen nearest to it.
    static QPoint placedOnScreen(const QRect& window);

    /// Lays the window out for `dpi` dots per inch (the screen's, or a test's).
    void setDpi(int dpi);
    int dpi() const { return dpi_; }

    /// Re-reads the stored theme and repaints (after a store load or a settings change).
    void applyTheme();

    /// Where the Contacts, Answer-phone and Settings buttons open their card; none by default.
    void setCardOpener(std::function<void(int kind)> open) { openCard_ = std::move(open); }

    /// Puts a handle into the handle field, as the Contacts card's "Use" does.
    void setTypedHandle(const QString& handle);

    /// The update check's answer: a version in thousandths, or 0 when none is known.
    int updateVersion() const { return updateVersion_; }

protected:
    bool event(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void changeEvent(QEvent* e) override;

private:
    void layoutButtons();
    void refresh();
    void syncControls();
    void typed();
    void connectionChanged(bool connected);
    void ringStart();
    void ringTick();
    void clockTick();
    void stopRinging();
    void followScreen();
    void watchScreen();
    void savePosition();
    void moveToSavedPosition();
    int clockSeconds(bool& limit) const;
    QRect px(int x, int y, int w, int h) const;

    int dpi_ = 96;
    int ringPhase_ = 0;
    bool blinkOn_ = false;
    bool flashing_ = false;
    int shownClock_ = -1;
    int updateVersion_ = 0;
    QRect callRest_;
    std::function<void(int)> openCard_;
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
    QLabel* connectionText_ = nullptr;
    QLabel* captionText_ = nullptr;
    QLabel* mainText_ = nullptr;
    CallState shownState_ = CallState::Idle;
    QTimer* ringTimer_ = nullptr;
    QTimer* clockTimer_ = nullptr;
    QTimer* relayoutTimer_ = nullptr;
    QMetaObject::Connection dpiWatch_;
};

}  // namespace dialo
