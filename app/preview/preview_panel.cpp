#include <preview/preview_panel.h>

#include <platform/zr_dialog.h>
#include <salvor/scan/categories.h>
#include <salvor/scan/text.h>
#include <widgets/font_pool.h>
#include <widgets/skin.h>

#include <QDebug>
#include <QMimeDatabase>
#include <QObject>
#include <QPainter>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace salvor {

namespace {

    // The colour of the panel's texts (the mode description's).
    const QColor kTextColour(0x50, 0x5A, 0x64);

    // The text after the last '.' (the whole text when there is none), in small
    // letters.
    std::string ExtensionOf(const std::string& text)
    {
        const size_t dot = text.find_last_of('.');
        std::string ext = dot == std::string::npos ? text : text.substr(dot + 1);
        for (char& c : ext)
            c = char(std::tolower(uint8_t(c)));
        return ext;
    }

    bool IsTextType(const std::string& ext)
    {
        static const char* const kText[] = { "txt", "log", "csv", "ini", "cfg", "conf", "md", "json", "xml", "htm",
            "html", "c", "h", "cpp", "hpp", "py", "sh", "bat", "srt", "nfo" };
        return std::any_of(std::begin(kText), std::end(kText), [&](const char* t) { return ext == t; });
    }

    bool IsIconType(const std::string& ext)
    {
        RawSelection all;
        return ext == "pdf" || IsVideoType(all, ext);
    }

    // Creates `name` new in the folder `dir`, never through a link. A file of
    // that name left there (by an earlier run that ended early) is removed
    // first: only the preview writes in this folder.
    int CreatePreviewFile(int dir, const std::string& name)
    {
        const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
        int fd = ::openat(dir, name.c_str(), flags, 0600);
        if (fd < 0 && errno == EEXIST && ::unlinkat(dir, name.c_str(), 0) == 0)
            fd = ::openat(dir, name.c_str(), flags, 0600);
        return fd;
    }

    bool WriteAll(int fd, const char* data, size_t count)
    {
        while (count > 0) {
            const ssize_t n = ::write(fd, data, count);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            data += n;
            count -= size_t(n);
        }
        return true;
    }

    // Reads up to `size` bytes of a stream; stops early when `cancel` is set.
    QByteArray ReadStream(FileStream& stream, uint64_t size, const std::atomic<bool>* cancel)
    {
        QByteArray bytes;
        bytes.resize(qsizetype(size));
        size_t chunk = stream.Chunk();
        if (chunk == 0 || chunk > (1u << 20))
            chunk = 64 * 1024;
        uint64_t done = 0;
        while (done < size) {
            if (cancel && cancel->load())
                return {};
            const size_t want = size_t(std::min<uint64_t>(chunk, size - done));
            const StreamRead got = stream.Read(reinterpret_cast<uint8_t*>(bytes.data()) + done, want);
            const size_t n = std::min(got.bytes, want);
            if (n == 0)
                break;
            done += n;
        }
        bytes.resize(qsizetype(done));
        return bytes;
    }

} // namespace

// One read of a file for the preview. The stream is read (and the temporary
// file written) first; from the moment `extracted` is set the job no longer
// touches the engine or the folder, and only decodes.
struct PreviewPanel::Job {
    std::unique_ptr<FileStream> stream;
    uint64_t size = 0;
    int dir = -1;
    std::string name;

    std::atomic<bool> cancel { false };
    std::mutex mutex;
    std::condition_variable changed;
    QByteArray bytes;
    bool extracted = false;
    bool done = false;
    std::atomic<bool> finished { false };
    DecodedPreview result;

    void MarkExtracted()
    {
        std::lock_guard lock(mutex);
        extracted = true;
        changed.notify_all();
    }

    // Reads the stream into `bytes` and writes the temporary file; `bytes`
    // stays empty when that fails or is cancelled.
    void Extract()
    {
        bytes = ReadStream(*stream, size, &cancel);
        stream.reset();
        bool kept = false;
        if (!bytes.isEmpty() && !cancel.load()) {
            const int fd = CreatePreviewFile(dir, name);
            if (fd >= 0) {
                const bool written = WriteAll(fd, bytes.constData(), size_t(bytes.size()));
                kept = ::close(fd) == 0 && written && !cancel.load();
                if (!kept)
                    ::unlinkat(dir, name.c_str(), 0);
            }
        }
        if (!kept)
            bytes.clear();
        MarkExtracted();
    }

