#include "ui/card_window.h"

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QScrollBar>
#include <QShortcut>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>

#include "app/update_check.h"
#include "audio/capture.h"
#include "audio/devices.h"
#include "audio/gsm.h"
#include "audio/playback.h"
#include "audio/wav.h"
#include "base/config.h"
#include "call/live_sender.h"
#include "base/detached.h"
#include "base/text.h"
#include "platform/autostart.h"
#include "state/amount.h"
#include "state/phone_state.h"
#include "state/ui_bridge.h"
#include "store/handle_switch.h"
#include "store/messages.h"
#include "store/phone_store.h"
#include "ui/actions.h"
#include "ui/avatar.h"
#include "ui/logo.h"
#include "ui/main_window.h"
#include "ui/palette.h"
#include "ui/phone_button.h"
#include "ui/ui_events.h"
#include "vaultra/identity_lookup.h"
#include "wallet/contacts.h"
#include "wallet/published.h"

namespace dialo {
namespace {

QPointer<CardWindow> gCard;
std::mutex gPressMutex;  // the playback presses that workers carry out, one at a time
// Stop presses so far, counted on the GUI thread: a Play whose worker comes after a later
// Stop's plays nothing.
std::atomic<uint64_t> gStops{0};

struct KindInfo {
    const char* title;
    int width, height;  // client size at 96 DPI
};
const KindInfo kKinds[8] = {{"Dialo", 460, 460},        {"Contacts", 460, 460},     {"Answer-phone", 460, 460},
                            {"Saved messages", 460, 460}, {"Settings", 280, 460},   {"Call history", 460, 520},
                            {"Fee list", 460, 420},      {"Blocked", 460, 460}};

const char* const kFees[4][2] = {
    {"Connecting", "1p in BSV, at the rate. Miner fee, 100 sats per kb."},
    {"Talking", "Miner fee, 1 sat per kb, plus 2 sats."},
    {"A message", "Miner fee, 100 sats per kb, plus 2 sats."},
    {"Ring, answer, hang-up", "Miner fee, 1 sat per kb, plus 2 sats."},
};

const char* notifyText(int mode) {
    static const char* const texts[] = {"Notifications all", "Notifications sound", "Notifications vibrate",
                                        "Notifications off"};
    return texts[mode >= 0 && mode <= 3 ? mode : 0];
}

QString volumeText(int volume) {
    const bool known = volume == 50 || volume == 100 || volume == 150 || volume == 200;
    return QString("Volume %1%").arg(known ? volume : 100);
}

// The live chunk's length and what a minute of talk costs at it.
QString delayText(uint32_t chunkMs) {
    return QString("Call delay %1 s (%2 sats/min)")
        .arg(double(chunkMs) / 1000.0, 0, 'g', 3)
        .arg(qlonglong(liveCostPerMinute(chunkMs).sats));
}

// The lengths the button steps through, longest first; one set in the file steps to the next
// shorter one.
constexpr uint32_t kDelaySteps[] = {800, 400, 300, 200};

uint32_t nextDelay(uint32_t now) {
    for (uint32_t ms : kDelaySteps)
        if (ms < now) return ms;
    return kDelaySteps[0];
}

QString lengthText(int64_t seconds) {
    seconds = std::max<int64_t>(0, seconds);
    return QString("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QChar('0'));
}

QString when(int64_t ts) { return QString::fromStdString(formatMessageTime(ts)); }

QString explorerPage(const std::string& txid) {
    return QString::fromStdString(networkConfig().explorerBase + "/tx/" + txid);
}

// Runs `then` on the GUI thread with the card, when one is still open.
void onCard(std::function<void(CardWindow&)> then) {
    QMetaObject::invokeMethod(qApp, [then = std::move(then)] {
        if (CardWindow* card = openCard()) then(*card);
    }, Qt::QueuedConnection);
}

// "1 event", "2 events".
QString counted(int64_t n, const char* one, const char* many) {
    return QString("%1 %2").arg(n).arg(n == 1 ? one : many);
}

// How often the microphone's level is read while the Settings card shows, milliseconds.
constexpr int kLevelPollMs = 100;

// The microphone's loudest recent sample as a bar, so that a silent microphone shows as one.
class LevelMeter : public QWidget {
public:
    explicit LevelMeter(QWidget* parent) : QWidget(parent) {
        setObjectName("mic-level");
        setAccessibleName("Microphone level");
        poll_ = new QTimer(this);
        poll_->setInterval(kLevelPollMs);
        QObject::connect(poll_, &QTimer::timeout, this, [this] { setLevel(micPeakLevel()); });
    }
    void setPolling(bool on) { on ? poll_->start() : poll_->stop(); }
    bool polling() const { return poll_->isActive(); }
    int level() const { return level_; }

protected:
    void paintEvent(QPaintEvent*) override {
        const ThemePalette& p = currentPalette();
        QPainter g(this);
        g.setRenderHint(QPainter::Antialiasing);
        const QRectF box = QRectF(rect()).adjusted(1, 1, -1, -1);
        g.setPen(QPen(p[kOutline], 1));
        g.setBrush(p[kEditBackground]);
        g.drawRoundedRect(box, 4, 4);
        const double share = std::clamp(level_ / 100.0, 0.0, 1.0);
        if (share > 0) {
            g.setPen(Qt::NoPen);
            g.setBrush(level_ >= 95 ? offColour() : onColour());
            g.drawRoundedRect(QRectF(box.left() + 2, box.top() + 2, (box.width() - 4) * share, box.height() - 4), 3, 3);
        }
        g.setPen(p[kText]);
        g.setFont(uiFont(std::max(9, height() / 2)));
        g.drawText(box, Qt::AlignCenter, "Mic level");
    }

private:
    void setLevel(int peak) {
        // Percent of full scale; speech at a normal distance reads about a third.
        const int percent = int(std::clamp(peak, 0, 32767) * 100LL / 32767);
        if (percent == level_) return;
        level_ = percent;
        setAccessibleDescription(QString("%1%").arg(percent));
        QAccessibleValueChangeEvent changed(this, percent);
        QAccessible::updateAccessibility(&changed);
        update();
    }

    QTimer* poll_;
    int level_ = 0;
};

// Rows drawn from the theme: a title, a quieter second line, and a contact's picture.
class RowDelegate : public QStyledItemDelegate {
public:
    RowDelegate(const CardWindow* card, QObject* parent) : QStyledItemDelegate(parent), card_(card) {}

    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override {
        const int dpi = phoneFlags().dpi;
        const int kind = card_->kind();
        const int h = kind == CardAnswerPhone || kind == CardSaved ? 68 : kind == CardHistory ? 86 : 52;
        return {1, (h * dpi + 48) / 96};
    }

    void paint(QPainter* g, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const ThemePalette& p = currentPalette();
        const int dpi = phoneFlags().dpi;
        const QRect r = option.rect.adjusted(2, 2, -2, -2);
        g->save();
        g->setRenderHint(QPainter::Antialiasing);
        const bool selected = option.state & QStyle::State_Selected;
        g->setPen(Qt::NoPen);
        g->setBrush(selected ? p[kAccent].darker(140) : p[kBand]);
        g->drawRoundedRect(r, 8, 8);
        if ((option.state & QStyle::State_HasFocus) && (option.state & QStyle::State_Active)) {
            // The row the keyboard is on, as the main window marks its focus.
            const int ring = std::max(2, 2 * dpi / 96);
            g->setPen(QPen(editTextColour(), ring));
            g->setBrush(Qt::NoBrush);
            g->drawRoundedRect(QRectF(r).adjusted(ring / 2.0, ring / 2.0, -ring / 2.0, -ring / 2.0), 8, 8);
        }
        int left = r.left() + 12 * dpi / 96;
        const QImage avatar = index.data(kRowAvatar).value<QImage>();
        if (!avatar.isNull()) {
            const int d = r.height() - 12;
            const QRect at(left, r.top() + 6, d, d);
            g->drawImage(at, avatar.scaled(at.size(), Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation));
            left += d + 10;
        }
        const QRect text(left, r.top(), r.right() - left - 8, r.height());
        const QString detail = index.data(kRowDetail).toString();
        g->setPen(index.flags() & Qt::ItemIsSelectable ? p[kText] : p[kTextSoft]);
        g->setFont(uiFont((15 * dpi + 48) / 96));
        g->drawText(detail.isEmpty() ? text : text.adjusted(0, 6, 0, -r.height() / 2),
                    Qt::AlignLeft | (detail.isEmpty() ? Qt::AlignVCenter : Qt::AlignBottom),
                    index.data(Qt::DisplayRole).toString());
        if (!detail.isEmpty()) {
            g->setPen(p[kTextSoft]);
            g->setFont(uiFont((13 * dpi + 48) / 96));
            g->drawText(text.adjusted(0, r.height() / 2 + 2, 0, 0), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                        detail);
        }
        g->restore();
    }

private:
    const CardWindow* card_;
};

}  // namespace

CardWindow::CardWindow(MainWindow* main) : QWidget(main, Qt::Tool), main_(main) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle("Dialo");
    setWindowIcon(logoIcon());

