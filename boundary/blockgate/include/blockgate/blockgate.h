// blockgate: disks, volumes, sector tests and the shared progress value.
//
// Everything here crosses a shared-library boundary: fixed, little-endian
// layouts. Address fields are pointer-sized on the 64-bit build; every other
// field keeps its width and order. The sizes and offsets are checked below.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#define BG_API __attribute__((visibility("default")))

extern "C" {

struct BgReader;

// Operation slots of a disk or volume object, in slot order.
// write/read: (object, buffer, byte count, byte offset) -> bytes moved.
// A read never goes past the end of its device or volume: at the end it returns
// a short count (0 at or beyond the end). An unreadable range reads short too.
typedef uint32_t (*BgWriteOp)(BgReader* self, const void* buffer, uint32_t count, uint64_t offset);
typedef uint32_t (*BgReadOp)(BgReader* self, void* buffer, uint32_t count, uint64_t offset);
// Third slot: size of the object in bytes.
typedef uint64_t (*BgSizeOp)(BgReader* self);
// Fourth slot: called after every write. Flushes the write handle and, for a
// block device, asks the kernel to re-read the partition table. 1 on success.
typedef int32_t (*BgCommitOp)(BgReader* self);

// A disk object, or the reader of one volume (offsets then relative to the
// volume's first byte, reads ending at the volume's last byte).
//
// The objects below keep the published order and widths of their fields; explicit
// padding puts every field on its natural alignment (the layout has no hidden
// padding, as the asserts check), so callers may bind references to fields.
struct BgReader {
    int32_t disk_number;          // 0x00
    int32_t reserved0;            // 0x04
    const char* name;             // 0x08 device path ("/dev/sda") or image path
    BgWriteOp write;              // 0x10 slot 0
    BgReadOp read;                // 0x18 slot 1
    BgSizeOp size;                // 0x20 slot 2
    BgCommitOp commit;            // 0x28 slot 3
    uint64_t cylinders;           // 0x30
    uint32_t tracks_per_cylinder; // 0x38 always 255
    uint32_t sectors_per_track;   // 0x3C always 63
    uint32_t bytes_per_sector;    // 0x40
    int32_t handle;               // 0x44 read-only file descriptor, -1 when not open
    uint8_t* stream_flag;         // 0x48 one-byte flag, cleared by fsprobe before streaming
    void* impl;                   // 0x50 owned by blockgate
};
static_assert(offsetof(BgReader, name) == 0x08);
static_assert(offsetof(BgReader, write) == 0x10);
static_assert(offsetof(BgReader, commit) == 0x28);
static_assert(offsetof(BgReader, cylinders) == 0x30);
static_assert(offsetof(BgReader, bytes_per_sector) == 0x40);
static_assert(offsetof(BgReader, handle) == 0x44);
static_assert(offsetof(BgReader, stream_flag) == 0x48);
static_assert(sizeof(BgReader) == 0x58);

// File-system codes.
enum BgFsCode : int32_t {
    BG_FS_UNKNOWN = 0,
    BG_FS_FAT12 = 1,
    BG_FS_FAT16 = 2,
    BG_FS_FAT32 = 3,
    BG_FS_NTFS = 4,
    BG_FS_EXFAT = 5,
    BG_FS_EXT2 = 6,
    BG_FS_EXT3 = 7,
    BG_FS_EXT4 = 8,
    BG_FS_HFS = 9,
    BG_FS_HFSPLUS = 10,
};

// A volume: one partition of a disk, or a whole bare file-system image.
// The partition search of fsprobe builds records of the same shape
// (size, fs_code, start, first_found and boot_sector are what it sets).
struct BgVolume {
    int32_t disk_number;   // 0x00
    int32_t reserved0;     // 0x04
    uint64_t size;         // 0x08 bytes
    int32_t fs_code;       // 0x10 BgFsCode
    char drive_letter;     // 0x14 '?' when none
    uint8_t first_found;   // 0x15 partition search: 1 on its first record
    uint8_t reserved1[2];  // 0x16
    BgReader* reader;      // 0x18 volume reader, null in search records
    uint8_t* boot_sector;  // 0x20 512-byte copy of the volume's first sector
    uint64_t start;        // 0x28 byte offset of the volume on its disk
    uint32_t index;        // 0x30 index of the volume within its disk
    uint8_t reserved2[68]; // 0x34 zero
};
static_assert(offsetof(BgVolume, size) == 0x08);
static_assert(offsetof(BgVolume, fs_code) == 0x10);
static_assert(offsetof(BgVolume, drive_letter) == 0x14);
static_assert(offsetof(BgVolume, reader) == 0x18);
static_assert(offsetof(BgVolume, boot_sector) == 0x20);
static_assert(offsetof(BgVolume, start) == 0x28);
static_assert(offsetof(BgVolume, index) == 0x30);
static_assert(sizeof(BgVolume) == 120);

// Singly linked list nodes of the disk and volume lists.
struct BgDiskNode {
    BgDiskNode* next;
    BgReader* disk;
};
struct BgVolumeNode {
    BgVolumeNode* next;
    BgVolume* volume;
};
static_assert(sizeof(BgDiskNode) == 16);
static_assert(sizeof(BgVolumeNode) == 16);

// The shared progress percent: 0 at the start of a job, steps of 5, 100 at the end.
// Written by engines on a worker thread, polled by the user interface.
BG_API extern std::atomic<int32_t> bg_progress;

// Heads of the lists built by bg_scan_disks / bg_scan_volumes (null when empty).
BG_API extern BgDiskNode* bg_disk_list;
BG_API extern BgVolumeNode* bg_volume_list;

// Registers a disk image file (whole-disk MBR/GPT image or bare file-system
// image) to be listed by the next bg_scan_disks. Returns 0, or an errno value
// (ENOENT, EACCES, EISDIR, ...) when the file cannot be opened for reading;
// EINVAL for a file that is neither a regular file nor a block device (a
// FIFO, socket or character device), which is refused without blocking.
BG_API int32_t bg_add_image(const char* path);
// Forgets every registered image (the next scan lists real disks only).
BG_API void bg_clear_images(void);
// Whether bg_scan_disks lists the machine's real disks (default 1). Tests and
// image-only tools turn it off.
BG_API void bg_set_real_disks(int32_t enabled);

BG_API void bg_scan_disks(void);
BG_API void bg_scan_volumes(void);
// Frees both lists and every disk and volume object.
BG_API void bg_release_devices(void);

// Why a disk object cannot be read: 0 when it is open, else the errno of the
// failed open (EACCES without root or the disk group, for example).
BG_API int32_t bg_last_error(const BgReader* disk);
// The whole size of a disk or volume object in bytes.
BG_API uint64_t bg_object_size(BgReader* object);

// Cluster size of a FAT, NTFS, exFAT, ext or HFS+ volume in bytes; 0 otherwise.
BG_API uint32_t bg_volume_cluster_size(BgVolume* volume);

// Bytes read from devices and images by this process so far, all readers
// together (for measurements: what a job costs its source).
BG_API uint64_t bg_bytes_read(void);

BG_API int32_t bg_get_progress(void);
BG_API int32_t bg_progress_done(void);

// A stop request for the running scan, apart from the progress value: the
// long loops of the engines and of carving end soon after it is set, as they
// do when bg_progress is set to 100. Whoever sets it clears it (0) before
// starting the next job; nothing else clears it.
BG_API void bg_request_stop(int32_t on);
BG_API int32_t bg_stop_requested(void);

// The errno of the last read through a disk or volume object on the calling
// thread when the device or image refused it; 0 when that read succeeded or
// came back short only because it reached the end.
BG_API int32_t bg_read_error(void);

// Sector tests. Each returns 0 when the 512-byte sector is such a boot sector,
// non-zero otherwise. bg_test_fat_boot and bg_test_ntfs_boot fill the record's
// fs_code and size on success (disk may be null).
// bg_test_other_boot returns 0 for the boot sector of another kind of volume
// (exFAT, for example), 1 otherwise.
BG_API int32_t bg_test_fat_boot(BgReader* disk, const uint8_t* sector, BgVolume* record);
BG_API int32_t bg_test_ntfs_boot(BgReader* disk, const uint8_t* sector, BgVolume* record);
BG_API int32_t bg_test_other_boot(const uint8_t* sector, BgVolume* record);

// Byte offsets of the extended boot records of the disk whose sector 0 was last
// read through a disk object's read operation, in chain order, at most 24,
// ended by 0. Just the ending 0 when that disk has no extended partition; null
// when no disk was read yet, its tables cannot be read, or its chain holds more
// than 24 records (a list cut short would make a backup silently incomplete). The array stays valid
// until the next call or bg_release_devices.
BG_API uint64_t* bg_extended_list(void);

} // extern "C"
