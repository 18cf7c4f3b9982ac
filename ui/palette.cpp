#include "ui/palette.h"

#include <QStringList>
#include <cstdint>

#include "state/phone_state.h"

namespace dialo {
namespace {

constexpr uint32_t kArgb[4][13] = {
    {0xFF0A101E, 0xFF1C3052, 0xFF0A2A60, 0xFF106CB0, 0x24BAD6EC, 0x5ABAD6EC, 0xFF0C1424, 0xFF182A48, 0xFF162844,
     0x784682A0, 0xDC78D2E6, 0xFFBAF4E8, 0xFFD6E6F2},
    {0xFF1C0A12, 0xFF481C2C, 0xFF6E1234, 0xFFB0345C, 0x28ECBACC, 0x64ECBACC, 0xFF200C16, 0xFF401828, 0xFF3A1624,
     0x8CB4506E, 0xE6ECAABE, 0xFFF4BACE, 0xFFDCAABA},
    {0xFF161006, 0xFF402E0E, 0xFF60400A, 0xFFB08020, 0x2AECD296, 0x6EECD296, 0xFF1C1408, 0xFF38280C, 0xFF30220C,
     0x8CB48C3C, 0xE6ECC878, 0xFFF4D696, 0xFFD2BA82},
    {0xFF081610, 0xFF103824, 0xFF08482A, 0xFF168C52, 0x28AADCBA, 0x6EAADCBA, 0xFF081812, 0xFF103020, 0xFF0E2A1E,
     0x8C50AA78, 0xE6A0E6BE, 0xFFB0ECC8, 0xFF96C8AA},
};
// Blue-green-red order, as the frame colours were written.
constexpr uint32_t kBgr[4][8] = {
    {0x002C1A10, 0x002E1C12, 0x002A180E, 0x004E301C, 0x00AA5C24, 0x006E3012, 0x00803A0C, 0x00BA9624},
    {0x00160E20, 0x001A1024, 0x001A1024, 0x00301C48, 0x00523096, 0x0030185C, 0x002A125C, 0x007A5CC4},
    {0x0008121A, 0x00081620, 0x000A1820, 0x000E2E40, 0x002078A8, 0x000E4460, 0x00083048, 0x0030A2C9},
    {0x00101608, 0x00141C0A, 0x00121A0A, 0x00223414, 0x0048781C, 0x002A440C, 0x00243A08, 0x006EAA40},
};

ThemePalette build(int theme) {
    ThemePalette p;
    for (int i = 0; i < 13; ++i) {
        const uint32_t v = kArgb[theme][i];
        p[size_t(i)] = QColor(int(v >> 16 & 0xFF), int(v >> 8 & 0xFF), int(v & 0xFF), int(v >> 24));
    }
    for (int i = 0; i < 8; ++i) {
        const uint32_t v = kBgr[theme][i];
        p[size_t(13 + i)] = QColor(int(v & 0xFF), int(v >> 8 & 0xFF), int(v >> 16 & 0xFF));
    }
    return p;
}

QFont familyFont(const QStringList& families, int pixels, bool bold) {
    QFont f;
    f.setFamilies(families);
    f.setPixelSize(pixels > 0 ? pixels : 1);
    f.setBold(bold);
    f.setStyleStrategy(QFont::PreferAntialias);
    return f;
}

}  // namespace

const ThemePalette& themePalette(int theme) {
    static const std::array<ThemePalette, 4> all = {build(0), build(1), build(2), build(3)};
    return all[size_t(theme >= 0 && theme <= 3 ? theme : 0)];
}

const ThemePalette& currentPalette() { return themePalette(lockPhoneBrief().state.settings.theme); }

const char* themeName(int theme) {
    static const char* const names[] = {"Blue", "Rose", "Gold", "Green"};
    return names[theme >= 0 && theme <= 3 ? theme : 0];
}

QFont uiFont(int pixels, bool bold) { return familyFont({"Segoe UI", "Noto Sans", "DejaVu Sans"}, pixels, bold); }

QFont titleFont(int pixels) { return familyFont({"Georgia", "DejaVu Serif"}, pixels, true); }

QString popupStyleSheet() {
    const ThemePalette& p = currentPalette();
    auto c = [](const QColor& colour) { return colour.name(QColor::HexArgb); };
    return QString("QMenu, QMessageBox { background: %1; color: %2; border: 1px solid %3; }"
                   "QMenu::item { padding: 6px 24px 6px 24px; }"
                   "QMenu::item:selected { background: %4; color: %5; }"
                   "QMenu::item:disabled { color: %6; }"
                   "QMessageBox QLabel { color: %2; }"
                   "QPushButton { background: %7; color: %2; border: 1px solid %3; border-radius: 6px;"
                   " padding: 6px 18px; }"
                   "QPushButton:focus { border: 2px solid %5; }")
        .arg(c(p[kBackground]), c(p[kText]), c(p[kHighlight]), c(p[kAccent]), c(editTextColour()), c(p[kTextSoft]),
             c(p[kButton]));
}

}  // namespace dialo
