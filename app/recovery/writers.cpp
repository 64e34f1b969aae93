// The recovery writer: creates its target file new, copies the found file's
// bytes from the stream its engine opens, and removes the file again when
// nothing at all could be read or the user stopped.
#include <salvor/recovery/recovery.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace salvor {

namespace {

// The engines read in pieces of the volume's allocation unit; a stream that
// names none, or one past any real file system's (2 MiB for NTFS), is read in
// pieces of 64 KiB.
constexpr uint32_t kReadBlock = 64u << 10;
constexpr uint32_t kLargestUnit = 2u << 20;

// Why the last target file of this thread failed to be created, written or
// closed ("" when it did not): the reason a failed file is counted under.
thread_local std::string t_target_failure;

// One target file, created new and removed unless kept. It is made in a
// folder of the job's target when WriteRecoveredFile was given one (the path
// is then only what messages show), otherwise at `path` as the caller named it.
class TargetFile {
public:
    TargetFile(RecoveryJob& job, const std::string& path) : m_job(job)
    {
        const TargetDir* dir = job.place.dir;
        std::string name = job.place.name;
        int dir_errno = 0;
        if (!dir) {
            const size_t slash = path.find_last_of('/');
            const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
            name = slash == std::string::npos ? path : path.substr(slash + 1);
            const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            dir_errno = errno;
            m_own_dir = TargetDir(fd, folder);
            dir = &m_own_dir;
        }
        CreatedFile f = dir->valid() ? job.out.CreateFile(*dir, name) : CreatedFile{-1, dir_errno, name};
        m_fd = f.fd;
        m_errno = f.error;
        m_dir = dir->fd();
        m_name = f.name;
        if (m_fd >= 0)
            posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    ~TargetFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        if (m_fd >= 0 && !m_keep)
            m_job.out.RemoveFile(m_dir, m_name);
    }
    TargetFile(const TargetFile&) = delete;
    TargetFile& operator=(const TargetFile&) = delete;
    bool open() const { return m_fd >= 0; }
    WriteStatus open_failure() const
    {
        if (m_errno != EEXIST)
            t_target_failure = std::string("cannot create the file: ") + std::strerror(m_errno);
        return m_errno == EEXIST ? WriteStatus::kSkipped : WriteStatus::kFailed;
    }
    bool write(const void* data, size_t count)
    {
        const auto* p = static_cast<const uint8_t*>(data);
        while (count > 0) {
            ssize_t n = ::write(m_fd, p, count);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                t_target_failure = std::string("cannot write the file: ") + std::strerror(n < 0 ? errno : EIO);
                return false;
            }
            p += n;
            count -= size_t(n);
            m_written += uint64_t(n);
        }
        return true;
    }
    // Closes the file and keeps it; false when the close reports an error.
    bool keep()
    {
        int rc = ::close(m_fd);
        m_fd = -1;
        m_keep = true;
        if (rc != 0) {
            t_target_failure = std::string("cannot close the file: ") + std::strerror(errno);
            m_job.out.RemoveFile(m_dir, m_name);
        }
        return rc == 0;
    }
    uint64_t written() const { return m_written; }

private:
    RecoveryJob& m_job;
    TargetDir m_own_dir;
    int m_dir = -1;
    std::string m_name; // the name created in m_dir
    int m_fd = -1;
    int m_errno = 0;
    bool m_keep = false;
    uint64_t m_written = 0;
};

