// Internal structure of blockgate: devices, their readers and the detection of
// partition tables and file systems.
#pragma once

#include <blockgate/blockgate.h>
#include <blockgate/raid.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace blockgate {

// Serves small reads from a few windows, one per stream of reads (a scanner
// interleaving record reads with data reads keeps both). A read that goes on
// where a stream's last read ended fetches ahead of it, but never more than
// half of what that stream has read back to back so far: a reader that stops
// has read at most half as much again as it used, and a long sequential reader
// soon reads whole windows. A read that continues no stream fetches just the
// 512-byte sectors it touches (a small one, for the lookups of the scanners)
// or exactly its own bytes; a read larger than half a window bypasses them all.
class ReadAhead {
public:
    static constexpr uint32_t window_size = 1u << 20;
    static constexpr int streams = 4;

    // Reads [offset, offset + count) of the file `fd` limited to `end`.
    // Returns the bytes delivered (short at `end` or at an unreadable range).
    uint32_t read(int fd, void* buffer, uint32_t count, uint64_t offset, uint64_t end);
    void invalidate();

private:
    struct Stream {
        std::unique_ptr<uint8_t[]> window;
        uint64_t start = 0;
        uint32_t length = 0;
        uint64_t next = ~uint64_t(0); // where this stream's last read ended
        uint64_t streak = 0;          // bytes it read back to back up to `next`
        uint64_t used = 0;
    };
    Stream* holding(uint64_t pos);
    Stream* continuing(uint64_t offset);
    Stream* least_used();

    std::mutex m_lock;
    Stream m_streams[streams];
    uint64_t m_clock = 0;
};

// pread until `count` bytes or end of file / error. Returns bytes read. Every
// read of a device or image goes through here and is counted.

uint64_t read_fully(int fd, void* buffer, uint64_t count, uint64_t offset);

struct Volume;

// A disk: a block device or an image file.
struct Disk {
    std::string path;
    bool is_image = false;
    bool is_block_device = false;
    int fd = -1;
    int open_errno = 0;
    int write_fd = -1;
    uint64_t size = 0;
    uint32_t sector_size = 512;
    uint8_t stream_flag = 1;
    BgReader reader {};
    ReadAhead cache;
    std::vector<std::unique_ptr<Volume>> volumes;
    // Byte offsets of the extended boot records found while reading the tables.
    std::vector<uint64_t> extended_records;
    bool tables_readable = true;
    // A disk assembled from others (a RAID array): reads go through this
    // reader instead of fd.
    BgReader* source = nullptr;

    uint32_t read(void* buffer, uint32_t count, uint64_t offset);
};

struct Volume {
    Disk* disk = nullptr;
    uint64_t start = 0;
    uint64_t length = 0;
    std::string name;
    uint8_t stream_flag = 1;
    uint8_t boot[512] {};
    BgReader reader {};
    BgVolume record {};
    ReadAhead cache;
    // The whole of an assembled disk: its length follows the disk's size.
    bool whole_source = false;
};

// A partition found in a table, in bytes.
struct PartitionSpan {
    uint64_t start = 0;
    uint64_t length = 0;
};

struct TableScan {
    bool has_table = false;             // an MBR or GPT was recognised
    bool bare_file_system = false;      // sector 0 is a volume, not a table
    uint32_t sector_size = 512;
    std::vector<PartitionSpan> partitions;
    std::vector<uint64_t> extended_records; // byte offsets, chain order
    bool readable = true;
};

// Reads the partition tables of `disk` (already open) through its reader.
TableScan scan_tables(Disk& disk);

// Walks the extended boot record chain starting at byte offset ext_start.
// Appends logical drives and the records' offsets.
void walk_extended_chain(Disk& disk, uint64_t ext_start, uint32_t sector_size, TableScan& out);

// File-system code of a volume whose first bytes are readable through `read`.
int32_t detect_file_system(BgReader* reader, const uint8_t* boot);

// True when the sector is a FAT/NTFS/exFAT volume boot sector (or another
// recognised volume start) rather than a partition table.
bool looks_like_volume_boot(const uint8_t* sector);

// Real disks of /sys/block, in name order.
struct SysDisk {
    std::string name;    // "sda"
    std::string dev;     // "/dev/sda"
    uint64_t size = 0;   // bytes
    uint32_t logical_block = 512;
    std::vector<PartitionSpan> partitions;
    std::vector<std::string> partition_devs;
};
std::vector<SysDisk> list_sys_disks(const std::string& sys_root = "/sys");

// Adds a volume of `d` (its reader, boot sector copy and file-system code).
void add_volume(Disk& d, uint64_t start, uint64_t length, const std::string& name);
// Rebuilds bg_volume_list from the disks and the open virtual volumes.
void rebuild_volume_list();
// Virtual volumes (raid.cpp): their volumes for the list, and closing them all.
void append_array_volumes(std::vector<BgVolumeNode>& nodes);
void release_arrays();

// The disk behind a disk object of this library read straight from its file,
// else null.
Disk* image_disk_of(BgReader* reader);

void init_disk_reader(Disk& disk, int32_t number);
void init_volume_reader(Volume& volume);

} // namespace blockgate