    list_ = new QListWidget(this);
    list_->setObjectName("list");
    list_->setItemDelegate(new RowDelegate(this, list_));
    list_->setFrameShape(QFrame::NoFrame);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    list_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    QObject::connect(list_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) { rowMenu(at); });
    QObject::connect(list_, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) {
        if (kind_ == CardHistory) showReceipt(item->data(kRowId).toString());
        else if (kind_ == CardAnswerPhone || kind_ == CardSaved) play();
        else if (kind_ == CardContacts) useContact();
    });

    field_ = new QLineEdit(this);
    field_->setObjectName("card-handle");
    field_->setPlaceholderText("handle");
    QObject::connect(field_, &QLineEdit::returnPressed, this, [this] { kind_ == CardBlocked ? block() : addContact(); });

    version_ = new QLabel(this);
    version_->setObjectName("version");
    version_->setTextFormat(Qt::RichText);
    version_->setWordWrap(true);
    version_->setAlignment(Qt::AlignCenter);
    QObject::connect(version_, &QLabel::linkActivated, this, [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); });

    auto button = [this](const char* name, const char* text, std::function<void()> action) {
        auto* b = new PhoneButton(text, PhoneButton::Kind::Plain, this);
        b->setObjectName(name);
        QObject::connect(b, &QAbstractButton::clicked, this, std::move(action));
        buttons_[name] = b;
    };
    button("use", "Use", [this] { useContact(); });
    button("add", "Add", [this] { addContact(); });
    button("remove", "Remove", [this] { removeContact(); });
    button("play", "Play", [this] { play(); });
    button("pause", "Pause", [this] { togglePause(); });
    button("stop", "Stop", [this] { stop(); });
    button("save", "Save", [this] { saveMessage(); });
    button("delete", "Delete", [this] { deleteMessage(); });
    button("export", "Export", [this] { exportMessage(); });
    button("answerphone-toggle", "Answer-phone off", [this] {
        toggleAnswerPhone();
        refreshAnswerPhoneLabel();
        main_->update();
    });
    button("saved", "Saved msgs", [this] { open(CardSaved); });
    button("history", "Call history", [this] { open(CardHistory); });
    button("close", "Close", [this] { close(); });
    button("calls-to", "Calls to", [this] {
        filter_ = filter_ == 1 ? 0 : 1;
        fill();
    });
    button("calls-from", "Calls from", [this] {
        filter_ = filter_ == 2 ? 0 : 2;
        fill();
    });
    button("show-all", "Show all", [this] {
        showAll_ = !showAll_;
        if (showAll_) status("Hidden calls are listed.");
        fill();
    });
    button("hide", "Hide", [this] { hideCall(); });
    for (int theme = 0; theme < 4; ++theme) {
        const std::string name = "theme" + std::to_string(theme);
        button(name.c_str(), themeName(theme), [this, theme] {
            {
                auto g = lockPhone();
                g.state.settings.theme = theme;
                save_phone_store(g.state);
            }
            main_->applyTheme();
            refreshLabels();
            update();
        });
    }
    button("notify", notifyText(0), [this] {
        {
            auto g = lockPhone();
            g.state.settings.notify = (g.state.settings.notify + 1) % 4;
            save_phone_store(g.state);
        }
        refreshLabels();
    });
    button("unit", "Show bsv", [this] {
        {
            auto g = lockPhone();
            g.state.settings.bsv = !g.state.settings.bsv;
            save_phone_store(g.state);
        }
        refreshLabels();
        main_->update();  // the balance in the header changes its unit
    });
    button("startup", "Add to Startup", [this] {
        std::string error;
        if (!toggleStartup(error)) status(error);
        refreshLabels();
    });
    button("output", "Output: none", [this] { chooseDevice(DeviceMenu::Output); });
    button("input", "Microphone: default", [this] { chooseDevice(DeviceMenu::Input); });
    button("volume", "Volume 100%", [this] {
        const int now = phoneFlags().volume;
        const int next = now == 50 ? 100 : now == 100 ? 150 : now == 150 ? 200 : 50;
        phoneFlags().volume = next;
        {
            auto g = lockPhone();
            save_phone_store(g.state);
        }
        refreshLabels();
    });
    button("delay", "Call delay", [this] {
        (void)setChunkMs(nextDelay(audioConfig().chunkMs));
        {
            auto g = lockPhone();
            save_phone_store(g.state);
        }
        refreshLabels();
    });
    button("fees", "Fee list", [this] { open(CardFees); });
    button("blocked", "Blocked", [this] { open(CardBlocked); });
    button("block", "Block", [this] { block(); });
    button("unblock", "Unblock", [this] { unblock(); });
    level_ = new LevelMeter(this);
    level_->hide();
    QObject::connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this,
                     [this] { close(); });

    routeUiMessages(UiTarget::Cards, this);
}

