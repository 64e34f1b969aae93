// Window-message vocabulary of the salvor user interface. The dialogs keep
// the numeric command and message ids of the program, so the message words
// and the packed mouse point are kept as well.
#pragma once

#include <cstdint>

namespace zr {

using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

constexpr uint32_t WM_COMMAND = 0x0111;
constexpr uint32_t WM_TIMER = 0x0113;
constexpr uint32_t WM_USER = 0x0400;

// Key flags of a mouse message.
constexpr uint32_t MK_LBUTTON = 0x0001;

// The "cancel" command a dialog receives for Escape or a close request from
// the window manager.
constexpr int IDCANCEL = 2;

// A packed point is the lParam of a mouse message: x in the low 16 bits and
// y in the high 16 bits, both signed.
constexpr LPARAM MakePoint(int x, int y)
{
    return static_cast<LPARAM>(static_cast<uint32_t>(static_cast<uint16_t>(x)) |
                               (static_cast<uint32_t>(static_cast<uint16_t>(y)) << 16));
}
constexpr int PointX(LPARAM lp) { return static_cast<int16_t>(static_cast<uint16_t>(lp & 0xFFFF)); }
constexpr int PointY(LPARAM lp) { return static_cast<int16_t>(static_cast<uint16_t>((lp >> 16) & 0xFFFF)); }

constexpr WPARAM MakeWParam(int low, int high)
{
    return static_cast<WPARAM>(static_cast<uint32_t>(static_cast<uint16_t>(low)) |
                               (static_cast<uint32_t>(static_cast<uint16_t>(high)) << 16));
}
constexpr int LowWord(WPARAM w) { return static_cast<int>(w & 0xFFFF); }
constexpr int HighWord(WPARAM w) { return static_cast<int>((w >> 16) & 0xFFFF); }

// A rectangle in client pixels: right and bottom are exclusive.
struct ZrRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    int width() const { return right - left; }
    int height() const { return bottom - top; }
    bool empty() const { return right <= left || bottom <= top; }
    bool contains(int x, int y) const { return x >= left && x < right && y >= top && y < bottom; }
    bool operator==(const ZrRect&) const = default;
};

} // namespace zr
