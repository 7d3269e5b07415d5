#pragma once

#include <QColor>
#include <cstdint>

namespace zdb {

// A colour as the window stores it: red in the lowest byte; with the top bit
// set, the lowest byte is the index of a system colour.
using OleColor = std::uint32_t;

constexpr OleColor kSystemColourFlag = 0x80000000u;
constexpr OleColor kWindowBackground = 0x80000005u;
constexpr OleColor kWindowText = 0x80000008u;
constexpr OleColor kButtonFace = 0x8000000Fu;
constexpr OleColor kButtonText = 0x80000012u;

constexpr OleColor rgb(int r, int g, int b)
{
    return OleColor(r & 0xFF) | (OleColor(g & 0xFF) << 8) | (OleColor(b & 0xFF) << 16);
}

constexpr bool isSystemColour(OleColor c) { return (c & kSystemColourFlag) != 0; }

// What the colour looks like on this desktop (system colours from the
// application palette).
QColor toQColor(OleColor c);

} // namespace zdb