// Copies a found file from its stream into a new target file. A piece the
// stream could not read is written as zeros, so the file keeps its length and
// its later data stays in place; a stream that ends early leaves the rest of
// the file as zeros. A size beyond the volume is damaged metadata: the copy
// then ends at the first piece that cannot be read, never goes past the
// volume's size and is not padded.
WriteStatus copy_file(RecoveryJob& job, const FoundFile& file, const std::string& path, bool& cut)
{
    uint64_t size = file.size;
    cut = SizeBeyondVolume(job.session, size);
    if (cut)
        size = job.session.volume->size;
    TargetFile out(job, path);
    if (!out.open())
        return out.open_failure();
    std::string reason;
    std::unique_ptr<FileStream> stream =
        job.session.engine ? job.session.engine->Open(file, reason) : nullptr;
    if (!stream) {
        t_target_failure = reason.empty() ? "the scan that found the file is gone" : reason;
        return WriteStatus::kFailed;
    }
    size_t chunk = stream->Chunk();
    if (chunk == 0 || chunk > kLargestUnit)
        chunk = kReadBlock;
    // Pieces are gathered into writes of up to 1 MiB (a small file is one
    // write), in a buffer sized by the file.
    constexpr uint64_t kStage = 1u << 20;
    std::vector<uint8_t> stage(
        size_t(std::max<uint64_t>(chunk, std::min<uint64_t>(size, std::max<uint64_t>(chunk, kStage)))));
    size_t staged = 0;
    uint64_t done = 0;
    uint64_t pieces_read = 0;
    while (done < size) {
        if (job.progress.StopRequested())
            return WriteStatus::kCancelled;
        const size_t want = size_t(std::min<uint64_t>(chunk, size - done));
        if (staged + want > stage.size()) {
            if (!out.write(stage.data(), staged))
                return WriteStatus::kFailed;
            staged = 0;
        }
        const StreamRead got = stream->Read(stage.data() + staged, want);
        const size_t bytes = std::min(got.bytes, want);
        if (bytes == 0 || (!got.from_source && cut))
            break;
        if (got.from_source)
            ++pieces_read;
        staged += bytes;
        done += bytes;
    }
    if (staged && !out.write(stage.data(), staged))
        return WriteStatus::kFailed;
    if (size > 0 && pieces_read == 0)
        return WriteStatus::kFailed;
    if (!cut) {
        std::vector<uint8_t> zeros(4096);
        while (out.written() < size) {
            const size_t n = size_t(std::min<uint64_t>(zeros.size(), size - out.written()));
            if (!out.write(zeros.data(), n))
                return WriteStatus::kFailed;
        }
    }
    if (!out.keep())
        return WriteStatus::kFailed;
    job.stats.bytes += out.written();
    return WriteStatus::kWritten;
}

} // namespace

WriteStatus WriteRecoveredFile(RecoveryJob& job, uintptr_t item, const std::string& path)
{
    const FoundFile* file = job.session.FileOfItem(item);
    t_target_failure.clear();
    bool cut = false;
    WriteStatus st = WriteStatus::kFailed;
    if (file)
        st = copy_file(job, *file, path, cut);
    else
        t_target_failure = "the file is not one of this scan";
    if (st == WriteStatus::kWritten && cut)
        st = WriteStatus::kDamaged;
    else if (st == WriteStatus::kWritten && file->size == 0)
        st = WriteStatus::kEmpty;
    switch (st) {
    case WriteStatus::kWritten: ++job.stats.written; break;
    case WriteStatus::kDamaged: ++job.stats.damaged; break;
    case WriteStatus::kEmpty: ++job.stats.empty; break;
    case WriteStatus::kSkipped: ++job.stats.skipped; break;
    case WriteStatus::kFailed:
        ++job.stats.failed;
        ++job.stats.failure_reasons[t_target_failure.empty() ? "nothing of its data could be read from the source"
                                                             : t_target_failure];
        break;
    case WriteStatus::kCancelled: job.stats.cancelled = true; break;
    }
    return st;
}

bool SizeBeyondVolume(const ScanSession& session, uint64_t size)
{
    return session.volume && session.volume->size > 0 && size > session.volume->size;
}

uint64_t ItemSize(const ScanSession& session, uintptr_t item)
{
    const FoundFile* file = session.FileOfItem(item);
    return file ? file->size : 0;
}

} // namespace salvor
