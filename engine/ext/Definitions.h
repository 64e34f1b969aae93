// On-disk layout of ext2/ext3 volumes: the fields this engine decodes.
// All fields are little-endian; offsets are from the start of each structure.
#pragma once

#include <fsprobe/common/bytes.h>
#include <ondisk/ext_features.h>

namespace fsprobe::ext {

// Superblock: 1024 bytes at volume byte 1024.
inline constexpr u64 kSuperblockOffset = 1024;
inline constexpr u32 kSuperblockSize = 1024;
namespace sb {
inline constexpr u32 inode_count = 0x00;       // u32
inline constexpr u32 block_count = 0x04;       // u32
inline constexpr u32 first_data_block = 0x14;  // u32
inline constexpr u32 log_block_size = 0x18;    // u32, block size = 1024 << value
inline constexpr u32 log_frag_size = 0x1C;     // i32, fragment size = 1024 << value (>> -value)
inline constexpr u32 blocks_per_group = 0x20;  // u32
inline constexpr u32 inodes_per_group = 0x28;  // u32
inline constexpr u32 magic = ondisk::ext::superblock::magic; // u16
inline constexpr u32 rev_level = 0x4C;         // u32
inline constexpr u32 inode_size = 0x58;        // u16, revision 1 only
inline constexpr u32 feature_incompat = ondisk::ext::superblock::feature_incompat; // u32
} // namespace sb
inline constexpr u16 kMagic = ondisk::ext::magic;
inline constexpr u32 kIncompatFiletype = ondisk::ext::incompat::filetype;
// Set while an ext3 volume is mounted (and after an unclean shutdown): the
// journal may hold changes not yet written to their places. The on-disk
// structures stay readable as they are.
inline constexpr u32 kIncompatRecover = ondisk::ext::incompat::recover;

// Group descriptor: 32 bytes each, in the blocks after the first data block.
inline constexpr u32 kGroupDescSize = 32;
namespace gd {
inline constexpr u32 block_bitmap = 0x00; // u32
inline constexpr u32 inode_bitmap = 0x04; // u32
inline constexpr u32 inode_table = 0x08;  // u32
} // namespace gd

// Inode: the first 128 bytes are the same in every revision.
inline constexpr u32 kInodeCopySize = 128;
namespace ino {
inline constexpr u32 mode = 0x00;        // u16
inline constexpr u32 size_lo = 0x04;     // u32
inline constexpr u32 atime = 0x08;       // u32 access time (seconds since 1970, signed)
inline constexpr u32 ctime = 0x0C;       // u32 inode change time
inline constexpr u32 mtime = 0x10;       // u32 data modification time
inline constexpr u32 dtime = 0x14;       // u32 deletion time
inline constexpr u32 links = 0x1A;       // u16 link count
inline constexpr u32 sectors = 0x1C;     // u32 512-byte units in use
inline constexpr u32 block = 0x28;       // 15 × u32: 12 direct, single, double, triple indirect
inline constexpr u32 size_hi = 0x6C;     // u32 (directories: the directory ACL instead)
// Inodes larger than 128 bytes: the extra fields that follow.
inline constexpr u32 extra_isize = 0x80;  // u16 bytes of extra fields in use, counted from 0x80
inline constexpr u32 ctime_extra = 0x84;  // u32 epoch bits (low 2) and nanoseconds (high 30)
inline constexpr u32 mtime_extra = 0x88;  // u32
inline constexpr u32 atime_extra = 0x8C;  // u32
inline constexpr u32 crtime = 0x90;       // u32 creation time
inline constexpr u32 crtime_extra = 0x94; // u32
} // namespace ino
inline constexpr u32 kExtraTimeEpochMask = 0x3;
inline constexpr u32 kExtraTimeEpochBits = 2;
inline constexpr u32 kDirectPointers = 12;
inline constexpr u32 kBlockPointers = 15;
inline constexpr u16 kModeClassMask = 0xF000;
inline constexpr u16 kModeRegular = 0x8000;
inline constexpr u16 kModeSymlink = 0xA000;
inline constexpr u16 kModeDirectory = 0x4000;
// A symbolic link whose target (plus its terminator) fits into the 60 bytes of
// the block pointers keeps it there and owns no block.
inline constexpr u32 kFastSymlinkLimit = 60;

// Directory entry: inode u32, record length u16, name length u8, file type u8, name.
inline constexpr u32 kDirEntryHeader = 8;
namespace de {
inline constexpr u32 inode = 0x00;
inline constexpr u32 rec_len = 0x04;
inline constexpr u32 name_len = 0x06;
inline constexpr u32 file_type = 0x07;
inline constexpr u32 name = 0x08;
} // namespace de
inline constexpr u8 kTypeRegular = 1;
inline constexpr u8 kTypeDirectory = 2;
inline constexpr u8 kTypeSymlink = 7;

inline constexpr u32 kRootInode = 2;

} // namespace fsprobe::ext