CardWindow::~CardWindow() { routeUiMessages(UiTarget::Cards, nullptr); }

int CardWindow::scaled(int length) const { return MainWindow::scaled(length, phoneFlags().dpi); }

void CardWindow::open(int kind) {
    if (kind < 1 || kind > kCardKinds) return;
    const bool same = kind == kind_ && isVisible();
    if (!same) {
        savePosition();
        kind_ = kind;
        setWindowTitle(kKinds[kind].title);
        setFixedSize(scaled(kKinds[kind].width), scaled(kKinds[kind].height));
        const CardPosition pos = lockPhoneBrief().state.settings.cardPos[size_t(kind)];
        if (pos.valid) move(MainWindow::placedOnScreen(QRect(QPoint(pos.x, pos.y), frameGeometry().size())));
        layoutKind();
    }
    refreshLabels();
    fill();
    show();
    raise();
    activateWindow();
    if (kind == CardContacts) loadContacts();
    if (kind == CardContacts || kind == CardBlocked) field_->setFocus();
    else list_->setFocus();
    showLevel(kind == CardSettings);
    if (kind == CardSettings) {
        readOutputLabel();
        readInputLabel();
    }
}

void CardWindow::showLevel(bool on) {
    auto* meter = static_cast<LevelMeter*>(level_);
    if (meter->polling() == on) return;
    meter->setPolling(on);
    // The level shows only while the microphone is open, and the microphone stays open for it
    // no longer than it shows. Opening it may take the sound server a while.
    wantCaptureForMeter(on);
    detached([] { (void)applyMeterCapture(); });
}

void CardWindow::hideEvent(QHideEvent* e) {
    showLevel(false);
    QWidget::hideEvent(e);
}

void CardWindow::returnToStoredPosition() {
    if (kind_ < 1 || kind_ > kCardKinds) return;
    const CardPosition pos = lockPhoneBrief().state.settings.cardPos[size_t(kind_)];
    if (pos.valid) move(MainWindow::placedOnScreen(QRect(QPoint(pos.x, pos.y), frameGeometry().size())));
}

void CardWindow::rereadDeviceLabels() {
    if (kind_ != CardSettings || !isVisible()) return;
    readOutputLabel();
    readInputLabel();
}

void CardWindow::readOutputLabel() {
    // A round trip to the sound server: never on this thread.
    detached([] {
        const QString label = QString::fromStdString(outputLabel());
        onCard([label](CardWindow& card) {
            card.outputLabel_ = label;
            card.buttons_.at("output")->setText(label);
        });
    });
}

