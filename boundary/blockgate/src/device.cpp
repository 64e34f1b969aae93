// Disk and volume objects: read-only handles with a read-ahead window, and the
// separate read-write handle opened only for an explicit write.
#include "internal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace blockgate {

std::atomic<uint64_t> g_bytes_read{0};
thread_local int g_read_errno = 0;

uint64_t read_fully(int fd, void* buffer, uint64_t count, uint64_t offset)
{
    auto* out = static_cast<uint8_t*>(buffer);
    uint64_t done = 0;
    while (done < count) {
        ssize_t n = ::pread(fd, out + done, size_t(count - done), off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // Kept for the engines, which tell the user why a volume failed.
            g_read_errno = n < 0 ? errno : 0;
            break;
        }
        done += uint64_t(n);
    }
    g_bytes_read.fetch_add(done, std::memory_order_relaxed);
    return done;
}

ReadAhead::Stream* ReadAhead::holding(uint64_t pos)
{
    for (auto& s : m_streams)
        if (s.length && pos >= s.start && pos - s.start < s.length)
            return &s;
    return nullptr;
}

ReadAhead::Stream* ReadAhead::continuing(uint64_t offset)
{
    for (auto& s : m_streams)
        if (s.next == offset)
            return &s;
    return nullptr;
}

ReadAhead::Stream* ReadAhead::least_used()
{
    Stream* victim = &m_streams[0];
    for (auto& s : m_streams)
        if (s.used < victim->used)
            victim = &s;
    return victim;
}

uint32_t ReadAhead::read(int fd, void* buffer, uint32_t count, uint64_t offset, uint64_t end)
{
    g_read_errno = 0;
    if (fd < 0 || offset >= end || count == 0)
        return 0;
    const uint64_t want = std::min<uint64_t>(count, end - offset);
    if (want >= window_size / 2)
        return uint32_t(read_fully(fd, buffer, want, offset));

    std::lock_guard guard(m_lock);
    auto* out = static_cast<uint8_t*>(buffer);
    // The stream this read belongs to: the one it continues, else the one
    // whose window it starts in, else the one used least recently.
    Stream* stream = continuing(offset);
    const bool sequential = stream != nullptr;
    const uint64_t streak = sequential ? stream->streak : 0;
    if (!stream)
        stream = holding(offset);
    if (!stream)
        stream = least_used();
    uint64_t done = 0;
    while (done < want) {
        const uint64_t pos = offset + done;
        if (Stream* s = holding(pos)) {
            const uint64_t n = std::min<uint64_t>(want - done, s->start + s->length - pos);
            std::memcpy(out + done, s->window.get() + (pos - s->start), n);
            s->used = ++m_clock;
            done += n;
            continue;
        }
        const uint64_t need = want - done;
        // Read ahead by half the streak, in whole pages, within one window.
        const uint64_t ahead = std::min<uint64_t>((streak / 2) & ~uint64_t(4095), window_size - need);
        if (ahead == 0 && need >= 4096) {
            // Nothing to guess: exactly the caller's bytes, straight to it.
            const uint64_t got = read_fully(fd, out + done, need, pos);
            done += got;
            break;
        }
        uint64_t from = pos;
        uint64_t to = pos + need + ahead;
        if (ahead == 0) {
            // A small lookup takes its whole sectors: the next lookup of a
            // scanner is often in the same one.
            from = pos & ~uint64_t(511);
            to = (to + 511) & ~uint64_t(511);
        }
        to = std::min(to, end);
        if (!stream->window)
            stream->window.reset(new uint8_t[window_size]);
        stream->start = from;
        stream->length = uint32_t(read_fully(fd, stream->window.get(), to - from, from));
        if (pos >= stream->start + stream->length) {
            // Nothing readable at pos: an unreadable range or the end.
            stream->length = 0;
            break;
        }
    }
    stream->next = offset + done;
    stream->streak = (sequential ? streak : 0) + done;
    stream->used = ++m_clock;
    return uint32_t(done);
}

void ReadAhead::invalidate()
{
    std::lock_guard guard(m_lock);
    for (auto& s : m_streams) {
        s.length = 0;
        s.next = ~uint64_t(0);
        s.streak = 0;
    }
}

uint32_t Disk::read(void* buffer, uint32_t count, uint64_t offset)
{
    if (source)
        return source->read(source, buffer, count, offset);
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

Disk* image_disk_of(BgReader* r)
{
    if (!r || r->read != &disk_read_op)
        return nullptr;
    Disk* d = disk_of(r);
    return d->fd >= 0 && !d->source ? d : nullptr;
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
    const uint64_t length = v->whole_source ? v->disk->source->size(v->disk->source) : v->length;
    if (offset >= length) {
        g_read_errno = 0;
        return 0;
    }
    uint64_t n = std::min<uint64_t>(count, length - offset);
    if (v->disk->source)
        return v->disk->read(buffer, uint32_t(n), v->start + offset);
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
static uint64_t volume_size_op(BgReader* r)
{
    Volume* v = volume_of(r);
    return v->whole_source ? v->disk->source->size(v->disk->source) : v->length;
}

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
