#include "ui/main_window.h"

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <algorithm>
#include <cmath>

#include "audio/playback.h"
#include "base/clock.h"
#include "base/config.h"
#include "state/amount.h"
#include "state/phone_state.h"
#include "store/handle_switch.h"
#include "store/phone_store.h"
#include "ui/actions.h"
#include "ui/card_window.h"
#include "ui/logo.h"
#include "ui/palette.h"
#include "ui/ui_events.h"
#include "ui/update_prompt.h"
#include "wallet/published.h"

namespace dialo {
namespace {

// Vertical metrics at 96 DPI: header, gap, handle band, call band, mute band, bottom band and
// margin. Everything else is placed inside these bands.
constexpr int kWidth = 460;
constexpr int kHeader = 164;
constexpr int kHeight = 164 + 16 + 72 + 76 + 16 + 40 + 92 + 32;  // 508
constexpr int kBlinkMs = 1100;
constexpr int kRingTickMs = 80;
constexpr int kClockTickMs = 400;
constexpr int kRelayoutMs = 50;

struct Place {
    int x, y, w, h;
};
constexpr Place kHint{24, 182, 412, 16};
constexpr Place kHandle{24, 200, 412, 44};
constexpr Place kConnect{24, 264, 128, 52};
constexpr Place kCall{166, 264, 128, 52};
constexpr Place kHangup{308, 264, 128, 52};
constexpr Place kMute{166, 344, 128, 40};
constexpr Place kContacts{32, 392, 48, 48};
constexpr Place kContactsLabel{8, 444, 96, 18};
constexpr Place kTape{128, 392, 48, 48};
constexpr Place kTapeLabel{84, 444, 136, 18};
constexpr Place kLamp{192, 404, 24, 24};
constexpr Place kSettings{236, 396, 96, 40};
constexpr Place kClose{344, 396, 92, 40};
constexpr Place kConnectionLine{266, 24, 176, 22};
constexpr Place kCaptionLine{24, 70, 412, 22};
constexpr Place kMainLine{24, 96, 412, 60};

// The longest handle the call path reads from the field, in UTF-16 units.
constexpr int kHandleMaxLength = 179;

// What the header paints, said to assistive technology: a label that draws nothing, over the
// place where the header draws its text.
class SpokenText : public QLabel {
public:
    SpokenText(const char* name, QWidget* parent) : QLabel(parent) {
        setObjectName(name);
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }

protected:
    void paintEvent(QPaintEvent*) override {}
};

void say(QLabel* label, const QString& text) {
    if (text == label->text()) return;
    label->setText(text);
    QAccessibleEvent changed(label, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&changed);
}

// The handle field swallows Enter: a call is placed with the Call button only. Its surround is
// painted by the window, which repaints it as the focus comes and goes.
class EnterEater : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* e) override {
        if (e->type() == QEvent::KeyPress || e->type() == QEvent::KeyRelease) {
            const int key = static_cast<QKeyEvent*>(e)->key();
            if (key == Qt::Key_Return || key == Qt::Key_Enter) return true;
        }
        if (e->type() == QEvent::FocusIn || e->type() == QEvent::FocusOut)
            if (auto* w = qobject_cast<QWidget*>(watched); w && w->parentWidget()) w->parentWidget()->update();
        return QObject::eventFilter(watched, e);
    }
};

bool blinkPhase() { return (nowMs() / kBlinkMs) % 2 == 1; }

QString clockText(int seconds) {
    return QString("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QChar('0'));
}

// The screen a window of this rectangle belongs on: the one holding its centre, else the one
// closest to it (a monitor that was unplugged leaves positions off every screen).
const QScreen* nearestScreen(const QRect& window) {
    const QPoint c = window.center();
    const QScreen* best = nullptr;
    long long bestDistance = 0;
    for (const QScreen* s : QGuiApplication::screens()) {
        const QRect g = s->geometry();
        const long long dx = std::max({g.left() - c.x(), 0, c.x() - g.right()});
        const long long dy = std::max({g.top() - c.y(), 0, c.y() - g.bottom()});
        const long long d = dx * dx + dy * dy;
        if (!best || d < bestDistance) {
            best = s;
            bestDistance = d;
        }
    }
    return best;
}

int screenDpi(const QScreen* screen) {
    return screen ? std::max(1, int(std::lround(screen->logicalDotsPerInch()))) : 96;
}

}  // namespace

