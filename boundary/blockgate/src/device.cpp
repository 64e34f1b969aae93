// Disk and volume objects: read-only handles with a read-ahead window, and the
// separate read-write handle opened only for an explicit write.
#include "internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace blockgate {

uint64_t read_fully(int fd, void* buffer, uint64_t count, uint64_t offset)
{
    auto* out = static_cast<uint8_t*>(buffer);
    uint64_t done = 0;
    while (done < count) {
        ssize_t n = ::pread(fd, out + done, size_t(count - done), off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += uint64_t(n);
    }
    return done;
}

uint32_t ReadAhead::read(int fd, void* buffer, uint32_t count, uint64_t offset, uint64_t end)
{
    if (fd < 0 || offset >= end || count == 0)
        return 0;
    uint64_t want = std::min<uint64_t>(count, end - offset);
    if (want >= window_size / 2)
        return uint32_t(read_fully(fd, buffer, want, offset));

    std::lock_guard guard(m_lock);
    auto* out = static_cast<uint8_t*>(buffer);
    uint64_t done = 0;
    // Read ahead only for a reader that goes on where it stopped: scattered
    // reads (inode tables, indirect blocks) fetch just their own pages.
    bool sequential = offset == m_next;
    m_next = offset + want;
    while (done < want) {
        uint64_t pos = offset + done;
        if (m_window && pos >= m_start && pos < m_start + m_length) {
            uint64_t n = std::min<uint64_t>(want - done, m_start + m_length - pos);
            std::memcpy(out + done, m_window.get() + (pos - m_start), n);
            done += n;
            continue;
        }
        if (!m_window)
            m_window.reset(new uint8_t[window_size]);
        // Align the window to 4 KiB so it matches the device's pages.
        uint64_t start = pos & ~uint64_t(4095);
        uint64_t span = sequential ? window_size : ((offset + want - start + 4095) & ~uint64_t(4095));
        uint64_t length = std::min<uint64_t>(std::min<uint64_t>(span, window_size), end - start);
        m_start = start;
        m_length = uint32_t(read_fully(fd, m_window.get(), length, start));
        if (pos >= m_start + m_length) {
            // Nothing readable at pos: an unreadable range or the end.
            m_length = 0;
            break;
        }
    }
    return uint32_t(done);
}

void ReadAhead::invalidate()
{
    std::lock_guard guard(m_lock);
    m_length = 0;
    m_next = ~uint64_t(0);
}

uint32_t Disk::read(void* buffer, uint32_t count, uint64_t offset)
{
    return cache.read(fd, buffer, count, offset, size);
}

static Disk* disk_of(BgReader* r) { return static_cast<Disk*>(r->impl); }
static Volume* volume_of(BgReader* r) { return static_cast<Volume*>(r->impl); }

// Set by every disk read of sector 0: bg_extended_list describes that disk.
Disk* g_last_disk_read_at_zero = nullptr;

static uint32_t disk_read_op(BgReader* r, void* buffer, uint32_t count, uint64_t offset)
{
    Disk* d = disk_of(r);
    if (offset == 0)
        g_last_disk_read_at_zero = d;
    return d->read(buffer, count, offset);
}

static uint32_t disk_write_op(BgReader* r, const void* buffer, uint32_t count, uint64_t offset)
{
    Disk* d = disk_of(r);
    if (offset >= d->size)
        return 0;
    if (d->write_fd < 0) {
        // The read-write handle exists only for the explicit partition-table
        // writes, and only from the first of them on.
        d->write_fd = ::open(d->path.c_str(), O_RDWR | O_CLOEXEC);
        if (d->write_fd < 0)
            return 0;
    }
    uint64_t n = std::min<uint64_t>(count, d->size - offset);
    uint64_t done = 0;
    const auto* in = static_cast<const uint8_t*>(buffer);
    while (done < n) {
        ssize_t w = ::pwrite(d->write_fd, in + done, size_t(n - done), off_t(offset + done));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break;
        done += uint64_t(w);
    }
    // What was cached no longer reflects the disk.
    d->cache.invalidate();
    for (auto& v : d->volumes)
        v->cache.invalidate();
    return uint32_t(done);
}

static int32_t disk_commit_op(BgReader* r)
{
    Disk* d = disk_of(r);
    if (d->write_fd < 0)
        return 0;
    if (::fsync(d->write_fd) != 0)
        return 0;
    if (d->is_block_device) {
        // Ask the kernel to read the new table; it refuses (EBUSY) while a
        // partition of the disk is mounted, and the change then takes effect
        // at the next attach.
        (void)::ioctl(d->write_fd, BLKRRPART);
    }
    return 1;
}

static uint64_t disk_size_op(BgReader* r) { return disk_of(r)->size; }

static uint32_t volume_read_op(BgReader* r, void* buffer, uint32_t count, uint64_t offset)
{
    Volume* v = volume_of(r);
    if (offset >= v->length)
        return 0;
    uint64_t n = std::min<uint64_t>(count, v->length - offset);
    // The window works in disk offsets, bounded by the volume's end.
    return v->cache.read(v->disk->fd, buffer, uint32_t(n), v->start + offset, v->start + v->length);
}

// Volumes are never written: the only writes blockgate allows are the
// partition-table writes through the disk object.
static uint32_t volume_write_op(BgReader*, const void*, uint32_t, uint64_t)
{
    errno = EPERM;
    return 0;
}

static int32_t volume_commit_op(BgReader*) { return 0; }
static uint64_t volume_size_op(BgReader* r) { return volume_of(r)->length; }

static void set_geometry(BgReader& r, uint64_t size, uint32_t sector_size)
{
    r.tracks_per_cylinder = 255;
    r.sectors_per_track = 63;
    r.bytes_per_sector = sector_size;
    uint64_t sectors = (size + sector_size - 1) / sector_size;
    r.cylinders = (sectors + 255 * 63 - 1) / (255 * 63);
}

void init_disk_reader(Disk& d, int32_t number)
{
    BgReader& r = d.reader;
    std::memset(&r, 0, sizeof r);
    r.disk_number = number;
    r.name = d.path.c_str();
    r.write = &disk_write_op;
    r.read = &disk_read_op;
    r.size = &disk_size_op;
    r.commit = &disk_commit_op;
    set_geometry(r, d.size, d.sector_size);
    r.handle = d.fd;
    r.stream_flag = &d.stream_flag;
    r.impl = &d;
}

void init_volume_reader(Volume& v)
{
    BgReader& r = v.reader;
    std::memset(&r, 0, sizeof r);
    r.disk_number = v.disk->reader.disk_number;
    r.name = v.name.c_str();
    r.write = &volume_write_op;
    r.read = &volume_read_op;
    r.size = &volume_size_op;
    r.commit = &volume_commit_op;
    set_geometry(r, v.length, v.disk->sector_size);
    r.handle = v.disk->fd;
    r.stream_flag = &v.stream_flag;
    r.impl = &v;
}

} // namespace blockgate
