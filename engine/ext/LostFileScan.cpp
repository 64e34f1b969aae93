#include "LostFileScan.h"

#include <algorithm>
#include <cstring>

namespace fsprobe::ext {

namespace {
// Inode tables are read in pieces of about this size, so that a damaged
// superblock cannot make the scan allocate more.
constexpr u64 kTablePiece = 1ull << 20;
// The group's first 11 inodes are reserved (root, journal, resize inode, ...).
constexpr u32 kFirstScannedIndex = 11;

u64 blocks_for(u64 size, u32 block_size) { return size / block_size + (size % block_size ? 1 : 0); }
} // namespace

bool looks_like_directory_block(ByteView head)
{
    // "." entry: file type at byte 7, name at byte 8; ".." entry at byte 12:
    // file type at byte 19, name at bytes 20-21.
    return head.u8_or(7) == kTypeDirectory && head.u8_or(19) == kTypeDirectory && head.u8_or(8) == '.'
        && head.u8_or(20) == '.' && head.u8_or(21) == '.';
}

bool is_lost_file_candidate(const Volume& volume, const u8* inode)
{
    if (inode_dtime(inode) == 0)
        return false;
    u16 cls = inode_class(inode);
    if (cls != kModeRegular && cls != kModeSymlink)
        return false;
    u64 blocks = blocks_for(inode_size(inode), volume.block_size());
    // A size that no block map of this volume can back is a damaged inode.
    return blocks <= volume.geometry().block_count && blocks <= volume.addressable_blocks();
}

bool scan_lost_files(const Volume& volume, LostFileSink& sink, std::atomic<int32_t>& progress)
{
    const Geometry& geo = volume.geometry();
    progress.store(0, std::memory_order_relaxed);
    double threshold = 0.05;
    std::vector<u8> bitmap(geo.block_size);
    u64 inodes_per_piece = std::max<u64>(1, kTablePiece / geo.inode_size);
    std::vector<u8> table(size_t(std::min<u64>(inodes_per_piece, geo.inodes_per_group) * geo.inode_size));
    std::vector<LostFile> candidates;
    u8 head[24];
    auto stopped = [&] { return progress.load(std::memory_order_relaxed) > 99 || bg_stop_requested(); };

    for (u32 g = 0; g < geo.group_count; ++g) {
        if (stopped())
            return false;
        const GroupDesc& desc = volume.groups()[g];
        u64 table_bytes = u64(geo.inodes_per_group) * geo.inode_size;
        u64 table_blocks = (table_bytes + geo.block_size - 1) / geo.block_size;
        if (!volume.block_valid(desc.inode_table) || u64(desc.inode_table) + table_blocks > geo.block_count)
            continue;
        sink.begin_group(g);
        bool have_bitmap = volume.read_block(desc.inode_bitmap, bitmap.data());

        // First pass over the inode table: the tests that need no further read.
        candidates.clear();
        for (u64 first = 0; first < geo.inodes_per_group && !stopped(); first += inodes_per_piece) {
            u64 n = std::min<u64>(inodes_per_piece, geo.inodes_per_group - first);
            // A short read leaves zeros: inodes without a deletion time.
            volume.read_bytes_partial(table.data(), u64(desc.inode_table) * geo.block_size + first * geo.inode_size,
                                      n * geo.inode_size);
            for (u64 i = 0; i < n; ++i) {
                u64 k = first + i;
                if (g == 0 && k < kFirstScannedIndex)
                    continue;
                const u8* inode = table.data() + i * geo.inode_size;
                if (!is_lost_file_candidate(volume, inode))
                    continue;
                // An unreadable bitmap counts as "in use".
                if (!have_bitmap || (bitmap[k / 8] >> (k % 8)) & 1)
                    continue;
                LostFile file;
                file.inode_number = u32(u64(g) * geo.inodes_per_group + k + 1);
                file.size = inode_size(inode);
                std::memcpy(file.inode.data(), inode, kInodeCopySize);
                file.times = inode_times(inode, geo.inode_size);
                candidates.push_back(std::move(file));
            }
        }

        // Second pass: the directory-block test and the block lists read
        // scattered blocks. Visiting the candidates in the order of their
        // first block keeps those reads close together (and inside a reader's
        // read-ahead window); the files are then handed on in inode order.
        std::vector<size_t> order(candidates.size());
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            return inode_pointer(candidates[a].inode.data(), 0) < inode_pointer(candidates[b].inode.data(), 0);
        });
        std::vector<bool> keep(candidates.size(), true);
        for (size_t idx : order) {
            LostFile& file = candidates[idx];
            const u8* inode = file.inode.data();
            if (inode_is_fast_symlink(inode) || file.size == 0)
                continue;
            u32 b0 = inode_pointer(inode, 0);
            if (volume.block_valid(b0) && volume.read_bytes(head, u64(b0) * geo.block_size, sizeof head)
                && looks_like_directory_block(ByteView(head, sizeof head))) {
                keep[idx] = false;
                continue;
            }
            file.blocks = volume.block_list(inode, blocks_for(file.size, geo.block_size));
        }
        for (size_t i = 0; i < candidates.size(); ++i)
            if (keep[i])
                sink.add_file(std::move(candidates[i]));
        candidates.clear();
        sink.end_group(g);
        if (stopped())
            return false;

        double done = double(g + 1) / double(geo.group_count);
        if (done >= threshold) {
            progress.fetch_add(5, std::memory_order_relaxed);
            threshold += 0.05;
        }
    }
    progress.store(100, std::memory_order_relaxed);
    return true;
}

} // namespace fsprobe::ext
