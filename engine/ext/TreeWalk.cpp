#include "TreeWalk.h"

#include <unordered_set>

namespace fsprobe::ext {

namespace {

// Where the walk starts in a directory's first block: after "." and ".."
// (12 bytes each), and in the root also after the entry that follows them
// (lost+found, 20 bytes).
constexpr u32 kFirstEntryOffset = 24;
constexpr u32 kRootFirstEntryOffset = 44;

bool valid_type(u8 type) { return type == kTypeRegular || type == kTypeDirectory || type == kTypeSymlink; }

struct Frame {
    void* handle = nullptr;
    std::vector<u8> data;
    u64 block = 0;   // current block of the directory
    u64 offset = 0;  // offset inside that block
};

// Decodes the entry at `offset` of one directory block, resynchronising over
// bytes that are not an entry. Returns false when the block has no further
// entry; otherwise `offset` points at the entry.
bool next_entry(ByteView block, u64& offset)
{
    if (!block.has(offset, kDirEntryHeader))
        return false;
    if (block.le16_or(offset + de::rec_len) == 0)
        return false;
    if (!valid_type(block.u8_or(offset + de::file_type))) {
        do {
            offset += 4;
            if (!block.has(offset, kDirEntryHeader))
                return false;
        } while (!valid_type(block.u8_or(offset + de::file_type)));
    }
    if (block.le32_or(offset + de::inode) == 0)
        return false;
    u8 name_len = block.u8_or(offset + de::name_len);
    return block.has(offset + de::name, name_len);
}

std::string entry_name(ByteView block, u64 offset)
{
    u8 len = block.u8_or(offset + de::name_len);
    std::string name(reinterpret_cast<const char*>(block.data() + offset + de::name), len);
    for (char& c : name)
        if (c == '/' || c == '\0')
            c = '_';
    return name;
}

} // namespace

std::optional<std::vector<u8>> read_directory(const Volume& volume, const u8* inode)
{
    if (inode_class(inode) != kModeDirectory)
        return std::nullopt;
    u32 bs = volume.block_size();
    u64 size = std::min<u64>(inode_size(inode), kMaxDirectoryBytes);
    u64 blocks = (size + bs - 1) / bs;
    std::vector<u32> list = volume.block_list(inode, blocks);
    std::vector<u8> data(size_t(blocks * bs));
    for (u64 i = 0; i < blocks; ++i)
        if (i >= list.size() || !volume.read_block(list[i], data.data() + i * bs))
            return std::nullopt;
    return data;
}

bool walk_tree(const Volume& volume, TreeSink& sink)
{
    auto root = volume.read_inode(kRootInode);
    if (!root)
        return false;
    auto root_data = read_directory(volume, root->data());
    if (!root_data)
        return false;

    const u32 bs = volume.block_size();
    std::unordered_set<u32> visited { kRootInode };
    std::vector<Frame> stack;
    stack.push_back(Frame { sink.begin_directory(nullptr, std::string(), kRootInode), std::move(*root_data), 0,
                            kRootFirstEntryOffset });

    while (!stack.empty()) {
        Frame& frame = stack.back();
        u64 block_count = frame.data.size() / bs;
        if (frame.block >= block_count) {
            stack.pop_back();
            continue;
        }
        ByteView block(frame.data.data() + frame.block * bs, bs);
        if (!next_entry(block, frame.offset)) {
            ++frame.block;
            frame.offset = 0;
            continue;
        }
        u64 at = frame.offset;
        u8 name_len = block.u8_or(at + de::name_len);
        frame.offset = at + kDirEntryHeader + ((u64(name_len) + 3) & ~u64(3));

        WalkEntry entry;
        entry.inode_number = block.le32_or(at + de::inode);
        entry.file_type = block.u8_or(at + de::file_type);
        entry.name = entry_name(block, at);
        if (entry.name.empty() || entry.name == "." || entry.name == "..")
            continue;
        auto inode = volume.read_inode(entry.inode_number);
        if (!inode)
            continue;
        entry.inode = *inode;
        // The same inode-table block, still cached: no further read.
        entry.times = volume.read_inode_times(entry.inode_number).value_or(FsprobeTimes {});
        entry.is_directory = entry.file_type == kTypeDirectory;
        bool alive = inode_dtime(inode->data()) == 0;

        if (entry.is_directory) {
            // A live directory with its "." and parent links; a stale copy of
            // an entry (a rename leaves one) or a loop names a directory that
            // was already visited and is passed over.
            if (!alive || inode_links(inode->data()) < 2 || visited.count(entry.inode_number))
                continue;
            visited.insert(entry.inode_number);
            sink.add_entry(frame.handle, entry);
            if (stack.size() >= kMaxWalkDepth)
                continue;
            auto data = read_directory(volume, inode->data());
            if (!data)
                continue;
            void* child = sink.begin_directory(frame.handle, entry.name, entry.inode_number);
            stack.push_back(Frame { child, std::move(*data), 0, kFirstEntryOffset });
            continue;
        }
        if (!alive)
            sink.add_entry(frame.handle, entry);
    }
    return true;
}

} // namespace fsprobe::ext
