#include <widgets/zr_widgets.h>

#include <QPainter>

namespace zr {

bool CDuiProgressBar::LoadBitmaps(const QString& frame_path, const QString& fill_path)
{
    const bool frame = m_frame.Load(frame_path);
    const bool fill = m_fill.Load(fill_path);
    return frame && fill;
}

int CDuiProgressBar::Draw(QPainter& p)
{
    if (!visible || m_rect.empty())
        return 0;
    const int L = m_rect.left, T = m_rect.top, R = m_rect.right, B = m_rect.bottom;
    const int FW = m_frame.Width(), FH = m_frame.Height();
    const int PW = m_fill.Width(), PH = m_fill.Height();
    auto copy = [&p](const ZrImage& img, int dx, int dy, int dw, int dh, int sx, int sy, int sw, int sh) {
        img.DrawRect(p, QRect(dx, dy, dw, dh), QRect(sx, sy, sw, sh));
    };

    if (FW >= 7 && FH >= 7) {
        copy(m_frame, L + 2, T + 2, R - L - 4, B - T - 4, 2, 2, 1, FH - 4);
        copy(m_frame, L, T + 1, 2, B - T - 2, 0, FH - 7, 2, 1);
        copy(m_frame, R - 2, T + 1, 2, B - T - 2, FW - 2, 2, 2, 1);
        copy(m_frame, L + 1, T, R - L - 2, 2, 3, 0, FW - 6, 2);
        copy(m_frame, L + 1, B - 2, R - L - 2, 2, 3, FH - 2, 1, 2);
        copy(m_frame, L, T, 1, 1, 0, 0, 1, 1);
        copy(m_frame, R - 1, T, 1, 1, 0, 0, 1, 1);
        copy(m_frame, L, B - 1, 1, 1, 0, 0, 1, 1);
        copy(m_frame, R - 1, B - 1, 1, 1, 0, 0, 1, 1);
    }

    // A maximum of 0 or a position outside 0..maximum must not divide by zero
    // or paint past the bar.
    if (maximum <= 0 || PW < 2 || PH < 3)
        return 1;
    const int pos = position < 0 ? 0 : (position > maximum ? maximum : position);
    const long long inner = R - L - 6 > 0 ? R - L - 6 : 0;
    const int W = static_cast<int>(inner * pos / maximum);
    copy(m_fill, L + 3, T + 3, W, B - T - 6, 2, 1, 1, PH - 2);
    copy(m_fill, L + 3, T + 2, W, 1, 1, 0, 1, 1);
    copy(m_fill, L + 3, B - 3, W, 1, 1, PH - 1, 1, 1);
    if (pos > 0)
        copy(m_fill, L + 2, T + 2, 1, B - T - 4, 0, 1, 1, PH - 2);
    if (pos == maximum)
        copy(m_fill, R - 3, T + 2, 1, B - T - 4, PW - 1, 1, 1, PH - 2);
    return 1;
}

} // namespace zr