int MainWindow::scaled(int length, int dpi) {
    const long long n = (long long)length * dpi;
    return int(n >= 0 ? (n + 48) / 96 : (n - 48) / 96);
}

QSize MainWindow::clientSizeAt(int dpi) { return {scaled(kWidth, dpi), scaled(kHeight, dpi)}; }

QPoint MainWindow::clampedPosition(const QRect& window, const QRect& area) {
    const int w = std::clamp(window.width(), 1, std::max(1, area.width()));
    const int h = std::clamp(window.height(), 1, std::max(1, area.height()));
    int x = std::max(window.x(), area.left());
    int y = std::max(window.y(), area.top());
    x = std::min(x, area.left() + area.width() - w);
    y = std::min(y, area.top() + area.height() - h);
    return {x, y};
}

QRect MainWindow::px(int x, int y, int w, int h) const {
    return QRect(scaled(x, dpi_), scaled(y, dpi_), scaled(w, dpi_), scaled(h, dpi_));
}

MainWindow::MainWindow(QWidget* parent) : QWidget(parent) {
    // Which network this phone pays on, so nobody spends real coins believing it is the devnet.
    setWindowTitle(QString::fromStdString("Dialo (" + networkLabel(networkConfig()) + ")"));
    setWindowIcon(logoIcon());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setCursor(Qt::ArrowCursor);
    setAutoFillBackground(false);

    auto make = [this](const char* name, const char* text, PhoneButton::Kind kind) {
        auto* b = new PhoneButton(text, kind, this);
        b->setObjectName(name);
        return b;
    };
    connect_ = make("connect", "Connect", PhoneButton::Kind::Plain);
    call_ = make("call", "Call", PhoneButton::Kind::Primary);
    hangup_ = make("hangup", "Hang up", PhoneButton::Kind::Danger);
    mute_ = make("mute", "Mute", PhoneButton::Kind::Plain);
    contacts_ = make("contacts", "Contacts", PhoneButton::Kind::Contacts);
    answerphone_ = make("answerphone", "Answer-phone", PhoneButton::Kind::Tape);
    lamp_ = make("lamp", "Answer-phone lamp", PhoneButton::Kind::Lamp);
    settings_ = make("settings", "Settings", PhoneButton::Kind::Plain);
    close_ = make("close", "Close", PhoneButton::Kind::Plain);
    handle_ = new QLineEdit(this);
    handle_->setObjectName("handle");
    handle_->setPlaceholderText("name");
    handle_->setFrame(false);
    handle_->setMaxLength(kHandleMaxLength);
    handle_->setAccessibleName("Handle to call");
    handle_->installEventFilter(new EnterEater(handle_));
    QObject::connect(handle_, &QLineEdit::textChanged, this, [this] { update(px(kHint.x, kHint.y, kHint.w, kHint.h)); });
    QObject::connect(handle_, &QLineEdit::textEdited, this, [this] { typed(); });
    connectionText_ = new SpokenText("connection-text", this);
    captionText_ = new SpokenText("caption-text", this);
    mainText_ = new SpokenText("main-text", this);
    mute_->setCheckable(true);
    lamp_->setCheckable(true);
    // Tab starts where a call starts: the handle, then the buttons that act on it.
    QWidget* order[] = {handle_, call_, hangup_, mute_, connect_, contacts_, answerphone_, lamp_, settings_, close_};
    for (size_t i = 1; i < std::size(order); ++i) QWidget::setTabOrder(order[i - 1], order[i]);

    QObject::connect(connect_, &QAbstractButton::clicked, this, [] { startConnectOrDisconnect(); });
    QObject::connect(call_, &QAbstractButton::clicked, this,
                     [this] { startCallOrAnswer(handle_->text().toStdString()); });
    QObject::connect(hangup_, &QAbstractButton::clicked, this, [] { startHangUp(); });
    QObject::connect(mute_, &QAbstractButton::clicked, this, [this] {
        const bool was = phoneFlags().mute.exchange(!phoneFlags().mute.load());
        mute_->setLit(!was);
        mute_->setAccessibleDescription(!was ? "Muted" : "Not muted");
    });
    QObject::connect(contacts_, &QAbstractButton::clicked, this, [this] {
        if (openCard_) openCard_(CardContacts);
    });
    QObject::connect(answerphone_, &QAbstractButton::clicked, this, [this] {
        phoneFlags().lamp.exchange(false);
        lamp_->setLit(false);
        if (openCard_) openCard_(CardAnswerPhone);
        layoutButtons();
        update();
    });
    QObject::connect(lamp_, &QAbstractButton::clicked, this, [this] {
        toggleAnswerPhone();
        if (CardWindow* card = openCard()) card->refreshAnswerPhoneLabel();
        syncControls();
        update();
    });
    QObject::connect(settings_, &QAbstractButton::clicked, this, [this] {
        if (openCard_) openCard_(CardSettings);
    });
    QObject::connect(close_, &QAbstractButton::clicked, this, [this] { close(); });
    // The keys desktop softphones answer and hang up with, wherever the focus is (the card
    // too); the handle field keeps Enter.
    for (auto [key, target] : {std::pair{Qt::Key_F2, call_}, std::pair{Qt::Key_F4, hangup_}}) {
        auto* shortcut = new QShortcut(QKeySequence(key), this);
        shortcut->setContext(Qt::ApplicationShortcut);
        QObject::connect(shortcut, &QShortcut::activated, target, &QAbstractButton::click);
    }

    ringTimer_ = new QTimer(this);
    ringTimer_->setInterval(kRingTickMs);
    QObject::connect(ringTimer_, &QTimer::timeout, this, [this] { ringTick(); });
    clockTimer_ = new QTimer(this);
    clockTimer_->setInterval(kClockTickMs);
    QObject::connect(clockTimer_, &QTimer::timeout, this, [this] { clockTick(); });
    clockTimer_->start();
    relayoutTimer_ = new QTimer(this);
    relayoutTimer_->setSingleShot(true);
    relayoutTimer_->setInterval(kRelayoutMs);
    QObject::connect(relayoutTimer_, &QTimer::timeout, this, [this] { layoutButtons(); });

    setDpi(screenDpi(screen()));
    const bool connected = published_wallet().connected;
    connect_->setText(connected ? "Disconnect" : "Connect");
    connect_->setConnected(connected);
    mute_->setLit(phoneFlags().mute);
    syncControls();
    handle_->setFocus();

    moveToSavedPosition();
    routeUiMessages(UiTarget::Main, this);
    watchScreen();
    ringStart();  // a window made while a call rings shows it at once
}

