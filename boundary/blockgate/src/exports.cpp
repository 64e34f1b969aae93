// The exported disk and volume lists, images, and the shared progress value.
#include "internal.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace blockgate;

namespace blockgate {
extern Disk* g_last_disk_read_at_zero;
extern std::atomic<uint64_t> g_bytes_read;
extern thread_local int g_read_errno;
}

namespace {

std::mutex g_lock;
std::vector<std::string> g_images;
bool g_real_disks = true;
std::vector<std::unique_ptr<Disk>> g_disks;
std::vector<BgDiskNode> g_disk_nodes;
std::vector<BgVolumeNode> g_volume_nodes;
std::vector<uint64_t> g_extended;
std::atomic<int32_t> g_stop_requested { 0 };

// Opens a disk read-only and learns its size and sector size.
// Opens `path` for reading without ever blocking in open: a FIFO opened
// for reading waits for a writer. O_NONBLOCK is cleared again once the file
// is known to be a regular file or a block device.
int open_readable(const char* path, struct stat& st, int& err)
{
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        err = errno;
        return -1;
    }
    if (::fstat(fd, &st) != 0) {
        err = errno;
        ::close(fd);
        return -1;
    }
    if (S_ISDIR(st.st_mode)) {
        err = EISDIR;
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        err = EINVAL; // a FIFO, socket or character device is no disk
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        err = errno;
        ::close(fd);
        return -1;
    }
    err = 0;
    return fd;
}

void open_disk(Disk& d)
{
    struct stat opened {};
    int err = 0;
    d.fd = open_readable(d.path.c_str(), opened, err);
    if (d.fd < 0) {
        d.open_errno = err;
        return;
    }
    struct stat st {};
    if (::fstat(d.fd, &st) != 0) {
        d.open_errno = errno;
        ::close(d.fd);
        d.fd = -1;
        return;
    }
    if (S_ISBLK(st.st_mode)) {
        d.is_block_device = true;
        uint64_t bytes = 0;
        if (::ioctl(d.fd, BLKGETSIZE64, &bytes) == 0 && bytes)
            d.size = bytes;
        int ss = 0;
        if (::ioctl(d.fd, BLKSSZGET, &ss) == 0 && ss >= 512 && ss <= 65536)
            d.sector_size = uint32_t(ss);
    } else if (S_ISREG(st.st_mode)) {
        d.size = uint64_t(st.st_size);
    } else {
        d.open_errno = EINVAL;
        ::close(d.fd);
        d.fd = -1;
    }
}

void free_all()
{
    // Virtual volumes read through the disks: they go first.
    release_arrays();
    for (auto& d : g_disks) {
        if (d->fd >= 0)
            ::close(d->fd);
        if (d->write_fd >= 0)
            ::close(d->write_fd);
    }
    g_disks.clear();
    g_disk_nodes.clear();
    g_volume_nodes.clear();
    g_extended.clear();
    bg_disk_list = nullptr;
    bg_volume_list = nullptr;
    g_last_disk_read_at_zero = nullptr;
}

int32_t next_number(int32_t n)
{
    // Number 16 is reserved for virtual volumes and never given to a disk.
    return n == 16 ? 17 : n;
}

// Rebuilds the volume list nodes. Called with g_lock held.
void rebuild_volume_nodes()
{
    g_volume_nodes.clear();
    for (auto& d : g_disks)
        for (auto& v : d->volumes)
            g_volume_nodes.push_back({ nullptr, &v->record });
    append_array_volumes(g_volume_nodes);
    for (size_t i = 0; i + 1 < g_volume_nodes.size(); ++i)
        g_volume_nodes[i].next = &g_volume_nodes[i + 1];
    bg_volume_list = g_volume_nodes.empty() ? nullptr : &g_volume_nodes[0];
}

} // namespace

namespace blockgate {

void add_volume(Disk& d, uint64_t start, uint64_t length, const std::string& name)
{
    auto v = std::make_unique<Volume>();
    v->disk = &d;
    v->start = start;
    v->length = length;
    v->name = name;
    init_volume_reader(*v);
    // A volume is judged by its whole boot sector: a file shorter than one
    // sector (the first 511 bytes of a FAT12 floppy) holds no volume.
    const bool whole_boot = (d.fd >= 0 || d.source) && length >= 512 && v->reader.read(&v->reader, v->boot, 512, 0) == 512;
    BgVolume& r = v->record;
    std::memset(&r, 0, sizeof r);
    r.disk_number = d.reader.disk_number;
    r.size = length;
    r.fs_code = whole_boot ? detect_file_system(&v->reader, v->boot) : BG_FS_UNKNOWN;
    r.drive_letter = '?';
    r.reader = &v->reader;
    r.boot_sector = v->boot;
    r.start = start;
    r.index = uint32_t(d.volumes.size());
    d.volumes.push_back(std::move(v));
}

void rebuild_volume_list()
{
    std::lock_guard guard(g_lock);
    rebuild_volume_nodes();
}

} // namespace blockgate

