// Images of the skin and of previews: loaded from a file, drawn whole and
// stretched, as a sub-rectangle at a point, or from a source rectangle into a
// destination rectangle. Animated images keep every frame and its delay.
#pragma once

#include <QImage>
#include <QRect>
#include <QString>

#include <vector>

class QPainter;

namespace zr {

class ZrImage {
public:
    ZrImage() = default;
    explicit ZrImage(const QString& path) { Load(path); }

    // Returns false when the file cannot be read; the image then has size 0.
    bool Load(const QString& path);
    void Dispose();

    bool Loaded() const { return !m_frames.empty(); }
    int Width() const;
    int Height() const;
    const QImage& Image() const;

    // The whole image stretched into dst.
    bool Draw(QPainter& p, const QRect& dst) const;
    // The source rectangle (sx, sy, sw, sh) drawn at (x, y), one pixel per pixel.
    bool DrawPart(QPainter& p, int x, int y, int sx, int sy, int sw, int sh) const;
    // The source rectangle src drawn stretched into dst.
    bool DrawRect(QPainter& p, const QRect& dst, const QRect& src) const;

    // Animated images (GIF): frames and their delays in milliseconds.
    int FrameCount() const { return static_cast<int>(m_frames.size()); }
    bool SelectFrame(int index);
    int CurrentFrame() const { return m_current; }
    int FrameDelay(int index) const;

    // Caps on what a single file may cost; preview images come from damaged
    // media, so a hostile file must not exhaust memory.
    static constexpr int kMaxFrames = 512;
    static constexpr qint64 kMaxTotalBytes = 256LL * 1024 * 1024;

private:
    std::vector<QImage> m_frames;
    std::vector<int> m_delays;
    int m_current = 0;
};

} // namespace zr