void CardWindow::layoutKind() {
    for (auto& [name, b] : buttons_) b->hide();
    field_->hide();
    field_->setFont(uiFont(scaled(15)));
    version_->hide();
    level_->hide();
    list_->setVisible(kind_ != CardSettings);
    const int w = kKinds[kind_].width, h = kKinds[kind_].height, margin = 12, gap = 8, row = 36;

    // Rows of buttons from the bottom up; a row's buttons share its width.
    std::vector<std::vector<const char*>> rows;
    bool withField = false;
    switch (kind_) {
        case CardContacts: rows = {{"use", "remove", "close"}}; withField = true; break;
        case CardAnswerPhone:
            rows = {{"play", "pause", "stop"}, {"save", "delete", "export"}, {"answerphone-toggle", "saved", "history"},
                    {"close"}};
            break;
        case CardSaved: rows = {{"play", "pause", "stop"}, {"delete", "export", "close"}}; break;
        case CardHistory: rows = {{"calls-to", "calls-from", "show-all", "hide"}, {"close"}}; break;
        case CardFees: rows = {{"close"}}; break;
        case CardBlocked: rows = {{"unblock", "close"}}; withField = true; break;
        case CardSettings:
            rows = {{"theme0", "theme1"}, {"theme2", "theme3"}, {"notify"}, {"unit"}, {"startup"}, {"output"},
                    {"input"}, {"volume", "volume"}, {"delay"}, {"fees", "blocked"}, {"close"}};
            break;
        default: break;
    }
    auto placeRow = [&](const std::vector<const char*>& names, int y, int left, int width) {
        const int n = int(names.size());
        const int each = (width - gap * (n - 1)) / n;
        for (int i = 0; i < n; ++i) {
            PhoneButton* b = buttons_.at(names[size_t(i)]);
            b->setGeometry(scaled(left + i * (each + gap)), scaled(y), scaled(each), scaled(row));
            b->show();
        }
    };
    if (kind_ == CardSettings) {
        const int settingsRow = 30;
        int y = margin;
        for (size_t i = 0; i + 1 < rows.size(); ++i, y += settingsRow + 5) {
            placeRow(rows[i], y, margin, w - 2 * margin);
            for (const char* name : rows[i]) {
                PhoneButton* b = buttons_.at(name);
                b->setGeometry(b->x(), b->y(), b->width(), scaled(settingsRow));
            }
            if (rows[i].front() == std::string("volume")) {
                // The volume beside the microphone's level: what is heard and what is sent.
                PhoneButton* volume = buttons_.at("volume");
                const QRect half = volume->geometry();
                level_->setGeometry(half);
                level_->show();
                volume->setGeometry(QRect(scaled(margin), half.y(), half.left() - scaled(margin + gap), half.height()));
            }
        }
        version_->setGeometry(scaled(margin), scaled(y), scaled(w - 2 * margin), scaled(h - y - margin - row - gap));
        version_->show();
        placeRow(rows.back(), h - margin - row, margin, w - 2 * margin);
        return;
    }
    int y = h - margin - row;
    for (auto it = rows.rbegin(); it != rows.rend(); ++it, y -= row + gap) placeRow(*it, y, margin, w - 2 * margin);
    if (withField) {
        const char* action = kind_ == CardBlocked ? "block" : "add";
        field_->setGeometry(scaled(margin), scaled(y), scaled(w - 2 * margin - 100 - gap), scaled(row));
        field_->show();
        placeRow({action}, y, w - margin - 100, 100);
        y -= row + gap;
    }
    list_->setGeometry(scaled(margin), scaled(margin), scaled(w - 2 * margin), scaled(y + row - margin));
}

void CardWindow::refreshLabels() {
    PhoneSettings settings;
    bool answerphone;
    {
        auto g = lockPhone();
        settings = g.state.settings;
        answerphone = g.state.boxes.answerphone;
    }
    (void)answerphone;
    refreshAnswerPhoneLabel();
    buttons_.at("notify")->setText(notifyText(settings.notify));
    buttons_.at("unit")->setText(settings.bsv ? "Show sats" : "Show bsv");
    buttons_.at("startup")->setText(registeredForStartup() ? "Remove from Startup" : "Add to Startup");
    buttons_.at("volume")->setText(volumeText(phoneFlags().volume));
    buttons_.at("delay")->setText(delayText(audioConfig().chunkMs));
    for (int theme = 0; theme < 4; ++theme)
        buttons_.at("theme" + std::to_string(theme))->setLit(theme == (settings.theme >= 0 && settings.theme <= 3 ? settings.theme : 0));
    buttons_.at("output")->setText(outputLabel_);
    buttons_.at("input")->setText(inputLabel_);
    const PlaybackClock clock = playbackClock();
    buttons_.at("play")->setText(clock.playing ? "Playing" : "Play");
    buttons_.at("pause")->setText(clock.paused ? "Resume" : "Pause");

    const ThemePalette& p = currentPalette();
    const QString link = QString("<a style=\"color:%1\" href=\"%2\">%3</a>");
    QString version = QString("Version %1").arg(kBuildVersion / 1000.0, 0, 'f', 3);
    const QString page = QString::fromStdString(updatePageUrl()).toHtmlEscaped();
    if (updateAvailable()) version += "<br><b>Update available</b><br>" + link.arg(p[kTextBright].name(), page, page);
    const QString home = QString::fromStdString(networkConfig().updateBase + "/").toHtmlEscaped();
    version += "<br>" + link.arg(p[kTextBright].name(), home, "Home page");
    version_->setText(version);
    QPalette text = version_->palette();
    text.setColor(QPalette::WindowText, p[kText]);
    version_->setPalette(text);
    QPalette rows = list_->palette();
    rows.setColor(QPalette::Base, p[kBackground]);
    rows.setColor(QPalette::Window, p[kBackground]);
    list_->setPalette(rows);
    field_->setPalette(QPalette(editTextColour(), p[kEditBackground], p[kButton], p[kButtonEdge], p[kOutline],
                                editTextColour(), editTextColour(), p[kEditBackground], p[kBackground]));
    update();
}

