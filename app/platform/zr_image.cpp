#include <platform/zr_image.h>

#include <QImageReader>
#include <QPainter>

namespace zr {

namespace {
const QImage kEmpty;
}

bool ZrImage::Load(const QString& path)
{
    Dispose();
    QImageReader reader(path);
    reader.setAutoTransform(false);
    if (!reader.canRead())
        return false;
    const bool animated = reader.supportsAnimation() && reader.imageCount() > 1;
    qint64 total = 0;
    for (int i = 0; i < kMaxFrames; ++i) {
        QImage frame;
        if (!reader.read(&frame) || frame.isNull())
            break;
        total += frame.sizeInBytes();
        if (total > kMaxTotalBytes)
            break;
        // Frame delays below 10 ms are treated as unset, the way browsers do.
        const int delay = reader.nextImageDelay();
        m_frames.push_back(std::move(frame));
        m_delays.push_back(delay > 0 ? delay : 100);
        if (!animated)
            break;
        if (!reader.canRead())
            break;
    }
    m_current = 0;
    return Loaded();
}

void ZrImage::Dispose()
{
    m_frames.clear();
    m_delays.clear();
    m_current = 0;
}

int ZrImage::Width() const { return Loaded() ? m_frames[m_current].width() : 0; }
int ZrImage::Height() const { return Loaded() ? m_frames[m_current].height() : 0; }

const QImage& ZrImage::Image() const { return Loaded() ? m_frames[m_current] : kEmpty; }

bool ZrImage::Draw(QPainter& p, const QRect& dst) const
{
    if (!Loaded() || dst.isEmpty())
        return false;
    p.drawImage(dst, Image());
    return true;
}

bool ZrImage::DrawPart(QPainter& p, int x, int y, int sx, int sy, int sw, int sh) const
{
    if (!Loaded() || sw <= 0 || sh <= 0)
        return false;
    p.drawImage(QPoint(x, y), Image(), QRect(sx, sy, sw, sh));
    return true;
}

bool ZrImage::DrawRect(QPainter& p, const QRect& dst, const QRect& src) const
{
    if (!Loaded() || dst.isEmpty() || src.isEmpty())
        return false;
    p.drawImage(dst, Image(), src);
    return true;
}

bool ZrImage::SelectFrame(int index)
{
    if (index < 0 || index >= FrameCount())
        return false;
    m_current = index;
    return true;
}

int ZrImage::FrameDelay(int index) const
{
    if (index < 0 || index >= FrameCount())
        return 0;
    return m_delays[static_cast<size_t>(index)];
}

} // namespace zr