    void Decode()
    {
        DecodedPreview decoded;
        if (!bytes.isEmpty() && !cancel.load())
            decoded = DecodePreviewImage(bytes);
        bytes.clear();
        std::lock_guard lock(mutex);
        result = std::move(decoded);
        done = true;
    }

    bool Extracted()
    {
        std::lock_guard lock(mutex);
        return extracted;
    }

    void WaitExtracted()
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return extracted; });
    }
};

PreviewPanel::PreviewPanel(MainHost& host)
    : m_host(host)
    , m_receiver(std::make_unique<QObject>())
{
}

PreviewPanel::~PreviewPanel()
{
    CancelCurrent();
    ReapThreads(true);
    if (m_dir_fd >= 0)
        ::close(m_dir_fd);
}

bool PreviewPanel::LoadSkin(const QString& image_root)
{
    const QString root = image_root.endsWith(u'/') ? image_root : image_root + u'/';
    const bool a = m_no_preview.Load(root + QString::fromLatin1(zr::skin::kNoPreviewBk));
    const bool b = m_not_chosen.Load(root + QString::fromLatin1(zr::skin::kNotePreviewBk));
    return a && b;
}

std::string PreviewPanel::CurrentPath() const
{
    return m_file_name.empty() ? std::string() : m_host.TempFolder() + m_file_name;
}

bool PreviewPanel::OpenTempFolder()
{
    if (m_dir_fd >= 0)
        return true;
    std::string folder = m_host.TempFolder();
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    if (folder.empty())
        return false;
    ::mkdir(folder.c_str(), 0700);
    // The folder itself must not be a link, and must be ours: it lies in a
    // temporary directory that others can write to.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st { };
    if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_uid != ::geteuid()) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    m_dir_fd = fd;
    return true;
}

void PreviewPanel::PreviewRow(size_t row)
{
    if (m_host.Mode() == kModePartition)
        return;
    ScanSession& session = m_host.Session();
    if (row >= session.list.RowCount())
        return;
    const std::string text = session.list.Text(row, 0);
    const uintptr_t item = session.list.ItemData(row);
    const FoundFile* file = session.FileOfItem(item);

    // The extension decides; a file listed under a made-up name (ext2 keeps
    // none for deleted files) is judged by the name its folder gave it.
    std::string ext = ExtensionOf(text);
    if (!IsPhotoType(ext) && file && file->real_name) {
        const std::string real = ExtensionOf(*file->real_name);
        if (IsPhotoType(real))
            ext = real;
    }
    std::string name = TargetName(FirstCharacters(text, kNameCharacters));
    if (name.empty())
        name = "preview";

    // The same row again: already shown (or being read).
    if (item == m_item && text == m_row_name && m_shown != Shown::kNothingChosen)
        return;

    DropShown();
    m_item = item;
    m_row_name = text;
    m_extension = ext;
    m_shown = Shown::kNoPreview;

    if (IsPhotoType(ext)) {
        if (file && !file->is_folder)
            StartImage(*file, name);
    } else if (file && !file->is_folder && IsTextType(ext)) {
        ShowText(*file);
    } else if (file && !file->is_folder && IsIconType(ext)) {
        ShowTypeIcon(*file, text);
    }
    InvalidatePanel();
}