void CardWindow::refreshAnswerPhoneLabel() {
    const bool on = lockPhoneBrief().state.boxes.answerphone;
    buttons_.at("answerphone-toggle")->setText(on ? "Answer-phone on" : "Answer-phone off");
}

void CardWindow::addRow(const QString& title, const QString& detail, const QString& id, const QString& txid) {
    auto* item = new QListWidgetItem(title, list_);
    // A screen reader reads the whole row, not only its title.
    item->setData(Qt::AccessibleTextRole, detail.isEmpty() ? title : title + ", " + detail.simplified());
    item->setData(Qt::AccessibleDescriptionRole, detail.simplified());
    item->setData(kRowDetail, detail);
    item->setData(kRowId, id);
    item->setData(kRowTxid, txid);
}

void CardWindow::showEmpty(const QString& text) {
    auto* item = new QListWidgetItem(text, list_);
    item->setFlags(Qt::ItemIsEnabled);
}

QString CardWindow::callKey(const CallRecord& c) {
    return QString("%1|%2|%3|%4|%5")
        .arg(c.ts)
        .arg(QString::fromStdString(c.from), QString::fromStdString(c.to), QString::fromStdString(c.id),
             QString::fromStdString(c.txid));
}

void CardWindow::fill() {
    // A refill (a call arriving, a picture loading) keeps the user's place and choice.
    QListWidgetItem* was = selectedRow();
    const QVariant selected = was ? was->data(kRowId) : QVariant();
    const int scroll = list_->verticalScrollBar() ? list_->verticalScrollBar()->value() : 0;
    struct Restore {
        CardWindow* card;
        QVariant selected;
        int scroll;
        ~Restore() {
            for (int i = 0; selected.isValid() && i < card->list_->count(); ++i) {
                QListWidgetItem* item = card->list_->item(i);
                if ((item->flags() & Qt::ItemIsSelectable) && item->data(kRowId) == selected) {
                    card->list_->setCurrentItem(item);
                    break;
                }
            }
            card->list_->verticalScrollBar()->setValue(scroll);
        }
    } restore{this, selected, scroll};
    list_->clear();
    const bool connected = published_wallet().connected;
    auto g = lockPhone();
    const PhoneState& s = g.state;
    switch (kind_) {
        case CardContacts: {
            for (const Contact& c : contacts_) {
                addRow(QString::fromStdString(c.dest), QString::fromStdString(c.note), QString::fromStdString(c.dest));
                const QImage avatar = avatarPicture(avatar_for(c.dest));
                if (!avatar.isNull()) list_->item(list_->count() - 1)->setData(kRowAvatar, avatar);
            }
            if (contacts_.empty()) showEmpty("No contacts yet.");
            break;
        }
        case CardAnswerPhone:
            for (const InboxMessage& m : s.boxes.inbox)
                addRow("from " + QString::fromStdString(m.from.empty() ? "someone" : m.from),
                       when(m.ts) + "    " + lengthText(m.secs), QString::fromStdString(m.id),
                       QString::fromStdString(m.txid));
            if (s.boxes.inbox.empty()) showEmpty(connected ? "No messages yet." : "Connect Vaultra as the recipient.");
            break;
        case CardSaved:
            for (const SavedMessage& m : s.boxes.saved)
                addRow("from " + QString::fromStdString(m.from.empty() ? "someone" : m.from),
                       QString("Message %1    %2").arg(m.n).arg(lengthText(int64_t(m.audio.size() / kGsmBytesPerSecond))),
                       QString::fromStdString(m.id), QString::fromStdString(m.txid));
            if (s.boxes.saved.empty()) showEmpty("No saved messages.");
            break;
        case CardHistory: {
            int shown = 0;
            for (size_t i = s.boxes.calls.size(); i-- > 0;) {  // newest first
                const CallRecord& c = s.boxes.calls[i];
                const bool made = sameHandle(c.from, s.ownHandle) || (s.ownHandle.empty() && !c.missed);
                if ((filter_ == 1 && !made) || (filter_ == 2 && made) || (c.hide && !showAll_)) continue;
                QString title, detail = when(c.ts);
                if (c.missed) {
                    title = made ? "Missed call to " + QString::fromStdString(c.to)
                                 : "Missed call from " + QString::fromStdString(c.from);
                } else {
                    title = QString::fromStdString(c.from) + "   to   " + QString::fromStdString(c.to);
                    detail += "    " + counted(c.secs, "second", "seconds") + "    ";
                    if (c.sats > 0) detail += QString::fromStdString(formatAmount(c.sats, s.settings.bsv));
                }
                if (c.hide) detail += "    hidden";
                addRow(title, detail, callKey(c), QString::fromStdString(c.txid));
                ++shown;
            }
            if (shown == 0) showEmpty(s.boxes.calls.empty() ? "No calls yet." : "No calls in this filter.");
            buttons_.at("calls-to")->setLit(filter_ == 1);
            buttons_.at("calls-from")->setLit(filter_ == 2);
            buttons_.at("show-all")->setLit(showAll_);
            break;
        }
        case CardFees:
            for (const auto& fee : kFees) {
                addRow(fee[0], fee[1], fee[0]);
                list_->item(list_->count() - 1)->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            }
            break;
        case CardBlocked:
            for (const std::string& h : s.boxes.blocked) addRow(QString::fromStdString(h), {}, QString::fromStdString(h));
            if (s.boxes.blocked.empty()) showEmpty("No one is blocked.");
            break;
        default: break;
    }
}

