#include "ui/logo.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include "ui/palette.h"

namespace dialo {

void drawLogo(QPainter& g, const QRectF& box, int theme) {
    const ThemePalette& p = themePalette(theme);
    g.save();
    g.setRenderHint(QPainter::Antialiasing);
    const double s = box.width();
    QLinearGradient fill(box.topLeft(), box.bottomRight());
    fill.setColorAt(0, p[kHeaderTop].lighter(140));
    fill.setColorAt(1, p[kAccent]);
    QPainterPath square;
    square.addRoundedRect(box, s * 0.24, s * 0.24);
    g.fillPath(square, fill);
    g.setPen(QPen(p[kTextBright], s * 0.03));
    g.drawPath(square);

    // The handset: two ear pieces joined by a bent grip, tilted as if lifted.
    auto at = [&box, s](double x, double y) { return QPointF(box.left() + x * s, box.top() + y * s); };
    QPainterPath handset;
    handset.moveTo(at(0.26, 0.22));
    handset.cubicTo(at(0.16, 0.32), at(0.20, 0.58), at(0.42, 0.76));
    handset.cubicTo(at(0.56, 0.86), at(0.72, 0.86), at(0.80, 0.76));
    handset.lineTo(at(0.68, 0.64));
    handset.cubicTo(at(0.62, 0.70), at(0.56, 0.70), at(0.50, 0.64));
    handset.cubicTo(at(0.42, 0.56), at(0.36, 0.46), at(0.38, 0.40));
    handset.closeSubpath();
    g.setPen(Qt::NoPen);
    g.setBrush(p[kTextBright]);
    g.drawPath(handset);
    // Sound leaving the ear piece.
    g.setPen(QPen(p[kTextBright], s * 0.05, Qt::SolidLine, Qt::RoundCap));
    g.setBrush(Qt::NoBrush);
    for (double r : {0.16, 0.28})
        g.drawArc(QRectF(at(0.62 - r, 0.36 - r), QSizeF(2 * r * s, 2 * r * s)), 0 * 16, 80 * 16);
    g.restore();
}

QIcon logoIcon() {
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter g(&pixmap);
        drawLogo(g, QRectF(0, 0, size, size), 0);
        g.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace dialo