void PreviewPanel::StartImage(const FoundFile& file, const std::string& name)
{
    ScanSession& session = m_host.Session();
    // Too large, empty, or nothing to read it with: no preview, at once.
    if (file.size == 0 || file.size > kMaxPreviewBytes || !session.engine || !OpenTempFolder())
        return;
    std::string reason;
    std::unique_ptr<FileStream> stream = session.engine->Open(file, reason);
    if (!stream) {
        qDebug("Preview failed: %s", reason.c_str());
        return;
    }
    auto job = std::make_shared<Job>();
    job->stream = std::move(stream);
    job->size = file.size;
    job->dir = m_dir_fd;
    job->name = name;
    m_file_name = name;
    ++m_extractions;
    if (file.size <= kInlineBytes) {
        // A small file is read at once, and decoded at once unless its
        // header promises more pixels than a moment's work.
        job->Extract();
        if (job->bytes.isEmpty()) {
            DeleteCurrentFile();
            return;
        }
        // Bytes whose header tells nothing fail to decode at once.
        if (PreviewPixels(job->bytes) <= kInlinePixels) {
            job->Decode();
            if (job->result.ok)
                Adopt(std::move(job->result));
            else
                DeleteCurrentFile();
            return;
        }
    }
    QObject* receiver = m_receiver.get();
    std::thread thread;
    try {
        thread = std::thread([this, job, receiver] {
            if (!job->Extracted())
                job->Extract();
            job->Decode();
            QMetaObject::invokeMethod(
                receiver, [this, job] { Deliver(job); }, Qt::QueuedConnection);
            job->finished = true;
        });
    } catch (const std::system_error&) {
        // No thread to be had: no preview.
        m_file_name.clear();
        return;
    }
    m_job = job;
    m_shown = Shown::kLoading;
    ReapThreads(false);
    m_workers.push_back({ job, std::move(thread) });
}

void PreviewPanel::ShowText(const FoundFile& file)
{
    ScanSession& session = m_host.Session();
    if (file.size == 0 || !session.engine)
        return;
    std::string reason;
    std::unique_ptr<FileStream> stream = session.engine->Open(file, reason);
    if (!stream)
        return;
    ++m_extractions;
    DecodedPreview decoded = DecodePreviewText(ReadStream(*stream, std::min(file.size, kTextBytes), nullptr));
    if (!decoded.ok)
        return;
    m_lines = std::move(decoded.lines);
    m_shown = Shown::kText;
}

void PreviewPanel::ShowTypeIcon(const FoundFile& file, const std::string& row_text)
{
    static const QMimeDatabase mimes;
    const QMimeType type = mimes.mimeTypeForFile(QString::fromStdString(row_text), QMimeDatabase::MatchExtension);
    m_icon = QIcon::fromTheme(type.iconName(), QIcon::fromTheme(type.genericIconName()));
    const QString kind = type.comment().isEmpty() ? QString::fromStdString(m_extension).toUpper() : type.comment();
    m_caption = kind + QStringLiteral(", ") + QString::fromStdString(FormatSize(file.size));
    m_shown = Shown::kTypeIcon;
}

void PreviewPanel::Deliver(const std::shared_ptr<Job>& job)
{
    if (!job || job != m_job)
        return;
    DecodedPreview decoded;
    {
        std::lock_guard lock(job->mutex);
        if (!job->done)
            return;
        decoded = std::move(job->result);
    }
    m_job.reset();
    if (decoded.ok) {
        Adopt(std::move(decoded));
    } else {
        DeleteCurrentFile();
        m_shown = Shown::kNoPreview;
    }
    InvalidatePanel();
    ReapThreads(false);
}

void PreviewPanel::Adopt(DecodedPreview&& decoded)
{
    m_frames = std::move(decoded.frames);
    m_delays = std::move(decoded.delays);
    m_fitted = decoded.fitted;
    m_frame = 0;
    m_shown = Shown::kImage;
    if (m_frames.size() > 1) {
        m_animating = true;
        StartFrameTimer();
    }
}

void PreviewPanel::StartFrameTimer()
{
    m_interval = m_frame < int(m_delays.size()) ? m_delays[size_t(m_frame)] : 100;
    m_host.Window().SetTimer(kPreviewTimer, m_interval);
}

void PreviewPanel::OnTimer()
{
    m_host.Window().KillTimer(kPreviewTimer);
    if (!m_animating || m_shown != Shown::kImage || m_frames.size() < 2) {
        m_animating = false;
        return;
    }
    m_frame = (m_frame + 1) % int(m_frames.size());
    InvalidatePanel();
    StartFrameTimer();
}

void PreviewPanel::StopAnimation()
{
    if (m_animating)
        m_host.Window().KillTimer(kPreviewTimer);
    m_animating = false;
    m_frame = 0;
}

