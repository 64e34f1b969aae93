// The NTFS boot sector: its fields, one parser of the volume geometry and the
// test that tells an NTFS boot sector from anything else.
#pragma once

#include <ondisk/boot_sector.h>

#include <optional>

namespace ondisk::ntfs {

// Offsets from the start of the boot sector.
namespace boot {
using ondisk::boot::bytes_per_sector;            // u16
using ondisk::boot::sectors_per_cluster;         // u8; above 0x80 a negative power of two
inline constexpr size_t hidden_sectors = 0x1C;       // u32
inline constexpr size_t total_sectors = 0x28;        // u64, one less than the volume (backup boot sector)
inline constexpr size_t mft_lcn = 0x30;              // u64, first cluster of $MFT
inline constexpr size_t mft_mirror_lcn = 0x38;       // u64, first cluster of $MFTMirr
inline constexpr size_t clusters_per_record = 0x40;  // i8: clusters when positive, else 2^-v bytes
inline constexpr size_t clusters_per_index = 0x44;   // i8, the same encoding
} // namespace boot

// Largest cluster NTFS allows (Windows formats up to 2 MiB).
inline constexpr u64 max_cluster_size = 2u << 20;
// Largest MFT record and index record the parser accepts.
inline constexpr u64 max_record_size = 64u << 10;
inline constexpr u64 max_index_record_size = 1u << 20;

// Sectors per cluster from the byte at 0x0D: 1 to 128 as they are (a power
// of two), and above 0x80 two to the power of the byte's negation (0xF4 gives
// 4096 sectors, a 2 MiB cluster on 512-byte sectors). 0 for any other value.
u64 sectors_per_cluster(u8 field);

// An MFT or index record size from its signed byte: that many clusters when
// positive, else 2 to the power of its negation in bytes (0xF6 gives 1024).
// 0 when the size cannot be represented.
u64 record_size_from(i8 field, u64 cluster_size);

struct BootSector {
    u32 bytes_per_sector = 0;
    u64 sectors_per_cluster = 0;
    u64 cluster_size = 0;       // bytes per sector × sectors per cluster, at most 2 MiB
    u64 total_sectors = 0;      // the field as stored
    u64 mft_lcn = 0;
    u64 mft_mirror_lcn = 0;
    u32 record_size = 0;        // 0 when the field gives no usable size
    u32 index_record_size = 0;  // 0 when the field gives none of 1 MiB or less

    // The volume in bytes: the stored count plus the backup boot sector at
    // its end (saturating).
    u64 volume_bytes() const;
};

// Reads the geometry of an NTFS boot sector (512 bytes or longer): 512 to
// 4096 bytes per sector (a power of two) and a cluster of at most 2 MiB are
// required. An MFT record size that is not a power of two from the sector
// size to 64 KiB is returned as 0, so is an index record size above 1 MiB;
// the other fields are returned as found.
std::optional<BootSector> parse_boot(ByteView sector);

// The test of an NTFS boot sector: the name "NTFS    " at 3, a jump
// instruction, the geometry above, a non-zero sector count and MFT cluster.
std::optional<BootSector> identify(ByteView sector);

} // namespace ondisk::ntfs