bool CardWindow::event(QEvent* e) {
    if (e->type() == uiEventType()) {
        switch (static_cast<UiEvent*>(e)->message) {
            case UiMessage::CardsRefresh:
                refreshAnswerPhoneLabel();  // the main window's lamp may have turned it
                if (kind_ == CardAnswerPhone || kind_ == CardSaved || kind_ == CardHistory) fill();
                break;
            case UiMessage::PlaybackEnded:
                buttons_.at("play")->setText("Play");
                buttons_.at("pause")->setText("Pause");
                break;
            case UiMessage::AvatarReady:
                // Contacts come from a worker's reading of the wallet, and pictures as they load.
                if (kind_ == CardContacts) fill();
                list_->viewport()->update();
                break;
            default: break;
        }
        return true;
    }
    return QWidget::event(e);
}

void CardWindow::paintEvent(QPaintEvent*) {
    QPainter g(this);
    g.fillRect(rect(), currentPalette()[kBackground]);
}

void CardWindow::savePosition() {
    if (kind_ < 1 || kind_ > kCardKinds || !isVisible() || isMinimized()) return;
    const QPoint at = frameGeometry().topLeft();
    auto g = lockPhone();
    g.state.settings.cardPos[size_t(kind_)] = {at.x(), at.y(), true};
    save_phone_store(g.state);
}

void CardWindow::closeEvent(QCloseEvent* e) {
    savePosition();
    kind_ = 0;
    e->accept();
}

QListWidgetItem* CardWindow::selectedRow() const {
    QListWidgetItem* item = list_->currentItem();
    return item && (item->flags() & Qt::ItemIsSelectable) && item->isSelected() ? item : nullptr;
}

void CardWindow::status(const std::string& text) {
    setStatus(text);  // posts the main window's refresh
}

void CardWindow::rowMenu(const QPoint& at) {
    QListWidgetItem* item = list_->itemAt(at);
    if (!item || !(item->flags() & Qt::ItemIsSelectable)) return;
    if (kind_ != CardHistory && kind_ != CardAnswerPhone && kind_ != CardSaved) return;
    // Read now: a refill while the menu is up deletes the row.
    const QString txid = item->data(kRowTxid).toString();
    const QString key = item->data(kRowId).toString();
    item = nullptr;
    if (txid.size() != 64) {
        status(kind_ == CardHistory ? "That call has no transaction." : "That message has no transaction.");
        return;
    }
    QMenu menu(this);
    menu.setStyleSheet(popupStyleSheet());
    QAction* page = menu.addAction(txid);
    QAction* receipt = kind_ == CardHistory ? menu.addAction("Receipt") : nullptr;
    QPointer<CardWindow> self(this);
    QAction* chosen = menu.exec(list_->viewport()->mapToGlobal(at));
    if (!self) return;
    if (chosen == page) QDesktopServices::openUrl(QUrl(explorerPage(txid.toStdString())));
    else if (chosen && chosen == receipt) showReceipt(key);
}

QString CardWindow::receiptText(const CallRecord& call) {
    const QString ink = currentPalette()[kTextBright].name();
    auto link = [&](const std::string& t) {
        const QString id = QString::fromStdString(t);
        return QString("<a style=\"color:%1\" href=\"%2\">%3…%4</a>")
            .arg(ink, explorerPage(t).toHtmlEscaped(), id.left(12), id.right(6));
    };
    auto links = [&](const std::vector<std::string>& txids, const std::vector<std::string>& kinds, int32_t count) {
        QString out;
        for (size_t i = 0; i < txids.size(); ++i) {
            out += "<br>";
            if (i < kinds.size() && !kinds[i].empty()) out += QString::fromStdString(kinds[i]).toHtmlEscaped() + "&nbsp;&nbsp;";
            out += link(txids[i]);
        }
        if (count > int32_t(txids.size())) out += QString("<br>and %1 more").arg(count - int32_t(txids.size()));
        return out;
    };
    const CallReceipt& r = call.receipt;
    QString text = QString("<b>%1</b> to <b>%2</b>, %3<br>")
                       .arg(QString::fromStdString(call.from).toHtmlEscaped(), QString::fromStdString(call.to).toHtmlEscaped(),
                            when(call.ts));
    // What the call took off the balance: every event's output and miner fee, and the call fee.
    text += counted(call.secs, "second", "seconds") + ", " + counted(call.sats, "sat", "sats") + " spent";
    if (!r.feeTxid.empty()) text += QString(", the call fee's %1 included").arg(r.feeSats);
    text += "<br>";
    text += QString("<p><b>%1 sent</b>%2</p>").arg(counted(r.sentCount, "event", "events"), links(r.sent, r.sentKinds, r.sentCount));
    text += QString("<p><b>%1 received</b>%2</p>")
                .arg(counted(r.heardCount, "event", "events"), links(r.heard, r.heardKinds, r.heardCount));
    if (!r.feeTxid.empty())
        text += QString("<p><b>Call fee, %1</b><br>%2</p>").arg(counted(r.feeSats, "sat", "sats"), link(r.feeTxid));
    return text;
}

void CardWindow::showReceipt(const QString& key) {
    CallRecord call;
    {
        auto g = lockPhone();
        const auto& calls = g.state.boxes.calls;
        const auto it = std::find_if(calls.begin(), calls.end(), [&](const CallRecord& c) { return callKey(c) == key; });
        if (it == calls.end()) return;
        call = *it;
    }
    QMessageBox box(QMessageBox::NoIcon, "Call receipt", receiptText(call), QMessageBox::Close, this);
    box.setTextFormat(Qt::RichText);
    box.setTextInteractionFlags(Qt::TextBrowserInteraction);
    box.setObjectName("receipt");
    box.setStyleSheet(popupStyleSheet());
    box.exec();
}