extern "C" {

BG_API std::atomic<int32_t> bg_progress { 0 };
BG_API BgDiskNode* bg_disk_list = nullptr;
BG_API BgVolumeNode* bg_volume_list = nullptr;

BG_API int32_t bg_add_image(const char* path)
{
    if (!path || !*path)
        return EINVAL;
    struct stat st {};
    int err = 0;
    int fd = open_readable(path, st, err);
    if (fd < 0)
        return err;
    ::close(fd);
    std::lock_guard guard(g_lock);
    g_images.emplace_back(path);
    return 0;
}

BG_API void bg_clear_images(void)
{
    std::lock_guard guard(g_lock);
    g_images.clear();
}

BG_API void bg_set_real_disks(int32_t enabled)
{
    std::lock_guard guard(g_lock);
    g_real_disks = enabled != 0;
}

BG_API void bg_scan_disks(void)
{
    std::lock_guard guard(g_lock);
    free_all();
    int32_t number = 0;
    if (g_real_disks) {
        for (auto& sd : list_sys_disks()) {
            auto d = std::make_unique<Disk>();
            d->path = sd.dev;
            d->size = sd.size;
            d->sector_size = sd.logical_block;
            open_disk(*d);
            number = next_number(number);
            init_disk_reader(*d, number++);
            // The kernel's view of the partitions, so that a disk whose table
            // we cannot read (no permission) still lists them.
            for (size_t i = 0; i < sd.partitions.size(); ++i)
                add_volume(*d, sd.partitions[i].start, sd.partitions[i].length, sd.partition_devs[i]);
            g_disks.push_back(std::move(d));
        }
    }
    for (auto& path : g_images) {
        auto d = std::make_unique<Disk>();
        d->path = path;
        d->is_image = true;
        open_disk(*d);
        number = next_number(number);
        init_disk_reader(*d, number++);
        if (d->fd >= 0) {
            TableScan t = scan_tables(*d);
            d->sector_size = t.sector_size;
            init_disk_reader(*d, d->reader.disk_number);
            d->tables_readable = t.readable;
            d->extended_records = t.extended_records;
            if (t.bare_file_system || !t.has_table) {
                add_volume(*d, 0, d->size, path);
            } else {
                for (size_t i = 0; i < t.partitions.size(); ++i)
                    add_volume(*d, t.partitions[i].start, t.partitions[i].length, path + "#" + std::to_string(i + 1));
            }
        }
        g_disks.push_back(std::move(d));
    }
    g_disk_nodes.resize(g_disks.size());
    for (size_t i = 0; i < g_disks.size(); ++i) {
        g_disk_nodes[i].disk = &g_disks[i]->reader;
        g_disk_nodes[i].next = i + 1 < g_disks.size() ? &g_disk_nodes[i + 1] : nullptr;
    }
    bg_disk_list = g_disk_nodes.empty() ? nullptr : &g_disk_nodes[0];
}

BG_API void bg_scan_volumes(void)
{
    std::lock_guard guard(g_lock);
    rebuild_volume_nodes();
}

BG_API void bg_release_devices(void)
{
    std::lock_guard guard(g_lock);
    free_all();
}

BG_API int32_t bg_last_error(const BgReader* disk)
{
    if (!disk || !disk->impl)
        return EINVAL;
    std::lock_guard guard(g_lock);
    for (auto& d : g_disks) {
        if (&d->reader == disk)
            return d->fd >= 0 ? 0 : d->open_errno;
        for (auto& v : d->volumes)
            if (&v->reader == disk)
                return d->fd >= 0 ? 0 : d->open_errno;
    }
    return EINVAL;
}

BG_API uint64_t bg_object_size(BgReader* object)
{
    return object && object->size ? object->size(object) : 0;
}

BG_API int32_t bg_get_progress(void)
{
    int32_t p = bg_progress.load(std::memory_order_relaxed);
    return std::clamp(p, 0, 100);
}

BG_API int32_t bg_progress_done(void)
{
    return bg_progress.load(std::memory_order_relaxed) >= 100 ? 1 : 0;
}

BG_API void bg_request_stop(int32_t on)
{
    g_stop_requested.store(on ? 1 : 0, std::memory_order_relaxed);
}

BG_API int32_t bg_stop_requested(void)
{
    return g_stop_requested.load(std::memory_order_relaxed);
}

BG_API int32_t bg_read_error(void)
{
    return g_read_errno;
}

BG_API uint64_t* bg_extended_list(void)
{
    Disk* d = g_last_disk_read_at_zero;
    if (!d || d->fd < 0)
        return nullptr;
    // Read the chain afresh: the tables may have changed since the scan.
    TableScan t;
    uint8_t mbr[512] {};
    if (d->read(mbr, 512, 0) != 512)
        return nullptr;
    if (mbr[510] == 0x55 && mbr[511] == 0xAA) {
        uint32_t ss = d->sector_size;
        for (int i = 0; i < 4; ++i) {
            const uint8_t* e = mbr + 446 + 16 * i;
            uint8_t type = e[4];
            uint32_t first = uint32_t(e[8]) | uint32_t(e[9]) << 8 | uint32_t(e[10]) << 16 | uint32_t(e[11]) << 24;
            if ((type == 0x05 || type == 0x0F || type == 0x85) && first)
                walk_extended_chain(*d, uint64_t(first) * ss, ss, t);
        }
    }
    // A chain longer than the 24 records a backup can hold is refused rather
    // than cut: a partial list would make an incomplete backup look complete.
    if (!t.readable || t.extended_records.size() > 24)
        return nullptr;
    g_extended.assign(t.extended_records.begin(), t.extended_records.end());
    g_extended.push_back(0);
    return g_extended.data();
}

} // extern "C"

extern "C" BG_API uint64_t bg_bytes_read(void)
{
    return g_bytes_read.load(std::memory_order_relaxed);
}

namespace {

// With BLOCKGATE_READ_LOG naming a file, the process appends the bytes it
// read from devices and images to it when it ends (for the benchmarks, which
// measure tools run as separate processes).
struct ReadLog {
    ~ReadLog()
    {
        const char* path = std::getenv("BLOCKGATE_READ_LOG");
        if (!path || !*path)
            return;
        if (FILE* f = std::fopen(path, "a")) {
            std::fprintf(f, "bytes_read %llu\n", static_cast<unsigned long long>(bg_bytes_read()));
            std::fclose(f);
        }
    }
} g_read_log;

} // namespace
