// The ext2/3/4 superblock fields that tell the three apart, and the feature
// flags they are told apart by.
#pragma once

#include <ondisk/bytes.h>

namespace ondisk::ext {

// The superblock: 1024 bytes at byte 1024 of the volume.
inline constexpr u64 superblock_offset = 1024;
inline constexpr u32 superblock_size = 1024;
namespace superblock {
inline constexpr size_t magic = 0x38;             // u16
inline constexpr size_t feature_compat = 0x5C;    // u32
inline constexpr size_t feature_incompat = 0x60;  // u32
inline constexpr size_t feature_ro_compat = 0x64; // u32
} // namespace superblock
inline constexpr u16 magic = 0xEF53;

namespace compat {
inline constexpr u32 has_journal = 0x0004;
} // namespace compat

namespace incompat {
inline constexpr u32 filetype = 0x0002;    // directory entries carry a file type
inline constexpr u32 recover = 0x0004;     // the journal needs replaying (set while mounted)
inline constexpr u32 extents = 0x0040;
inline constexpr u32 bit64 = 0x0080;
inline constexpr u32 mmp = 0x0100;
inline constexpr u32 flex_bg = 0x0200;
inline constexpr u32 ea_inode = 0x0400;
inline constexpr u32 csum_seed = 0x2000;
inline constexpr u32 largedir = 0x4000;
inline constexpr u32 inline_data = 0x8000;
} // namespace incompat

namespace ro_compat {
inline constexpr u32 huge_file = 0x0008;
inline constexpr u32 gdt_csum = 0x0010;
inline constexpr u32 dir_nlink = 0x0020;
inline constexpr u32 extra_isize = 0x0040;
inline constexpr u32 quota = 0x0100;
inline constexpr u32 bigalloc = 0x0200;
inline constexpr u32 metadata_csum = 0x0400;
} // namespace ro_compat

// Features that only ext4 sets: any one of them makes the volume ext4.
inline constexpr u32 ext4_incompat = incompat::extents | incompat::bit64 | incompat::mmp | incompat::flex_bg
    | incompat::ea_inode | incompat::csum_seed | incompat::largedir | incompat::inline_data;
inline constexpr u32 ext4_ro_compat = ro_compat::huge_file | ro_compat::gdt_csum | ro_compat::dir_nlink
    | ro_compat::extra_isize | ro_compat::quota | ro_compat::bigalloc | ro_compat::metadata_csum;

enum class Kind {
    ext2,
    ext3, // a journal and no ext4 feature
    ext4,
};

constexpr Kind kind_of(u32 compat_flags, u32 incompat_flags, u32 ro_compat_flags)
{
    if ((incompat_flags & ext4_incompat) || (ro_compat_flags & ext4_ro_compat))
        return Kind::ext4;
    return (compat_flags & compat::has_journal) ? Kind::ext3 : Kind::ext2;
}

} // namespace ondisk::ext