void MainWindow::watchScreen() {
    QObject::disconnect(dpiWatch_);
    if (QScreen* s = screen())
        dpiWatch_ = QObject::connect(s, &QScreen::logicalDotsPerInchChanged, this, [this] { followScreen(); });
}

MainWindow::~MainWindow() { routeUiMessages(UiTarget::Main, nullptr); }

void MainWindow::setDpi(int dpi) {
    dpi_ = std::max(1, dpi);
    phoneFlags().dpi = dpi_;
    handle_->setFont(uiFont(scaled(16, dpi_)));
    setFixedSize(clientSizeAt(dpi_));
    applyTheme();
    layoutButtons();
}

void MainWindow::setTypedHandle(const QString& handle) {
    handle_->setText(handle);
    handle_->setFocus();
}

void MainWindow::applyTheme() {
    const ThemePalette& p = currentPalette();
    QPalette edit = handle_->palette();
    edit.setColor(QPalette::Base, p[kEditBackground]);
    edit.setColor(QPalette::Text, editTextColour());
    edit.setColor(QPalette::PlaceholderText, p[kTextSoft]);
    edit.setColor(QPalette::Highlight, p[kAccent]);
    handle_->setPalette(edit);
    update();
    for (QWidget* w : findChildren<PhoneButton*>()) w->update();
}

