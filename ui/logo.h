#pragma once
// Dialo's mark, drawn rather than loaded: a handset on a rounded square in the theme's colours.

#include <QIcon>
#include <QRectF>

class QPainter;

namespace dialo {

void drawLogo(QPainter& g, const QRectF& box, int theme);

/// The window and application icon, in the first theme.
QIcon logoIcon();

}  // namespace dialo
