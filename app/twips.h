#pragma once
// Design units of the windows: positions in twips (15 to a pixel) and colours
// 0x00BBGGRR, where 0x800000nn names a system colour of the palette.

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QRect>
#include <cstdint>

namespace ui {

constexpr int kTwipsPerPixel = 15;

constexpr int px(int twips) {
    return twips >= 0 ? (twips + kTwipsPerPixel / 2) / kTwipsPerPixel
                      : -((-twips + kTwipsPerPixel / 2) / kTwipsPerPixel);
}
constexpr int twipsOf(int pixels) {
    return pixels * kTwipsPerPixel;
}

inline QRect rect(int left, int top, int width, int height) {
    return QRect(px(left), px(top), px(width), px(height));
}

// 0x00BBGGRR to a colour; 0x80000008 window text, 0x80000018 tooltip base.
QColor color(uint32_t value, const QPalette& palette = QPalette());

// The colour value back in design form (system colours come back resolved).
uint32_t colorValue(const QColor& c);

// "MS Sans Serif" 8.25 pt, regular or weight 700; falls back to the desktop's
// sans-serif face.
QFont designFont(bool bold = false);

// Colours used by more than one window part.
constexpr uint32_t kSilver = 0x00C0C0C0;
constexpr uint32_t kGrey = 0x00808080;
constexpr uint32_t kRed = 0x000000FF;
constexpr uint32_t kGreen = 0x0000FF00;
constexpr uint32_t kBlack = 0x00000000;
constexpr uint32_t kLogGreen = 0x0000C000;
constexpr uint32_t kWindowText = 0x80000008;
constexpr uint32_t kToolTipBase = 0x80000018;

}  // namespace ui
