#pragma once
// An owner-drawn button of the main window: a rounded shape filled from the theme's palette,
// its text centred. The lamp kind draws the answer-phone lamp instead of text.

#include <QAbstractButton>

namespace dialo {

class PhoneButton : public QAbstractButton {
public:
    enum class Kind { Plain, Primary, Danger, Lamp };

    PhoneButton(const QString& text, Kind kind, QWidget* parent);
    void setLit(bool lit);
    bool lit() const { return lit_; }
    void setConnected(bool connected);

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    Kind kind_;
    bool lit_ = false;
    bool connected_ = false;
};

}  // namespace dialo