void MainWindow::layoutButtons() {
    auto place = [this](QWidget* w, const Place& at) { w->setGeometry(px(at.x, at.y, at.w, at.h)); };
    place(handle_, {kHandle.x + 8, kHandle.y + 6, kHandle.w - 16, kHandle.h - 12});
    place(connect_, kConnect);
    place(hangup_, kHangup);
    place(mute_, kMute);
    place(contacts_, kContacts);
    place(answerphone_, kTape);
    place(lamp_, kLamp);
    place(settings_, kSettings);
    place(close_, kClose);
    place(connectionText_, kConnectionLine);
    place(captionText_, kCaptionLine);
    place(mainText_, kMainLine);
    callRest_ = px(kCall.x, kCall.y, kCall.w, kCall.h);
    call_->setGeometry(callRest_);  // a ringing pulse takes it up again from here at its next tick
}

bool MainWindow::event(QEvent* e) {
    if (e->type() == uiEventType()) {
        const auto* ui = static_cast<UiEvent*>(e);
        switch (ui->message) {
            case UiMessage::Refresh: refresh(); break;
            case UiMessage::ConnectionChanged: connectionChanged(ui->w != 0); break;
            case UiMessage::RingStart: ringStart(); break;
            case UiMessage::UpdateAvailable:
                updateVersion_ = ui->w > 0 ? int(ui->w - 1) : 0;
                offerUpdate(this, updateVersion_);
                break;
            default: break;
        }
        return true;
    }
    if (e->type() == QEvent::ScreenChangeInternal) {
        watchScreen();
        followScreen();
    }
    return QWidget::event(e);
}

void MainWindow::followScreen() {
    const int dpi = screenDpi(screen());
    if (dpi == dpi_) return;
    setDpi(dpi);
    relayoutTimer_->start();  // once more, after the window system has moved the frame
}

void MainWindow::refresh() {
    const CallState state = lockPhoneBrief().state.callState;
    const QString label = state == CallState::Incoming ? "Answer" : "Call";
    if (call_->text() != label) call_->setText(label);
    if (state != CallState::Incoming && ringTimer_->isActive()) stopRinging();
    syncControls();
    update();
}

void MainWindow::syncControls() {
    CallState state;
    bool answerphone, placing;
    {
        auto g = lockPhone();
        state = g.state.callState;
        answerphone = g.state.boxes.answerphone;
        placing = g.state.placing;
    }
    // Each button offers only what it can do now; a call still being placed can be hung up.
    const bool canCall = !placing && (state == CallState::Idle || state == CallState::Incoming);
    const bool canHangUp = placing || state != CallState::Idle;
    const bool canMute = state != CallState::Idle;
    // Qt hands the focus of a button being disabled to the next enabled widget, which may be
    // Disconnect: a second Space would then end the connection mid-call. So the buttons coming
    // alive come first, and the focus goes where the next press belongs.
    for (auto [b, on] : {std::pair{call_, canCall}, std::pair{hangup_, canHangUp}, std::pair{mute_, canMute}})
        if (on) b->setEnabled(true);
    QWidget* focused = focusWidget();
    if (focused == call_ && !canCall) (canHangUp ? static_cast<QWidget*>(hangup_) : handle_)->setFocus();
    else if ((focused == hangup_ && !canHangUp) || (focused == mute_ && !canMute)) handle_->setFocus();
    for (auto [b, on] : {std::pair{call_, canCall}, std::pair{hangup_, canHangUp}, std::pair{mute_, canMute}})
        if (!on) b->setEnabled(false);
    // Mute belongs to the call it was pressed in: the next one starts heard. Idle is where
    // every way of ending a call meets, and Mute cannot be pressed there.
    if (state == CallState::Idle) phoneFlags().mute = false;
    const bool muted = phoneFlags().mute;
    mute_->setLit(muted);
    mute_->setAccessibleDescription(muted ? "Muted" : "Not muted");
    lamp_->setChecked(answerphone);
    lamp_->setAccessibleDescription(answerphone ? "Answer-phone on" : "Answer-phone off");
    shownState_ = state;

    const HeaderLines lines = headerLines();
    say(connectionText_, lines.connection);
    say(captionText_, lines.caption);
    say(mainText_, lines.main);
    mainText_->setAccessibleDescription(QString::fromStdString(lockPhoneBrief().state.statusText));
}

