// The deleted-inode scan of ext2 volumes: every block group's inode table is
// searched for regular files and symbolic links that carry a deletion time and
// are free in the inode bitmap.
#pragma once

#include "Volume.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace fsprobe::ext {

struct LostFile {
    u32 inode_number = 0;
    u64 size = 0;
    InodeCopy inode {};
    FsprobeTimes times {}; // from the whole on-disk inode
    // One entry per block of the size rounded up; empty for a fast symbolic
    // link and for an empty file.
    std::vector<u32> blocks;
};

// Receives the scan's results group by group, in group order. A group whose
// inode table lies outside the volume is skipped without begin_group.
class LostFileSink {
public:
    virtual ~LostFileSink() = default;
    virtual void begin_group(u32 group) = 0;
    virtual void add_file(LostFile&& file) = 0;
    virtual void end_group(u32 group) = 0;
};

// The tests one inode must pass to be reported, apart from the bitmap bit and
// the directory-block test: a deletion time, a regular file or symbolic link,
// and a size the volume can hold.
bool is_lost_file_candidate(const Volume& volume, const u8* inode);

// True when a block starts like a directory's first block ("." then "..",
// both of file type 2).
bool looks_like_directory_block(ByteView head);

// Runs the scan. `progress` moves from 0 to 100 in steps of 5 as groups are
// done; when something else sets it above 99 the scan stops after the current
// inode. Returns false when it was stopped that way.
bool scan_lost_files(const Volume& volume, LostFileSink& sink, std::atomic<int32_t>& progress);

} // namespace fsprobe::ext
