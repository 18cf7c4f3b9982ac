#include "ui/phone_button.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>

#include "state/phone_state.h"
#include "ui/palette.h"

namespace dialo {

PhoneButton::PhoneButton(const QString& text, Kind kind, QWidget* parent) : QAbstractButton(parent), kind_(kind) {
    setText(text);
    setCursor(Qt::ArrowCursor);
    setFocusPolicy(Qt::TabFocus);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void PhoneButton::setLit(bool lit) {
    // A checkable button's lit look is its checked state, which assistive technology reads.
    if (isCheckable() && kind_ != Kind::Lamp) setChecked(lit);
    if (lit_ == lit) return;
    lit_ = lit;
    update();
}

void PhoneButton::drawFocus(QPainter& g, const QRectF& box, double radius) const {
    if (!hasFocus()) return;
    // Light on every theme's dark ground, and thick enough to find at a glance.
    const double width = std::max(2.0, 2.0 * phoneFlags().dpi / 96);
    g.setPen(QPen(editTextColour(), width));
    g.setBrush(Qt::NoBrush);
    const QRectF ring = box.adjusted(width / 2, width / 2, -width / 2, -width / 2);
    g.drawRoundedRect(ring, radius, radius);
}

void PhoneButton::setConnected(bool connected) {
    if (connected_ == connected) return;
    connected_ = connected;
    update();
}

void PhoneButton::paintEvent(QPaintEvent*) {
    const ThemePalette& p = currentPalette();
    const int dpi = phoneFlags().dpi;
    QPainter g(this);
    g.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(1, 1, -1, -1);

    if (kind_ == Kind::Lamp) {
        const double d = std::min(box.width(), box.height());
        const QRectF bulb(box.center().x() - d / 2, box.center().y() - d / 2, d, d);
        QRadialGradient glow(bulb.center(), d / 2);
        if (lit_) {
            glow.setColorAt(0, amberColour().lighter(130));
            glow.setColorAt(1, amberColour().darker(160));
        } else if (isChecked()) {
            // The answer-phone is on: a steady green glow; a new message blinks amber over it.
            glow.setColorAt(0, onColour().lighter(125));
            glow.setColorAt(1, onColour().darker(170));
        } else {
            glow.setColorAt(0, p[kButton].lighter(150));
            glow.setColorAt(1, p[kButtonEdge]);
        }
        g.setPen(QPen(p[kOutline], 1.5));
        g.setBrush(glow);
        g.drawEllipse(bulb.adjusted(2, 2, -2, -2));
        drawFocus(g, box, d / 2);
        return;
    }

    QColor fill = p[kButton], edge = p[kOutline];
    if (kind_ == Kind::Primary) fill = p[kAccent];
    if (kind_ == Kind::Danger) fill = offColour().darker(190);
    if (connected_) {
        fill = p[kPanel];
        edge = p[kHighlight];
    }
    if (lit_) fill = p[kAccent].darker(130);
    if (isDown()) fill = fill.darker(135);
    else if (underMouse()) fill = fill.lighter(115);
    if (!isEnabled()) {
        // Plainly out of use: the theme's quiet button, faded, whatever its colour when alive.
        fill = p[kButton];
        fill.setAlpha(90);
    }

    const double radius = box.height() * 0.32;
    QPainterPath shape;
    shape.addRoundedRect(box, radius, radius);
    QLinearGradient shade(box.topLeft(), box.bottomLeft());
    shade.setColorAt(0, fill.lighter(118));
    shade.setColorAt(1, fill);
    g.fillPath(shape, shade);
    g.fillPath(shape, p[isDown() ? kGlassPressed : kGlass]);
    g.setPen(QPen(edge, 1.2));
    g.drawPath(shape);
    drawFocus(g, box, radius);

    if (kind_ == Kind::Contacts || kind_ == Kind::Tape) {
        drawGlyph(g, box, p[kText]);
        return;
    }
    QColor ink = kind_ == Kind::Plain ? p[kText] : QColor(Qt::white);
    if (!isEnabled()) {
        ink = p[kTextSoft];
        ink.setAlpha(110);
    }
    g.setPen(ink);
    g.setFont(uiFont((15 * dpi + 48) / 96, kind_ != Kind::Plain));
    g.drawText(box, Qt::AlignCenter, text());
}

void PhoneButton::drawGlyph(QPainter& g, const QRectF& box, const QColor& ink) const {
    const double u = std::min(box.width(), box.height()) / 10;  // a tenth of the button
    const QPointF c = box.center();
    g.setPen(QPen(ink, u * 0.7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    g.setBrush(Qt::NoBrush);
    if (kind_ == Kind::Contacts) {
        // A head and shoulders.
        g.drawEllipse(QPointF(c.x(), c.y() - u * 1.3), u * 1.5, u * 1.5);
        QPainterPath shoulders;
        shoulders.moveTo(c.x() - u * 3, c.y() + u * 3);
        shoulders.cubicTo(c.x() - u * 3, c.y() + u * 0.6, c.x() + u * 3, c.y() + u * 0.6, c.x() + u * 3, c.y() + u * 3);
        g.drawPath(shoulders);
    } else {
        // Two reels joined below: the answer-phone's tape.
        const double r = u * 1.4;
        g.drawEllipse(QPointF(c.x() - u * 2, c.y()), r, r);
        g.drawEllipse(QPointF(c.x() + u * 2, c.y()), r, r);
        g.drawLine(QPointF(c.x() - u * 2, c.y() + r), QPointF(c.x() + u * 2, c.y() + r));
    }
}

}  // namespace dialo