void MainWindow::typed() {
    // A line about the last attempt stops being news once the user types the next handle.
    bool cleared = false;
    {
        auto g = lockPhone();
        // A call being placed keeps its "Finding" line.
        if (g.state.callState == CallState::Idle && !g.state.placing && !g.state.statusText.empty()) {
            g.state.statusText.clear();
            cleared = true;
        }
    }
    if (cleared) refresh();
}

void MainWindow::connectionChanged(bool connected) {
    connect_->setText(connected ? "Disconnect" : "Connect");
    connect_->setConnected(connected);
    if (connected) {
        applyTheme();  // the newly loaded handle may keep another theme
        if (take_restore_positions_request()) {
            moveToSavedPosition();
            if (CardWindow* card = openCard()) card->returnToStoredPosition();
        }
    } else {
        handle_->clear();
    }
    syncControls();
    update();
}

void MainWindow::ringStart() {
    int notify;
    {
        auto g = lockPhone();
        if (g.state.callState != CallState::Incoming) return;
        notify = g.state.settings.notify;
    }
    refresh();
    if (notify == 1 || notify == 3) return;  // "sound" and "off" neither pulse nor flash
    if (!ringTimer_->isActive()) {
        ringPhase_ = 0;
        ringTimer_->start();
    }
}

void MainWindow::ringTick() {
    if (lockPhoneBrief().state.callState != CallState::Incoming) {
        stopRinging();
        return;
    }
    if (isMinimized()) {
        if (!flashing_) QApplication::alert(this);
        flashing_ = true;
        return;
    }
    flashing_ = false;
    ringPhase_ = (ringPhase_ + 1) % 16;
    const double factor = 1 + 0.16 * (ringPhase_ < 8 ? ringPhase_ * 0.125 : (15 - ringPhase_) / 7.0);
    const QSize size(int(std::lround(callRest_.width() * factor)), int(std::lround(callRest_.height() * factor)));
    QRect pulsed(QPoint(0, 0), size);
    pulsed.moveCenter(callRest_.center());
    call_->setGeometry(pulsed);
}

void MainWindow::stopRinging() {
    ringTimer_->stop();
    flashing_ = false;
    ringPhase_ = 0;
    layoutButtons();
    call_->setGeometry(callRest_);
}

int MainWindow::clockSeconds(bool& limit) const {
    limit = false;
    int64_t start = 0;
    CallState state;
    {
        auto g = lockPhone();
        state = g.state.callState;
        start = g.state.callStart;
    }
    if ((state == CallState::Talking || state == CallState::LeavingMessage) && start > 0) {
        limit = state == CallState::LeavingMessage;
        return int(std::max<int64_t>(0, nowSeconds() - start));
    }
    if (playbackClock().playing) return int(std::max<int64_t>(0, playbackSeconds()));
    return -1;
}

