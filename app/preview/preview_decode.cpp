// The pure half of the preview: where an image goes in the panel, and how
// its bytes become frames (or a text file's bytes become lines).
#include <preview/preview_panel.h>

#include <salvor/scan/text.h>

#include <QBuffer>
#include <QImageReader>

#include <algorithm>

namespace salvor {

namespace {

    constexpr int kPanelWidth = 609;
    constexpr int kPanelHeight = 155;
    // Frames of one animation, and the bytes of pixels all frames may take.
    constexpr int kMaxFrames = 512;
    constexpr qint64 kMaxFrameBytes = 64LL << 20;
    // Browsers show frames that ask for 10 ms or less for 100 ms; a delay of 0
    // would otherwise run the timer without a pause.
    constexpr int kShortestDelay = 10;
    constexpr int kDefaultDelay = 100;
    // Text: at most this many lines are kept (more never fit the panel).
    constexpr int kMaxTextLines = 12;
    constexpr int kMaxLineCharacters = 200;

} // namespace

QRect FitPreview(int w, int h)
{
    if (w <= 0 || h <= 0)
        return {};
    // 64-bit products: a damaged header may claim any size.
    const int64_t W = w, H = h;
    int64_t fw = W, fh = H;
    if (W < kPanelWidth + 1 && H < kPanelHeight + 1) {
        // Fits as it is.
    } else if (W >= kPanelWidth + 1 && H <= kPanelHeight) {
        fw = kPanelWidth;
        fh = H * kPanelWidth / W;
    } else if (H >= kPanelHeight + 1 && W < kPanelWidth + 1) {
        fh = kPanelHeight;
        fw = W * kPanelHeight / H;
    } else if (H * kPanelWidth >= W * kPanelHeight) {
        fh = kPanelHeight;
        fw = W * kPanelHeight / H;
    } else {
        fw = kPanelWidth;
        fh = H * kPanelWidth / W;
    }
    // A very long, thin image keeps at least one row or column.
    fw = std::max<int64_t>(fw, 1);
    fh = std::max<int64_t>(fh, 1);
    const int left = int((kPanelWidth - fw) / 2) + kPreviewPanel.left();
    const int top = int((kPanelHeight - fh) / 2) + kPreviewPanel.top();
    return QRect(left, top, int(fw), int(fh));
}

std::string FirstCharacters(const std::string& text, size_t count)
{
    size_t at = 0;
    for (size_t n = 0; n < count && at < text.size(); ++n) {
        const size_t len = Utf8SequenceLength(text.data() + at, text.size() - at);
        at += len ? len : 1;
    }
    return text.substr(0, at);
}

uint64_t PreviewPixels(const QByteArray& bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return 0;
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty())
        return 0;
    const int count = reader.supportsAnimation() ? reader.imageCount() : 1;
    // A count the format cannot tell before decoding counts as the cap.
    const uint64_t frames = count > 0 ? uint64_t(std::min(count, kMaxFrames)) : uint64_t(kMaxFrames);
    return uint64_t(size.width()) * uint64_t(size.height()) * frames;
}

DecodedPreview DecodePreviewImage(const QByteArray& bytes)
{
    DecodedPreview out;
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return out;
    QImageReader reader(&buffer);
    reader.setAutoTransform(false);
    if (!reader.canRead())
        return out;
    QSize full = reader.size();
    const bool animated = reader.supportsAnimation() && reader.imageCount() != 1;
    QImage first;
    if (!full.isValid()) {
        // A format that does not tell its size before decoding.
        if (!reader.read(&first) || first.isNull())
            return out;
        full = first.size();
    }
    out.fitted = FitPreview(full.width(), full.height());
    if (out.fitted.isEmpty())
        return out;
    if (first.isNull() && out.fitted.size() != full)
        reader.setScaledSize(out.fitted.size());
    qint64 total = 0;
    for (int i = 0; i < kMaxFrames; ++i) {
        QImage frame;
        if (i == 0 && !first.isNull())
            frame = std::move(first);
        else if (!reader.read(&frame) || frame.isNull())
            break;
        if (frame.size() != out.fitted.size())
            frame = frame.scaled(out.fitted.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        total += frame.sizeInBytes();
        if (total > kMaxFrameBytes)
            break;
        const int delay = reader.nextImageDelay();
        out.frames.push_back(std::move(frame));
        out.delays.push_back(delay > kShortestDelay ? delay : kDefaultDelay);
        if (!animated || !reader.canRead())
            break;
    }
    out.ok = !out.frames.empty();
    return out;
}

DecodedPreview DecodePreviewText(const QByteArray& bytes)
{
    DecodedPreview out;
    // A cut in the middle of a character at the end of what was read is
    // not a sign of binary data; a NUL or a broken sequence elsewhere is.
    std::string text(bytes.constData(), size_t(bytes.size()));
    while (!text.empty() && !IsValidUtf8(text) && bytes.size() - qsizetype(text.size()) < 3)
        text.pop_back();
    if (text.empty() || text.find('\0') != std::string::npos || !IsValidUtf8(text))
        return out;
    const QString all = QString::fromUtf8(text.data(), qsizetype(text.size()));
    int controls = 0;
    for (QChar c : all)
        if (c.unicode() < 0x20 && c != u'\n' && c != u'\r' && c != u'\t' && c != u'\f')
            ++controls;
    if (controls * 20 > all.size())
        return out;
    QStringList lines = all.split(u'\n');
    for (QString& line : lines) {
        if (out.lines.size() >= kMaxTextLines)
            break;
        line.remove(u'\r');
        line.replace(u'\t', QStringLiteral("    "));
        for (QChar& c : line)
            if (c.unicode() < 0x20)
                c = u' ';
        out.lines.push_back(line.left(kMaxLineCharacters));
    }
    out.ok = true;
    return out;
}

} // namespace salvor
