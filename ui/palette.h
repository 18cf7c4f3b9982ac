#pragma once
// The four colour themes of the windows: 21 colours each, looked up by the stored theme.

#include <QColor>
#include <QFont>
#include <QString>
#include <array>

namespace dialo {

enum PaletteSlot : int {
    kBackground = 0,    // window background
    kHeaderTop = 1,     // header gradient
    kHeaderBottom = 2,
    kAccent = 3,        // call button, lit parts
    kGlass = 4,         // translucent button fill
    kGlassPressed = 5,
    kBand = 6,          // bands below the header
    kButton = 7,        // plain button fill
    kButtonEdge = 8,
    kOutline = 9,       // translucent outlines
    kTextSoft = 10,     // secondary text
    kTextBright = 11,   // highlighted text
    kText = 12,         // main text
    kEditFrame = 13,    // around the handle field
    kEditBackground = 14,
    kPanel = 15,        // the connect button while connected
    kPanelEdge = 16,
    kDeep = 17,         // pressed buttons
    kHighlight = 18,    // focus and hover edges
    kCaption = 19,      // frame colours, where a desktop lets a program set them
    kBorder = 20,
};

using ThemePalette = std::array<QColor, 21>;

/// The palette of `theme`; a theme outside 0..3 is theme 0.
const ThemePalette& themePalette(int theme);

/// The palette of the stored theme.
const ThemePalette& currentPalette();

/// The name shown for a theme: "Blue", "Rose", "Gold" or "Green".
const char* themeName(int theme);

/// Colours the same in every theme: the handle field's text, "on", "off", the ringing amber.
inline QColor editTextColour() { return QColor(0xF4, 0xEC, 0xDC); }
inline QColor onColour() { return QColor(0x78, 0xDC, 0x82); }
inline QColor offColour() { return QColor(0xE6, 0x60, 0x5A); }
inline QColor amberColour() { return QColor(0xFF, 0xD6, 0x60); }

/// "Segoe UI" or its stand-ins at `pixels` pixels; the title uses "Georgia" or its stand-in.
QFont uiFont(int pixels, bool bold = false);
QFont titleFont(int pixels);

/// A style sheet that dresses menus and message boxes in the stored theme, in place of the
/// desktop's light default.
QString popupStyleSheet();

}  // namespace dialo