void MainWindow::clockTick() {
    const bool blink = blinkPhase();
    const bool flipped = blink != blinkOn_;
    blinkOn_ = blink;
    bool limit = false;
    const int secs = clockSeconds(limit);
    const bool incoming = lockPhoneBrief().state.callState == CallState::Incoming;
    if (secs != shownClock_ || (incoming && flipped)) {
        shownClock_ = secs;
        update(0, 0, width(), scaled(kHeader, dpi_));
    }
    if (phoneFlags().lamp) {
        if (flipped) lamp_->setLit(blink);
    } else {
        lamp_->setLit(false);
    }
    // The accept path leaves its news to this tick; the clock speaks once a second.
    syncControls();
}

HeaderLines MainWindow::headerLines() const {
    const WalletView wallet = published_wallet();
    HeaderLines lines;
    bool limit = false;
    const int secs = clockSeconds(limit);
    auto g = lockPhone();
    const PhoneState& s = g.state;
    if (wallet.connected)
        lines.connection = QString::fromStdString(balanceText(wallet.handle, wallet.balanceSats, s.settings.bsv));
    if (lines.connection.isEmpty() && wallet.connected) lines.connection = QString::fromStdString(wallet.handle);
    const bool incoming = s.callState == CallState::Incoming;
    if (incoming || s.caption.empty()) lines.caption = "Ready";
    else if (s.callState == CallState::Talking && !s.peerHandle.empty())
        lines.caption = "Talking with  " + QString::fromStdString(s.peerHandle);  // not "Calling" once they answer
    else lines.caption = QString::fromStdString(s.caption);
    if (incoming) {
        lines.main = s.peerHandle.empty() ? QString("Incoming call") : QString::fromStdString(s.peerHandle) + " is calling";
    } else if (secs >= 0) {
        lines.main = clockText(secs) + (limit ? "  /  1:00" : "");
    } else {
        lines.main = QString::fromStdString(s.statusText);
    }
    if (handle_->text().isEmpty()) lines.hint = "Type in a handle to call";
    return lines;
}

