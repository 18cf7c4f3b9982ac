#pragma once
// An owner-drawn button of the main window: a rounded shape filled from the theme's palette,
// its text centred. The lamp draws the answer-phone lamp, and the contacts and tape kinds a
// glyph, instead of their text (which names them for tests and accessibility).

#include <QAbstractButton>

class QPainter;

namespace dialo {

class PhoneButton : public QAbstractButton {
public:
    enum class Kind { Plain, Primary, Danger, Lamp, Contacts, Tape };

    PhoneButton(const QString& text, Kind kind, QWidget* parent);
    void setLit(bool lit);
    bool lit() const { return lit_; }
    void setConnected(bool connected);

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    void drawGlyph(QPainter& g, const QRectF& box, const QColor& ink) const;
    void drawFocus(QPainter& g, const QRectF& box, double radius) const;

    Kind kind_;
    bool lit_ = false;
    bool connected_ = false;
};

}  // namespace dialo
