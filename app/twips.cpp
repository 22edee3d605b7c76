#include "twips.h"

namespace ui {

QColor color(uint32_t value, const QPalette& palette) {
    if (value & 0x80000000u) {
        switch (value & 0xFFu) {
            case 0x08:
                return palette.color(QPalette::WindowText);
            case 0x18:
                return palette.color(QPalette::ToolTipBase);
            default:
                return palette.color(QPalette::Window);
        }
    }
    return QColor(int(value & 0xFF), int((value >> 8) & 0xFF), int((value >> 16) & 0xFF));
}

uint32_t colorValue(const QColor& c) {
    return uint32_t(c.red()) | (uint32_t(c.green()) << 8) | (uint32_t(c.blue()) << 16);
}

QFont designFont(bool bold) {
    QFont f(QStringLiteral("MS Sans Serif"));
    f.setStyleHint(QFont::SansSerif);
    f.setPointSizeF(8.25);
    f.setWeight(bold ? QFont::Bold : QFont::Normal);
    return f;
}

}  // namespace ui
