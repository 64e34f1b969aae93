// Logical Disk Manager (Windows dynamic disks): the private header, the
// database header (VMDB) and the database records (VBLK). Every field is
// big-endian. Parsing only, no I/O: the caller hands in the bytes.
//
// A dynamic disk keeps a 1 MiB database (the configuration area). On an MBR
// disk (partition type 0x42) its private header sits at sector 6 and the
// area at the end of the disk; on a GPT disk the area is the LDM metadata
// partition. Every disk of a disk group carries the whole group's database.
#pragma once

#include <ondisk/bytes.h>

#include <optional>
#include <string>
#include <vector>

namespace ondisk::ldm {

inline constexpr u8 mbr_partition_type = 0x42;
// GPT partition type GUIDs, in the byte order they are stored on disk.
inline constexpr u8 gpt_metadata_type[16] = { 0xAA, 0xC8, 0x08, 0x58, 0x8F, 0x7E, 0xE0, 0x42,
                                              0x85, 0xD2, 0xE1, 0xE9, 0x04, 0x34, 0xCF, 0xB3 };
inline constexpr u8 gpt_data_type[16] = { 0xA0, 0x60, 0x9B, 0xAF, 0x31, 0x14, 0x62, 0x4F,
                                          0xBC, 0x68, 0x33, 0x11, 0x71, 0x4A, 0x69, 0xAD };

inline constexpr u64 database_size = 1u << 20;
inline constexpr u64 privhead_sector = 6;           // on an MBR disk
inline constexpr u64 privhead_in_database = 0xFFE00; // the copy in the last sector of the area
inline constexpr u64 vmdb_sector_in_database = 17;  // where Windows writes it

// PRIVHEAD, offsets from its start.
namespace privhead {
inline constexpr size_t signature = 0x00;    // "PRIVHEAD"
inline constexpr size_t disk_guid = 0x30;    // 64 bytes of text, zero padded
inline constexpr size_t group_guid = 0xB0;   // 64 bytes of text
inline constexpr size_t data_start = 0x11B;  // u64 sector of the data area (logical disk)
inline constexpr size_t data_size = 0x123;   // u64 sectors
inline constexpr size_t config_start = 0x12B; // u64 sector of the database area
inline constexpr size_t config_size = 0x133; // u64 sectors
inline constexpr size_t size = 0x13B;
} // namespace privhead

// VMDB, offsets from its start.
namespace vmdb {
inline constexpr size_t signature = 0x00;      // "VMDB"
inline constexpr size_t last_sequence = 0x04;  // u32 sequence number of the last committed VBLK
inline constexpr size_t vblk_size = 0x08;      // u32 bytes per VBLK (128)
inline constexpr size_t first_vblk = 0x0C;     // u32 offset of the first VBLK from the VMDB
inline constexpr size_t volume_count = 0x85;   // u32 committed volume records
inline constexpr size_t disk_count = 0x91;     // u32 committed disk records
inline constexpr size_t size = 0x95;
} // namespace vmdb

// VBLK header, offsets from the start of each 128-byte block.
namespace vblk {
inline constexpr size_t signature = 0x00;      // "VBLK"
inline constexpr size_t sequence = 0x04;       // u32
inline constexpr size_t group = 0x08;          // u32 the record the fragment belongs to
inline constexpr size_t fragment = 0x0C;       // u16 this fragment's number
inline constexpr size_t fragments = 0x0E;      // u16 fragments of the record
inline constexpr size_t header_size = 0x10;    // record data follows
inline constexpr size_t flags = 0x12;          // u8, per record type
inline constexpr size_t type = 0x13;           // u8 record type (version in the high nibble)
inline constexpr size_t fields = 0x18;         // variable-length fields start here
} // namespace vblk

enum RecordType : u8 {
    component_v3 = 0x32,
    partition_v3 = 0x33,
    disk_v3 = 0x34,  // disk GUID as text
    group_v3 = 0x35,
    disk_v4 = 0x44,  // disk GUID as 16 bytes
    group_v4 = 0x45,
    volume_v5 = 0x51,
};

inline constexpr u8 component_flag_striped = 0x10; // stripe size and columns present
inline constexpr u8 partition_flag_index = 0x08;   // column index present

enum ComponentType : u8 {
    component_stripe = 1,
    component_spanned = 2,
    component_raid5 = 3,
};

struct PrivateHeader {
    std::string disk_guid;  // lower-case text
    std::string group_guid;
    u64 data_start = 0;     // sectors
    u64 data_size = 0;
    u64 config_start = 0;
    u64 config_size = 0;
};

struct DatabaseHeader {
    u64 offset = 0;         // of the VMDB within the area
    u32 last_sequence = 0;
    u32 vblk_size = 0;
    u32 first_vblk = 0;
    u32 volume_count = 0;
    u32 disk_count = 0;
};

struct VolumeRecord {
    u64 id = 0;
    std::string name;
    std::string type;       // "gen" (simple, spanned, striped, mirrored) or "raid5"
    u64 children = 0;
    u64 size = 0;           // sectors
    u8 partition_type = 0;
};

struct ComponentRecord {
    u64 id = 0;
    std::string name;
    u8 type = 0;            // ComponentType
    u64 children = 0;
    u64 parent_id = 0;      // the volume
    u64 stripe_size = 0;    // sectors; 0 when the record has none
    u64 columns = 0;
};

struct PartitionRecord {
    u64 id = 0;
    std::string name;
    u64 start = 0;          // sector within the disk's data area
    u64 volume_offset = 0;  // sector within the volume
    u64 size = 0;           // sectors
    u64 parent_id = 0;      // the component
    u64 disk_id = 0;
    std::optional<u64> index; // column within the component; not stored for column 0
};

struct DiskRecord {
    u64 id = 0;
    std::string name;
    std::string guid;       // lower-case text
};

struct Database {
    DatabaseHeader header;
    std::vector<VolumeRecord> volumes;
    std::vector<ComponentRecord> components;
    std::vector<PartitionRecord> partitions;
    std::vector<DiskRecord> disks;
    u32 corrupt_records = 0; // records that could not be parsed or joined

    const DiskRecord* disk_with_guid(const std::string& guid) const;
    const DiskRecord* disk_with_id(u64 id) const;
};

// A GUID text as found on disk made comparable: lower case, cut at the first
// zero byte or blank. Empty when it is not 36 characters of hex and dashes.
std::string normalise_guid(ByteView text);

// The private header in a 512-byte sector (or longer buffer).
std::optional<PrivateHeader> parse_private_header(ByteView sector);

// The VMDB of a database area: at its usual sector, else at the first sector
// of the area that starts with "VMDB" and gives a usable record size.
std::optional<DatabaseHeader> find_database_header(ByteView area);

// Every committed record of the area, fragments joined. Records that fail to
// parse are counted and left out; nothing in the area is trusted.
std::optional<Database> parse_database(ByteView area);

} // namespace ondisk::ldm