void CardWindow::play() {
    QListWidgetItem* row = selectedRow();
    const std::string id = row ? row->data(kRowId).toString().toStdString() : std::string();
    Bytes audio;
    if (row && (kind_ == CardAnswerPhone || kind_ == CardSaved)) {
        auto g = lockPhone();
        if (kind_ == CardSaved) {
            for (const SavedMessage& m : g.state.boxes.saved)
                if (m.id == id) audio = m.audio;
        } else {
            for (const InboxMessage& m : g.state.boxes.inbox)
                if (m.id == id) audio = m.audio;
        }
    }
    if (audio.empty()) return status("That row has no message.");
    if (!published_wallet().connected) return status("Connect Vaultra as the recipient.");
    // Opening the speakers waits on the sound server.
    detached([audio = std::move(audio), stops = gStops.load()] {
        std::string failure;
        {
            std::lock_guard lock(gPressMutex);
            if (gStops.load() != stops) return;
            failure = playMessage(audio);
        }
        if (!failure.empty()) return setStatus(failure);
        onCard([](CardWindow& card) {
            if (!playbackClock().playing) return;  // already played out
            card.buttons_.at("play")->setText("Playing");
            card.buttons_.at("pause")->setText("Pause");
        });
    });
}

void CardWindow::togglePause() {
    if (!playbackClock().playing) return;
    // Corking the stream is a round trip to the sound server. Presses are taken in turn, so
    // that two quick ones pause and resume.
    detached([] {
        {
            std::lock_guard lock(gPressMutex);
            dialo::togglePause();
        }
        onCard([](CardWindow& card) {
            card.buttons_.at("pause")->setText(playbackClock().paused ? "Resume" : "Pause");
        });
    });
}

void CardWindow::stop() {
    ++gStops;
    detached([] {
        {
            std::lock_guard lock(gPressMutex);
            stopPlayback();
        }
        onCard([](CardWindow& card) {
            card.buttons_.at("play")->setText("Play");
            card.buttons_.at("pause")->setText("Pause");
        });
    });
}

void CardWindow::saveMessage() {
    QListWidgetItem* row = selectedRow();
    if (!row || kind_ != CardAnswerPhone) return status("That row has no message.");
    int n;
    {
        auto g = lockPhone();
        n = save_inbox_message(g.state, row->data(kRowId).toString().toStdString());
        if (n > 0) save_phone_store(g.state);
    }
    if (n > 0) status("Saved as message " + std::to_string(n) + ".");
    fill();
}

void CardWindow::deleteMessage() {
    QListWidgetItem* row = selectedRow();
    if (!row || (kind_ != CardAnswerPhone && kind_ != CardSaved)) return status("That row has no message.");
    {
        auto g = lockPhone();
        const MessageList from = kind_ == CardSaved ? MessageList::Saved : MessageList::Inbox;
        if (delete_message(g.state, row->data(kRowId).toString().toStdString(), from)) save_phone_store(g.state);
    }
    fill();
}

void CardWindow::exportMessage() {
    QListWidgetItem* row = selectedRow();
    Bytes audio;
    if (row) {
        const std::string id = row->data(kRowId).toString().toStdString();
        auto g = lockPhone();
        for (const SavedMessage& m : g.state.boxes.saved)
            if (kind_ == CardSaved && m.id == id) audio = m.audio;
        for (const InboxMessage& m : g.state.boxes.inbox)
            if (kind_ == CardAnswerPhone && m.id == id) audio = m.audio;
    }
    if (audio.empty()) return status("That row has no message.");
    QFileDialog dialog(this, "Export the message", QDir::homePath() + "/message.wav", "WAV sound (*.wav)");
    dialog.setObjectName("export-dialog");
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix("wav");
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    const std::string path = dialog.selectedFiles().front().toStdString();
    const double seconds = exportMessageWav(path, audio);
    status(seconds < 0 ? "The file could not be written." : "Message written to " + path + ".");
}

void CardWindow::loadContacts() {
    // The contact list is kept in the wallet file, behind the lock that spends hold.
    detached([] {
        std::vector<Contact> contacts = contacts_list();
        for (const Contact& c : contacts) request_avatar(c.dest);
        QMetaObject::invokeMethod(qApp, [contacts = std::move(contacts)]() mutable {
            if (CardWindow* card = openCard()) {
                card->contacts_ = std::move(contacts);
                if (card->kind() == CardContacts) card->fill();
            }
        }, Qt::QueuedConnection);
    });
}

void CardWindow::useContact() {
    QListWidgetItem* row = selectedRow();
    if (!row || kind_ != CardContacts) return;
    main_->setTypedHandle(row->data(kRowId).toString());
}

void CardWindow::addContact() {
    if (kind_ != CardContacts) return;
    if (!published_wallet().connected) return status("Connect Vaultra first.");
    const std::string handle = lowerAscii(std::string(trimBlanks(field_->text().toStdString())));
    if (handle.empty()) return status("Type a handle to add.");
    for (const Contact& c : contacts_)
        if (sameHandle(c.dest, handle)) return status("Already in contacts.");
    detached([handle] {
        const std::string result = contact_add(handle, "");
        setStatus(result == "success" ? "Added " + handle : result);
        QMetaObject::invokeMethod(qApp, [added = result == "success"] {
            CardWindow* card = openCard();
            if (!card) return;
            if (added && card->kind() == CardContacts) {
                card->field_->clear();  // what did not go in stays for the user to mend
                card->field_->setFocus();
            }
            card->loadContacts();
        }, Qt::QueuedConnection);
    });
}