// The image, text and icon are drawn over the page's own panel; the two
// backgrounds of the skin cover it whole.
void PreviewPanel::Paint(QPainter& painter)
{
    if (m_host.Mode() == kModePartition)
        return;
    const QRect panel = kPreviewPanel;
    if (m_extension.empty() && m_shown == Shown::kNothingChosen) {
        m_not_chosen.Draw(painter, panel);
        return;
    }
    switch (m_shown) {
    case Shown::kImage:
        if (m_frame >= 0 && m_frame < int(m_frames.size()) && !m_fitted.isEmpty()) {
            painter.drawImage(m_fitted, m_frames[size_t(m_frame)]);
            return;
        }
        break;
    case Shown::kLoading:
        if (const QFont* font = zr::ZrFontPool::Font(zr::ZrFontPool::kText))
            painter.setFont(*font);
        painter.setPen(kTextColour);
        painter.drawText(panel, Qt::AlignCenter, QStringLiteral("Loading..."));
        return;
    case Shown::kText: {
        if (const QFont* font = zr::ZrFontPool::Font(zr::ZrFontPool::kBase))
            painter.setFont(*font);
        painter.setPen(kTextColour);
        const QFontMetrics metrics = painter.fontMetrics();
        const QRect area = panel.adjusted(8, 6, -8, -6);
        int y = area.top() + metrics.ascent();
        for (const QString& line : m_lines) {
            if (y + metrics.descent() > area.bottom())
                break;
            painter.drawText(area.left(), y, metrics.elidedText(line, Qt::ElideRight, area.width()));
            y += metrics.lineSpacing();
        }
        return;
    }
    case Shown::kTypeIcon: {
        const QRect icon_rect(panel.center().x() - 24, panel.top() + 30, 48, 48);
        if (!m_icon.isNull())
            m_icon.paint(&painter, icon_rect);
        if (const QFont* font = zr::ZrFontPool::Font(zr::ZrFontPool::kText))
            painter.setFont(*font);
        painter.setPen(kTextColour);
        painter.drawText(QRect(panel.left(), icon_rect.bottom() + 10, panel.width(), 24), Qt::AlignCenter, m_caption);
        return;
    }
    default:
        break;
    }
    m_no_preview.Draw(painter, panel);
}

void PreviewPanel::DeleteCurrentFile()
{
    if (!m_file_name.empty() && m_dir_fd >= 0)
        ::unlinkat(m_dir_fd, m_file_name.c_str(), 0);
    m_file_name.clear();
}

void PreviewPanel::CancelCurrent()
{
    if (!m_job)
        return;
    m_job->cancel = true;
    m_job->WaitExtracted();
    m_job.reset();
}

void PreviewPanel::StopReading()
{
    if (!m_job)
        return;
    CancelCurrent();
    // What was being read is not shown; a new click reads it again.
    DeleteCurrentFile();
    m_item = 0;
    m_row_name.clear();
    m_shown = Shown::kNoPreview;
    InvalidatePanel();
}

void PreviewPanel::WaitReady()
{
    if (!m_job)
        return;
    const std::shared_ptr<Job> job = m_job;
    for (Worker& w : m_workers)
        if (w.job == job && w.thread.joinable())
            w.thread.join();
    Deliver(job);
}

void PreviewPanel::DropShown()
{
    StopAnimation();
    CancelCurrent();
    DeleteCurrentFile();
    m_frames.clear();
    m_delays.clear();
    m_lines.clear();
    m_icon = QIcon();
    m_caption.clear();
    m_fitted = QRect();
}

void PreviewPanel::Clear()
{
    DropShown();
    m_extension.clear();
    m_item = 0;
    m_row_name.clear();
    m_interval = 0;
    m_shown = Shown::kNothingChosen;
    ReapThreads(false);
}

void PreviewPanel::ReapThreads(bool all)
{
    for (auto it = m_workers.begin(); it != m_workers.end();) {
        if (all || it->job->finished.load() || !it->thread.joinable()) {
            if (all)
                it->job->cancel = true;
            if (it->thread.joinable())
                it->thread.join();
            it = m_workers.erase(it);
        } else {
            ++it;
        }
    }
}

void PreviewPanel::InvalidatePanel()
{
    const QRect r = kPreviewPanel;
    m_host.Window().Invalidate(zr::ZrRect { r.left(), r.top(), r.left() + r.width(), r.top() + r.height() }, false);
}

} // namespace salvor