void MainWindow::paintEvent(QPaintEvent*) {
    const HeaderLines lines = headerLines();
    bool limit = false;
    const bool clock = clockSeconds(limit) >= 0;
    const ThemePalette& p = currentPalette();
    const int theme = lockPhoneBrief().state.settings.theme;
    const CallState state = lockPhoneBrief().state.callState;
    const bool answerphoneOn = lockPhoneBrief().state.boxes.answerphone;

    QPainter g(this);
    g.setRenderHint(QPainter::Antialiasing);
    g.setRenderHint(QPainter::TextAntialiasing);
    g.fillRect(rect(), p[kBackground]);

    // Header.
    const QRect header(0, 0, width(), scaled(kHeader, dpi_));
    QLinearGradient shade(header.topLeft(), header.bottomRight());
    shade.setColorAt(0, p[kHeaderTop]);
    shade.setColorAt(1, p[kHeaderBottom]);
    g.fillRect(header, shade);
    g.setPen(QPen(p[kOutline], 1));
    g.drawLine(header.bottomLeft(), header.bottomRight());
    drawLogo(g, QRectF(px(16, 12, 46, 46)), theme);
    g.setPen(p[kTextBright]);
    g.setFont(titleFont(scaled(28, dpi_)));
    g.drawText(px(70, 14, 180, 40), Qt::AlignLeft | Qt::AlignVCenter, "Dialo");

    g.setFont(uiFont(scaled(15, dpi_)));
    g.setPen(p[kText]);
    const QRect connection = px(kConnectionLine.x, kConnectionLine.y, kConnectionLine.w, kConnectionLine.h);
    g.drawText(connection, Qt::AlignRight | Qt::AlignVCenter,
               g.fontMetrics().elidedText(lines.connection, Qt::ElideMiddle, connection.width()));

    g.setPen(state == CallState::Talking ? p[kTextBright] : p[kTextSoft]);
    g.drawText(px(kCaptionLine.x, kCaptionLine.y, kCaptionLine.w, kCaptionLine.h), Qt::AlignLeft | Qt::AlignVCenter,
               lines.caption);

    const QRect main = px(kMainLine.x, kMainLine.y, kMainLine.w, kMainLine.h);
    if (state == CallState::Incoming) {
        g.setFont(uiFont(scaled(20, dpi_)));
        g.setPen(blinkPhase() ? amberColour() : QColor(Qt::white));
        g.drawText(main, Qt::AlignLeft | Qt::AlignVCenter, lines.main);
    } else if (clock) {
        g.setFont(uiFont(scaled(22, dpi_)));
        g.setPen(p[kTextBright]);
        g.drawText(main, Qt::AlignLeft | Qt::AlignVCenter, lines.main);
    } else {
        g.setFont(uiFont(scaled(15, dpi_)));
        g.setPen(p[kText]);
        g.drawText(main, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap, lines.main);
    }

    // The handle field's surround and the hint above it.
    const QRect field = px(kHandle.x, kHandle.y, kHandle.w, kHandle.h);
    QPainterPath frame;
    frame.addRoundedRect(QRectF(field), scaled(10, dpi_), scaled(10, dpi_));
    g.fillPath(frame, p[kEditBackground]);
    if (handle_->hasFocus()) g.setPen(QPen(editTextColour(), scaled(2, dpi_)));
    else g.setPen(QPen(p[kEditFrame].lighter(160), 1.2));
    g.drawPath(frame);
    if (!lines.hint.isEmpty()) {
        g.setFont(uiFont(scaled(13, dpi_)));
        g.setPen(p[kTextSoft]);
        g.drawText(px(kHint.x, kHint.y, kHint.w, kHint.h), Qt::AlignLeft | Qt::AlignVCenter, lines.hint);
    }

    // Labels of the bottom band.
    g.setFont(uiFont(scaled(13, dpi_)));
    g.setPen(editTextColour());
    g.drawText(px(kContactsLabel.x, kContactsLabel.y, kContactsLabel.w, kContactsLabel.h), Qt::AlignCenter,
               "Contacts");
    const QRect tape = px(kTapeLabel.x, kTapeLabel.y, kTapeLabel.w, kTapeLabel.h);
    const QString word = "Answer-phone ", onOff = answerphoneOn ? "on" : "off";
    const int total = g.fontMetrics().horizontalAdvance(word + onOff);
    const int left = tape.center().x() - total / 2;
    g.drawText(QRect(left, tape.y(), total, tape.height()), Qt::AlignLeft | Qt::AlignVCenter, word);
    g.setPen(answerphoneOn ? onColour() : offColour());
    g.drawText(QRect(left + g.fontMetrics().horizontalAdvance(word), tape.y(), total, tape.height()),
               Qt::AlignLeft | Qt::AlignVCenter, onOff);
}

QPoint MainWindow::placedOnScreen(const QRect& window) {
    const QScreen* near = nearestScreen(window);
    return near ? clampedPosition(window, near->availableGeometry()) : window.topLeft();
}

void MainWindow::moveToSavedPosition() {
    const CardPosition saved = lockPhoneBrief().state.settings.mainPos;
    if (saved.valid) move(placedOnScreen(QRect(QPoint(saved.x, saved.y), frameGeometry().size())));
}

void MainWindow::savePosition() {
    if (isMinimized()) return;
    const QPoint at = frameGeometry().topLeft();
    auto g = lockPhone();
    g.state.settings.mainPos = {at.x(), at.y(), true};
    save_phone_store(g.state);
}

void MainWindow::closeEvent(QCloseEvent* e) {
    savePosition();
    e->accept();
}

void MainWindow::changeEvent(QEvent* e) {
    // Restored from the task bar while ringing: the pulse takes over from the flash.
    if (e->type() == QEvent::WindowStateChange && !isMinimized()) flashing_ = false;
    QWidget::changeEvent(e);
}

}  // namespace dialo