void CardWindow::removeContact() {
    QListWidgetItem* row = selectedRow();
    if (!row || kind_ != CardContacts) return status("Pick a contact first.");
    const std::string handle = row->data(kRowId).toString().toStdString();
    detached([handle] {
        const std::string result = contact_remove(handle);
        setStatus(result == "success" ? "Removed " + handle : result);
        QMetaObject::invokeMethod(qApp, [] {
            if (CardWindow* card = openCard()) card->loadContacts();
        }, Qt::QueuedConnection);
    });
}

void CardWindow::block() {
    if (kind_ != CardBlocked) return;
    const WalletView wallet = published_wallet();
    if (!wallet.connected) return status("Connect Vaultra first.");
    switch_store_handle(wallet.handle);  // the block belongs in the connected handle's store
    const std::string handle = field_->text().toStdString();
    if (std::string(trimBlanks(handle)).empty()) return status("Type a handle to block.");
    if (sameHandle(normalizeHandle(handle), wallet.handle)) return status("That's you.");
    bool added;
    {
        auto g = lockPhone();
        added = block_handle(g.state, handle);
        if (added) save_phone_store(g.state);
    }
    if (!added) return status("Already blocked.");
    field_->clear();
    status("Blocked " + lowerAscii(normalizeHandle(handle)));
    fill();
}

void CardWindow::unblock() {
    QListWidgetItem* row = selectedRow();
    if (!row || kind_ != CardBlocked) return status("Pick a handle first.");
    const std::string handle = row->data(kRowId).toString().toStdString();
    {
        auto g = lockPhone();
        if (unblock_handle(g.state, handle)) save_phone_store(g.state);
    }
    status("Unblocked " + handle);
    fill();
}

void CardWindow::hideCall() {
    QListWidgetItem* row = selectedRow();
    if (!row || kind_ != CardHistory) return status("Select a call first.");
    bool hidden = false;
    {
        auto g = lockPhone();
        const QString key = row->data(kRowId).toString();
        auto& calls = g.state.boxes.calls;
        const auto it = std::find_if(calls.begin(), calls.end(), [&](const CallRecord& c) { return callKey(c) == key; });
        if (it == calls.end()) return;
        it->hide = !it->hide;
        hidden = it->hide;
        save_phone_store(g.state);
    }
    status(hidden ? "Call hidden. Show all lists it." : "Call shown.");
    fill();
}

void CardWindow::chooseDevice(DeviceMenu which) {
    // The device list is a round trip to the sound server; the menu opens once it is back.
    detached([which] {
        const bool output = which == DeviceMenu::Output;
        std::vector<OutputDeviceInfo> devices = output ? listOutputDevices() : listInputDevices();
        std::string chosen = output ? outputId() : inputId();
        onCard([which, devices = std::move(devices), chosen = std::move(chosen)](CardWindow& card) {
            if (card.kind() == CardSettings) card.showDeviceMenu(which, devices, chosen);
        });
    });
}

void CardWindow::showDeviceMenu(DeviceMenu which, const std::vector<OutputDeviceInfo>& devices,
                                const std::string& chosen) {
    const bool output = which == DeviceMenu::Output;
    QMenu menu(this);
    menu.setObjectName(output ? "output-menu" : "input-menu");
    menu.setStyleSheet(popupStyleSheet());
    for (size_t i = 0; i < devices.size() && i < kOutputMenuItems; ++i) {
        QAction* a = menu.addAction(QString::fromStdString(devices[i].displayName));
        a->setCheckable(true);
        a->setChecked(devices[i].id == chosen);
        a->setData(QString::fromStdString(devices[i].id));
    }
    if (devices.empty()) menu.addAction(output ? "No output device" : "No microphone")->setEnabled(false);
    PhoneButton* b = buttons_.at(output ? "output" : "input");
    QAction* picked = menu.exec(b->mapToGlobal(QPoint(0, b->height())));
    if (!picked || picked->data().toString().isEmpty()) return;
    detached([output, id = picked->data().toString().toStdString()] {
        if (!output) {
            (void)dialo::chooseInput(id);
            return onCard([](CardWindow& card) { card.readInputLabel(); });
        }
        (void)dialo::chooseOutput(id);
        const QString label = QString::fromStdString(outputLabel());
        onCard([label](CardWindow& card) {
            card.outputLabel_ = label;
            card.buttons_.at("output")->setText(label);
        });
    });
}

void CardWindow::readInputLabel() {
    detached([] {
        const std::vector<OutputDeviceInfo> devices = listInputDevices();
        const std::string chosen = inputId();
        QString label = "Microphone: default";
        for (const OutputDeviceInfo& d : devices)
            if (d.id == chosen) label = "Microphone: " + QString::fromStdString(d.displayName);
        onCard([label](CardWindow& card) {
            card.inputLabel_ = label;
            card.buttons_.at("input")->setText(label);
        });
    });
}


void installCards(MainWindow& main) {
    main.setCardOpener([&main](int kind) {
        if (!gCard) gCard = new CardWindow(&main);
        gCard->open(kind);
    });
    // A store loaded for a newly connected handle may keep other settings.
    class Follow : public QObject {
    public:
        using QObject::QObject;
        bool eventFilter(QObject* watched, QEvent* e) override {
            if (!gCard) return QObject::eventFilter(watched, e);
            if (e->type() == uiEventType()) {
                const UiMessage m = static_cast<UiEvent*>(e)->message;
                if (m == UiMessage::ConnectionChanged || m == UiMessage::UpdateAvailable) gCard->refreshLabels();
                if (m == UiMessage::ConnectionChanged) gCard->rereadDeviceLabels();
            } else if (e->type() == QEvent::Close) {
                gCard->close();  // its position is kept as when it is closed by itself
            }
            return QObject::eventFilter(watched, e);
        }
    };
    main.installEventFilter(new Follow(&main));
}

CardWindow* openCard() { return gCard.data(); }

}  // namespace dialo
