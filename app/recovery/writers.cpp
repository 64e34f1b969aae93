// The per-file-system writers. Each creates its target file new, copies the
// data chunk by chunk through the engine that found the file, and removes the
// file again when nothing at all could be read or the user stopped.
#include <salvor/recovery/recovery.h>

#include <fsprobe/ntfs.h>
#include <fsprobe/fat.h>
#include <fsprobe/ext2.h>
#include <fsprobe/ext3.h>
#include <fsprobe/hfsplus.h>
#include <carvex/carvex.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <unistd.h>
#include <vector>

namespace salvor {

namespace {

// Files are read in chunks of the volume's allocation unit, so that an
// unreadable cluster costs only itself and the reads stay aligned to it (the
// reader's read-ahead makes the sequential ones large). A volume that has no
// unit (no file system, a lost boot sector) or one past any real file
// system's (2 MiB for NTFS) is read in blocks of 64 KiB.
constexpr uint32_t kReadBlock = 64u << 10;
constexpr uint32_t kLargestUnit = 2u << 20;

uint32_t read_block(uint64_t unit)
{
    return unit == 0 || unit > kLargestUnit ? kReadBlock : uint32_t(unit);
}

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

// Set by a writer when the file it wrote claimed more than its volume holds
// and was cut to what could be read.
thread_local bool t_cut_short = false;

// Ends a streamed file: a stream that stopped early (an unreadable chunk ends
// the engine's stream) leaves the rest of the file at its length as zeros;
// then the file is kept and counted. A size beyond the volume is damaged
// metadata: the file keeps what was read and is not padded.
WriteStatus finish_padded(RecoveryJob& job, TargetFile& out, uint64_t size)
{
    if (SizeBeyondVolume(job.session, size)) {
        t_cut_short = true;
        size = out.written();
    }
    std::vector<uint8_t> zeros(4096);
    while (out.written() < size) {
        const size_t n = size_t(std::min<uint64_t>(zeros.size(), size - out.written()));
        if (!out.write(zeros.data(), n))
            return WriteStatus::kFailed;
    }
    if (!out.keep())
        return WriteStatus::kFailed;
    job.stats.bytes += size;
    return WriteStatus::kWritten;
}

// Reads `length` bytes of the current file into `buffer`; false when that
// chunk could not be read.
using ChunkReader = std::function<bool(uint8_t* buffer, uint32_t length)>;

// Copies `size` bytes in chunks of `chunk` bytes: S / C full chunks, then the
// remainder. A chunk that cannot be read is written as zeros, so the file
// keeps its length and its later data stays in place. A size beyond the
// volume is damaged metadata: the copy then ends at the first chunk that
// cannot be read, and never goes past the volume's size.
WriteStatus chunked_copy(RecoveryJob& job, const std::string& path, uint64_t size, uint32_t chunk,
                         const ChunkReader& read)
{
    if (chunk == 0)
        chunk = kReadBlock;
    const bool cut = SizeBeyondVolume(job.session, size);
    if (cut) {
        t_cut_short = true;
        size = job.session.volume->size;
    }
    // Chunks are gathered into writes of up to 1 MiB (a small file is one
    // write), in a buffer sized by the file.
    constexpr uint64_t kStage = 1u << 20;
    std::vector<uint8_t> stage(size_t(std::max<uint64_t>(1, std::min<uint64_t>(size, std::max<uint64_t>(chunk, kStage)))));
    size_t staged = 0;
    TargetFile out(job, path);
    if (!out.open())
        return out.open_failure();
    uint64_t chunks_read = 0;
    for (uint64_t done = 0; done < size;) {
        if (job.progress.StopRequested())
            return WriteStatus::kCancelled;
        const uint32_t length = uint32_t(std::min<uint64_t>(chunk, size - done));
        if (staged + length > stage.size()) {
            if (!out.write(stage.data(), staged))
                return WriteStatus::kFailed;
            staged = 0;
        }
        uint8_t* buffer = stage.data() + staged;
        std::memset(buffer, 0, length);
        if (read(buffer, length))
            ++chunks_read;
        else if (cut)
            break;
        staged += length;
        done += length;
    }
    if (staged && !out.write(stage.data(), staged))
        return WriteStatus::kFailed;
    if (size > 0 && chunks_read == 0)
        return WriteStatus::kFailed;
    if (!out.keep())
        return WriteStatus::kFailed;
    job.stats.bytes += out.written();
    return WriteStatus::kWritten;
}

uint32_t volume_chunk(const ScanSession& session)
{
    return read_block(session.volume ? bg_volume_cluster_size(session.volume) : 0);
}

WriteStatus write_ntfs_deleted(RecoveryJob& job, NtfsFileInfo* f, const std::string& path)
{
    const uint64_t rec = f->record_number;
    Ntfs_RWfile_Set(1);
    WriteStatus st = chunked_copy(job, path, f->size, volume_chunk(job.session), [&](uint8_t* buf, uint32_t len) {
        return Ntfs_Get_Data(uint32_t(rec), uint32_t(rec >> 32), buf, len) == NTFS_DATA_OK;
    });
    Ntfs_RWfile_Set(1);
    return st;
}

WriteStatus write_ntfs_format(RecoveryJob& job, NtfsFormatInfo* r, const std::string& path)
{
    const int32_t block = Ntfs_Format_BlockSize(r);
    Ntfs_RWfile_Set(2);
    WriteStatus st = chunked_copy(job, path, r->size, read_block(block > 0 ? uint64_t(block) : 0), [&](uint8_t* buf, uint32_t len) {
        return Ntfs_Read_ForMat_Data(r, buf, len) == NTFS_DATA_OK;
    });
    Ntfs_RWfile_Set(2);
    return st;
}

WriteStatus write_fat(RecoveryJob& job, uintptr_t item, const std::string& path)
{
    auto* e = reinterpret_cast<FatEntry*>(item);
    const bool format = job.session.mode == kModeFormat;
    // Positions count sectors: 512-byte ones in format recovery, the
    // volume's own otherwise (boot sector offset 11).
    uint32_t sector = 512;
    if (!format && job.session.volume && job.session.volume->boot_sector) {
        const uint8_t* b = job.session.volume->boot_sector;
        const uint32_t bps = uint32_t(b[11]) | (uint32_t(b[12]) << 8);
        if (bps >= 512 && bps <= 4096 && (bps & (bps - 1)) == 0)
            sector = bps;
    }
    uint64_t position = 0;
    return chunked_copy(job, path, e->size, volume_chunk(job.session), [&](uint8_t* buf, uint32_t len) {
        const uint64_t before = position;
        const bool ok = format ? fat_fmtRec_readfile(e, buf, len, &position) : fat_readfile(e, buf, len, &position);
        if (!ok || position == before)
            position = before + (len + sector - 1) / sector; // keep the place after a failed chunk
        return ok;
    });
}

WriteStatus write_ext2(RecoveryJob& job, Ext2LostFile* file, const std::string& path)
{
    const uint32_t block = ext2_get_blocksize();
    if (block == 0 || block > 65536) // ext2 blocks are 1 to 64 KiB
        return WriteStatus::kFailed;
    const uint64_t size = ext2_get_filesize(file);
    if (size == EXT2_NO_SIZE)
        return WriteStatus::kFailed;
    // Staging of up to 1 MiB, so the target sees large writes.
    constexpr size_t kStage = 1048576;
    std::vector<uint8_t> stage(kStage);
    TargetFile out(job, path);
    if (!out.open())
        return out.open_failure();
    const uint32_t* list = ext2_get_fileblocklist(file);
    uint64_t pieces_read = 0;
    size_t staged = 0;
    if (!list && size > 0) {
        // A fast symbolic link keeps its target in the inode (60 bytes at 0x28).
        if (size <= 60 && file->inode) {
            if (!out.write(file->inode + 0x28, size_t(size)))
                return WriteStatus::kFailed;
            if (!out.keep())
                return WriteStatus::kFailed;
            job.stats.bytes += size;
            return WriteStatus::kWritten;
        }
        return WriteStatus::kFailed;
    }
    const uint64_t blocks = (size + block - 1) / block;
    for (uint64_t k = 0; k < blocks; ++k) {
        if (job.progress.StopRequested())
            return WriteStatus::kCancelled;
        const uint32_t length = uint32_t(std::min<uint64_t>(block, size - k * block));
        if (staged + length > kStage - 1) {
            if (!out.write(stage.data(), staged))
                return WriteStatus::kFailed;
            staged = 0;
        }
        uint64_t got = 0;
        std::memset(stage.data() + staged, 0, length);
        if (list[k] != 0 &&
            ext2_readfile(reinterpret_cast<uintptr_t>(file), length, 0, &got, list[k], 0, stage.data() + staged) &&
            got == length)
            ++pieces_read;
        else
            std::memset(stage.data() + staged, 0, length); // unreadable or lost block: zeros
        staged += length;
    }
    if (staged && !out.write(stage.data(), staged))
        return WriteStatus::kFailed;
    if (size > 0 && pieces_read == 0)
        return WriteStatus::kFailed;
    if (!out.keep())
        return WriteStatus::kFailed;
    job.stats.bytes += size;
    return WriteStatus::kWritten;
}

WriteStatus write_ext3(RecoveryJob& job, Ext3FoundFile* file, const std::string& path)
{
    const uint64_t size = ext3_get_filesize(file);
    if (size == EXT3_NO_SIZE)
        return WriteStatus::kFailed;
    std::vector<uint8_t> buffer(EXT3_READ_CHUNK_MAX);
    TargetFile out(job, path);
    if (!out.open())
        return out.open_failure();
    uint64_t position = 0;
    uint64_t got_total = 0;
    {
        uint64_t ignored = 0;
        ext3_readfile2(nullptr, &ignored, &position, buffer.data());
        position = 0;
    }
    // Every call but the last delivers at least one 1 KiB block.
    const uint64_t max_calls = size / 1024 + 16;
    for (uint64_t guard = 0; guard < max_calls; ++guard) {
        if (job.progress.StopRequested())
            return WriteStatus::kCancelled;
        uint64_t count = 0;
        const bool more = ext3_readfile2(file, &count, &position, buffer.data());
        count = std::min<uint64_t>(count, buffer.size());
        count = std::min<uint64_t>(count, size - std::min(size, out.written()));
        if (count && !out.write(buffer.data(), size_t(count)))
            return WriteStatus::kFailed;
        got_total += count;
        if (!more)
            break;
    }
    if (size > 0 && got_total == 0)
        return WriteStatus::kFailed;
    return finish_padded(job, out, size);
}

WriteStatus write_hfsplus(RecoveryJob& job, HfspFileRecord* file, const std::string& path)
{
    const uint64_t block = hfsp_get_blocksize();
    if (block == 0 || block > (uint64_t(1) << 26))
        return WriteStatus::kFailed;
    const uint64_t size = hfsp_get_filesize(file);
    std::vector<uint8_t> buffer(static_cast<size_t>(block));
    TargetFile out(job, path);
    if (!out.open())
        return out.open_failure();
    if (size == 0) {
        if (!out.keep())
            return WriteStatus::kFailed;
        return WriteStatus::kWritten;
    }
    uint64_t position = 0;
    uint64_t got_total = 0;
    {
        uint64_t ignored = 0;
        hfsp_readfile(nullptr, &ignored, &position, buffer.data());
        position = 0;
    }
    const uint64_t max_calls = size / block + 16;
    for (uint64_t guard = 0; guard < max_calls && out.written() < size; ++guard) {
        if (job.progress.StopRequested())
            return WriteStatus::kCancelled;
        uint64_t length = 0;
        std::memset(buffer.data(), 0, buffer.size());
        const bool more = hfsp_readfile(file, &length, &position, buffer.data());
        uint64_t count = length;
        if (!more) {
            // The last call leaves the final count to the file size.
            count = hfsp_get_readerror() ? 0 : size - out.written();
        }
        count = std::min<uint64_t>({count, block, size - out.written()});
        if (count && !out.write(buffer.data(), size_t(count)))
            return WriteStatus::kFailed;
        got_total += count;
        if (!more)
            break;
    }
    if (got_total == 0)
        return WriteStatus::kFailed;
    return finish_padded(job, out, size);
}

WriteStatus write_raw(RecoveryJob& job, CxItem* item, const std::string& path)
{
    const uint64_t size = cx_item_size(item);
    if (size == 0) {
        // A carved item without bytes is no recovered file.
        TargetFile out(job, path);
        return out.open() ? WriteStatus::kFailed : out.open_failure();
    }
    cx_end_read();
    WriteStatus st = chunked_copy(job, path, size, volume_chunk(job.session), [&](uint8_t* buf, uint32_t len) {
        return cx_read_item(job.session.volume, item, buf, len) == len;
    });
    cx_end_read();
    return st;
}

} // namespace

WriteStatus WriteRecoveredFile(RecoveryJob& job, uintptr_t item, const std::string& path)
{
    WriteStatus st = WriteStatus::kFailed;
    const ScanSession& s = job.session;
    t_target_failure.clear();
    t_cut_short = false;
    if (item == 0) {
        st = WriteStatus::kFailed;
    } else if (s.mode == kModeRaw) {
        st = write_raw(job, reinterpret_cast<CxItem*>(item), path);
    } else if (s.fs_code >= 1 && s.fs_code <= 3) {
        st = write_fat(job, item, path);
    } else if (s.fs_code == 4) {
        if (s.mode == kModeDeleted)
            st = write_ntfs_deleted(job, reinterpret_cast<NtfsFileInfo*>(item), path);
        else
            st = write_ntfs_format(job, reinterpret_cast<NtfsFormatInfo*>(item), path);
    } else if (s.fs_code == 6) {
        st = write_ext2(job, reinterpret_cast<Ext2LostFile*>(item), path);
    } else if (s.fs_code == 7) {
        st = write_ext3(job, reinterpret_cast<Ext3FoundFile*>(item), path);
    } else if (s.fs_code == 10) {
        st = write_hfsplus(job, reinterpret_cast<HfspFileRecord*>(item), path);
    }
    if (st == WriteStatus::kWritten && t_cut_short)
        st = WriteStatus::kDamaged;
    else if (st == WriteStatus::kWritten && ItemSize(s, item) == 0)
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

uint64_t ItemSize(const ScanSession& s, uintptr_t item)
{
    if (item == 0)
        return 0;
    if (s.mode == kModeRaw) {
        return cx_item_size(reinterpret_cast<CxItem*>(item));
    } else if (s.fs_code >= 1 && s.fs_code <= 3) {
        return reinterpret_cast<FatEntry*>(item)->size;
    } else if (s.fs_code == 4) {
        return s.mode == kModeDeleted ? uint64_t(reinterpret_cast<NtfsFileInfo*>(item)->size)
                                      : uint64_t(reinterpret_cast<NtfsFormatInfo*>(item)->size);
    } else if (s.fs_code == 6) {
        return ext2_get_filesize(reinterpret_cast<Ext2LostFile*>(item));
    } else if (s.fs_code == 7) {
        return ext3_get_filesize(reinterpret_cast<Ext3FoundFile*>(item));
    } else if (s.fs_code == 10) {
        return hfsp_get_filesize(reinterpret_cast<HfspFileRecord*>(item));
    }
    return 0;
}

} // namespace salvor
