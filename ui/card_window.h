#pragma once
// The card: the phone's one secondary window, showing one of seven lists or panels at a time
// (contacts, answer-phone, saved messages, settings, call history, fee list, block list). It is
// made on first use and reused: opening another kind retitles, resizes and refills it.
//
// Widgets carry object names a user-level test can find: the list "list", the handle field
// "card-handle", the version text "version", and the buttons "use", "save", "delete", "export",
// "play", "pause", "stop", "answerphone-toggle", "saved", "history", "close", "calls-to",
// "calls-from", "show-all", "hide", "theme0".."theme3", "notify", "unit", "startup", "output",
// "volume", "fees", "add", "remove", "blocked", "block", "unblock", the microphone's menu "input"
// and its level meter "mic-level". Escape closes it.

#include <QString>
#include <QWidget>
#include <map>
#include <string>
#include <vector>

#include "state/records.h"
#include "wallet/wallet_state.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;

namespace dialo {

class MainWindow;
class PhoneButton;
struct OutputDeviceInfo;
struct OutputDeviceInfo;

/// Row roles of the card's list.
enum CardRole : int {
    kRowDetail = Qt::UserRole + 1,  // the second line
    kRowId,                         // message id, contact or blocked handle, call key (callKey)
    kRowTxid,                       // the row's transaction, when it has one
    kRowAvatar,                     // a contact's picture (QImage), when it has one
};

class CardWindow : public QWidget {
public:
    explicit CardWindow(MainWindow* main);
    ~CardWindow() override;

    /// Shows `kind` (1..7; others are ignored): the position kept for it, its title, size and
    /// contents. Opening the kind already shown refills it in place.
    void open(int kind);
    int kind() const { return kind_; }

    /// Re-reads the labels that follow stored settings (after a store load or a connection).
    /// The output device's label is the one last read from the sound system.
    void refreshLabels();
    /// Relabels the answer-phone button after the stored setting.
    void refreshAnswerPhoneLabel();
    /// Moves to the position stored for the kind shown (after a handle's store was loaded).
    void returnToStoredPosition();
    /// After a handle switch: the output and microphone labels, read again from the sound
    /// system when Settings shows.
    void rereadDeviceLabels();

    /// What names a call-history record for the rows that act on it: its place in the list
    /// changes as calls arrive, this does not.
    static QString callKey(const CallRecord& call);

    /// The receipt of a call-history row as the card shows it: rich text with links.
    static QString receiptText(const CallRecord& call);

protected:
    bool event(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void hideEvent(QHideEvent* e) override;

private:
    void fill();
    void layoutKind();
    void savePosition();
    int scaled(int length) const;
    QListWidgetItem* selectedRow() const;
    void status(const std::string& text);
    void addRow(const QString& title, const QString& detail, const QString& id, const QString& txid = {});
    void showEmpty(const QString& text);
    void rowMenu(const QPoint& at);
    void showReceipt(const QString& key);
    void readOutputLabel();
    /// Starts or stops the level meter, and with it the microphone opened only for it.
    void showLevel(bool on);
    void readInputLabel();
    /// The output and the microphone menus of the Settings card.
    enum class DeviceMenu { Output, Input };
    void chooseDevice(DeviceMenu which);
    void showDeviceMenu(DeviceMenu which, const std::vector<OutputDeviceInfo>& devices, const std::string& chosen);

    void play();
    void togglePause();
    void stop();
    void saveMessage();
    void deleteMessage();
    void exportMessage();
    void addContact();
    void removeContact();
    void useContact();
    void block();
    void unblock();
    void hideCall();
    void loadContacts();

    MainWindow* main_;
    int kind_ = 0;
    int filter_ = 0;  // call history: 0 all, 1 made here, 2 taken here
    bool showAll_ = false;
    std::vector<Contact> contacts_;  // as last read by a worker; the wallet lock stays off this thread
    QListWidget* list_ = nullptr;
    QLineEdit* field_ = nullptr;
    QLabel* version_ = nullptr;
    QWidget* level_ = nullptr;         // the microphone's level while the Settings card shows
    QString outputLabel_ = "Output: none";  // as a worker last read it
    QString inputLabel_ = "Microphone: default";
    std::map<std::string, PhoneButton*> buttons_;
};

/// Lets the main window's Contacts, Answer-phone and Settings buttons open the card.
void installCards(MainWindow& main);

/// The card window when one is open, else nullptr.
CardWindow* openCard();

}  // namespace dialo
