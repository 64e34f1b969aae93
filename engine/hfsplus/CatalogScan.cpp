#include "CatalogScan.h"

#include <fsprobe/common/failure.h>
#include <fsprobe/common/utf.h>

#include <algorithm>
#include <unordered_set>

namespace fsprobe::hfsplus {

namespace {

constexpr u64 kChunkBytes = 1 << 20;
constexpr u64 kMaxJournalBytes = u64(1) << 31;

u64 blocks_for(u64 bytes, u32 block_size) { return (bytes + block_size - 1) / block_size; }

// Names are UTF-16BE; a '/' inside a name is what the user saw as ':'.
std::string decode_name(const u8* p, u32 units)
{
    std::string s = utf16be_bytes_to_utf8(p, units);
    for (char& c : s) {
        if (c == '/')
            c = ':';
    }
    return s;
}

} // namespace

std::optional<Candidate> file_record_at(ByteView buffer, u64 offset, const CarveLimits& limits)
{
    auto key_length = buffer.be16(offset);
    if (!key_length || *key_length < kCatalogKeyMinLength + 2 || *key_length > kCatalogKeyMaxLength || (*key_length & 1))
        return std::nullopt;
    u32 name_units = buffer.be16_or(offset + 6);
    if (name_units == 0 || *key_length != kCatalogKeyMinLength + 2 * name_units)
        return std::nullopt;
    u64 record = offset + 2 + *key_length;
    if (!buffer.has(record, kFileRecordSize))
        return std::nullopt;
    if (buffer.be16_or(record) != kFileRecord)
        return std::nullopt;
    u32 parent = buffer.be32_or(offset + 2);
    u32 file_id = buffer.be32_or(record + kFileRecFileId);
    if (parent < kRootFolderId || file_id < kFirstUserCatalogNodeId)
        return std::nullopt;
    if (limits.next_catalog_id && (file_id >= limits.next_catalog_id || parent >= limits.next_catalog_id))
        return std::nullopt;
    const u8* name = buffer.data() + offset + 8;
    for (u32 i = 0; i < name_units; ++i) {
        if (name[2 * i] == 0 && name[2 * i + 1] == 0)
            return std::nullopt;
    }

    ForkData fork = read_fork_data(buffer.data() + record + kFileRecDataFork);
    u64 needed = blocks_for(fork.logical_size, limits.block_size);
    if (fork.total_blocks > limits.total_blocks || needed > fork.total_blocks)
        return std::nullopt;
    Candidate c;
    u64 listed = 0;
    bool ended = false;
    for (const auto& e : fork.extents) {
        if (e.block_count == 0) {
            ended = true;
            continue;
        }
        // Unused descriptors after the first empty one are zero.
        if (ended || u64(e.start_block) + e.block_count > limits.total_blocks)
            return std::nullopt;
        listed += e.block_count;
        c.extents.push_back(e);
    }
    if (listed > fork.total_blocks || (needed > 0 && c.extents.empty()))
        return std::nullopt;
    c.file_id = file_id;
    c.parent_id = parent;
    c.name = decode_name(name, name_units);
    c.logical_size = fork.logical_size;
    c.fork_blocks = fork.total_blocks;
    c.create_date = buffer.be32_or(record + kFileRecCreateDate);
    c.content_mod_date = buffer.be32_or(record + kFileRecContentModDate);
    c.attribute_mod_date = buffer.be32_or(record + kFileRecAttrModDate);
    c.access_date = buffer.be32_or(record + kFileRecAccessDate);
    return c;
}

void carve_file_records(ByteView buffer, u64 begin, u64 end, const CarveLimits& limits, u8 found_in,
                        std::vector<Candidate>& out)
{
    end = std::min<u64>(end, buffer.size());
    begin += begin & 1;
    for (u64 p = begin; p + 2 + kCatalogKeyMinLength + 2 + kFileRecordSize <= end; p += 2) {
        // Cheap first test: a key length that can hold a name.
        u16 kl = load_be16(buffer.data() + p);
        if (kl < kCatalogKeyMinLength + 2 || kl > kCatalogKeyMaxLength || (kl & 1))
            continue;
        auto c = file_record_at(buffer.slice(0, end), p, limits);
        if (!c)
            continue;
        c->found_in = found_in;
        out.push_back(std::move(*c));
        // Skip over the record just taken.
        p += 2 + kl + kFileRecordSize - 2;
    }
}

std::optional<u32> live_file_id(ByteView node, const NodeRecord& record)
{
    ByteView rec = node.slice(record.offset, record.length);
    auto key_length = rec.be16(0);
    if (!key_length)
        return std::nullopt;
    u64 data = (2 + u64(*key_length) + 1) & ~u64(1);
    if (rec.be16_or(data) != kFileRecord)
        return std::nullopt;
    return rec.be32(data + kFileRecFileId);
}

std::optional<LiveFolder> live_folder_link(ByteView node, const NodeRecord& record)
{
    ByteView rec = node.slice(record.offset, record.length);
    auto key_length = rec.be16(0);
    if (!key_length || *key_length < kCatalogKeyMinLength)
        return std::nullopt;
    u64 data = (2 + u64(*key_length) + 1) & ~u64(1);
    auto type = rec.be16(data);
    if (!type)
        return std::nullopt;
    u32 key_parent = rec.be32_or(2);
    if (*type == kFolderThreadRecord) {
        if (!rec.has(data, kThreadRecName))
            return std::nullopt;
        u32 units = rec.be16_or(data + kThreadRecNameLength);
        if (units > kMaxNameUnits || !rec.has(data + kThreadRecName, u64(units) * 2))
            return std::nullopt;
        return LiveFolder { key_parent,
                            { rec.be32_or(data + kThreadRecParentId),
                              decode_name(rec.data() + data + kThreadRecName, units) },
                            true };
    }
    if (*type == kFolderRecord) {
        u32 units = rec.be16_or(6);
        auto id = rec.be32(data + kFolderRecFolderId);
        if (!id || units > kMaxNameUnits || 6 + 2 + u64(units) * 2 > 2 + u64(*key_length) || !rec.has(8, u64(units) * 2))
            return std::nullopt;
        return LiveFolder { *id, { key_parent, decode_name(rec.data() + 8, units) }, false };
    }
    return std::nullopt;
}

std::optional<std::string> folder_path(const FolderLinks& folders, u32 folder_id)
{
    std::vector<const std::string*> names;
    std::unordered_set<u32> seen;
    for (u32 id = folder_id; id != kRootFolderId;) {
        auto it = folders.find(id);
        if (it == folders.end() || names.size() >= kMaxFolderDepth || !seen.insert(id).second)
            return std::nullopt;
        const std::string& name = it->second.name;
        if (name.empty() || name == "." || name == "..")
            return std::nullopt;
        names.push_back(&name);
        id = it->second.parent_id;
    }
    std::string path;
    for (auto n = names.rbegin(); n != names.rend(); ++n) {
        if (!path.empty())
            path += '/';
        for (char c : **n)
            path += c == '\0' ? '_' : c;
    }
    return path;
}

std::vector<ExtentDescriptor> complete_extents(const VolumeAccess& volume, const OverflowMap& overflow, u8 fork_type,
                                               u32 file_id, std::vector<ExtentDescriptor> extents, u64 needed_blocks)
{
    u64 covered = 0;
    for (const auto& e : extents)
        covered += e.block_count;
    while (covered < needed_blocks && covered <= 0xFFFFFFFFu) {
        const auto* record = overflow.find(fork_type, file_id, u32(covered));
        if (!record)
            break;
        u64 before = covered;
        for (const auto& e : *record) {
            if (e.block_count == 0)
                break;
            if (!volume.extent_fits(e.start_block, e.block_count)) {
                needed_blocks = covered; // damaged: stop mapping here
                break;
            }
            extents.push_back(e);
            covered += e.block_count;
        }
        if (covered == before)
            break;
    }
    // Trim to the blocks the logical size needs.
    std::vector<ExtentDescriptor> out;
    u64 left = needed_blocks;
    for (const auto& e : extents) {
        if (left == 0)
            break;
        u32 n = u32(std::min<u64>(e.block_count, left));
        out.push_back({ e.start_block, n });
        left -= n;
    }
    return out;
}

const std::array<ExtentDescriptor, 8>* OverflowMap::find(u8 fork_type, u32 file_id, u32 start_block) const
{
    auto key = std::make_tuple(fork_type, file_id, start_block);
    if (auto it = live.find(key); it != live.end())
        return &it->second;
    if (auto it = stale.find(key); it != stale.end())
        return &it->second;
    return nullptr;
}

void carve_extent_records(ByteView buffer, u64 begin, u64 end, const CarveLimits& limits, ExtentRecordMap& out)
{
    end = std::min<u64>(end, buffer.size());
    begin += begin & 1;
    constexpr u64 kRecord = 2 + kExtentKeyLength + kExtentRecordSize;
    for (u64 p = begin; p + kRecord <= end; p += 2) {
        const u8* r = buffer.data() + p;
        if (load_be16(r) != kExtentKeyLength || (r[2] != kDataForkType && r[2] != kResourceForkType) || r[3] != 0)
            continue;
        u32 file_id = load_be32(r + 4);
        u32 start = load_be32(r + 8);
        if (file_id < kFirstUserCatalogNodeId || start == 0 || (limits.next_catalog_id && file_id >= limits.next_catalog_id))
            continue;
        std::array<ExtentDescriptor, 8> ext {};
        bool ok = load_be32(r + 16) != 0;
        bool ended = false;
        for (u32 i = 0; i < 8 && ok; ++i) {
            ext[i] = { load_be32(r + 12 + 8 * i), load_be32(r + 16 + 8 * i) };
            if (ext[i].block_count == 0)
                ended = true;
            else if (ended || u64(ext[i].start_block) + ext[i].block_count > limits.total_blocks)
                ok = false;
        }
        if (!ok)
            continue;
        out.emplace(std::make_tuple(r[2], file_id, start), ext);
        p += kRecord - 2;
    }
}

namespace {

// Builds the fork map of a file from its fork record and overflow records.
ForkMap fork_map(const VolumeAccess& volume, const ForkData& fork, u8 fork_type, u32 file_id, const OverflowMap& overflow)
{
    std::vector<ExtentDescriptor> extents;
    for (const auto& e : fork.extents) {
        if (e.block_count == 0)
            break;
        if (!volume.extent_fits(e.start_block, e.block_count))
            break;
        extents.push_back(e);
    }
    u64 needed = blocks_for(fork.logical_size, volume.block_size);
    needed = std::max<u64>(needed, fork.total_blocks);
    ForkMap map(volume.block_size);
    for (const auto& e : complete_extents(volume, overflow, fork_type, file_id, std::move(extents), needed))
        map.append(e.start_block, e.block_count);
    return map;
}

std::optional<BTreeHeader> open_tree(const VolumeAccess& volume, const ForkMap& fork, u64 fork_bytes)
{
    fork_bytes = std::min(fork_bytes, fork.mapped_bytes());
    if (fork_bytes < 512)
        return std::nullopt;
    std::vector<u8> first(512);
    if (!fork.read(volume, first.data(), first.size(), 0))
        return std::nullopt;
    return parse_btree_header(ByteView(first.data(), first.size()), fork_bytes);
}

OverflowMap read_overflow(const VolumeAccess& volume, const VolumeHeader& header, const CarveLimits& limits)
{
    OverflowMap overflow;
    ForkMap fork(volume.block_size);
    for (const auto& e : header.extents_file.extents) {
        if (e.block_count == 0 || !volume.extent_fits(e.start_block, e.block_count))
            break;
        fork.append(e.start_block, e.block_count);
    }
    auto tree = open_tree(volume, fork, header.extents_file.logical_size);
    if (!tree)
        return overflow;
    BTreeWalk walk;
    walk_live_tree(volume, fork, *tree, walk, [&](ByteView node, const ParsedNode& parsed) {
        for (const auto& r : parsed.records) {
            ByteView rec = node.slice(r.offset, r.length);
            if (rec.be16_or(0) != kExtentKeyLength || !rec.has(2 + kExtentKeyLength, kExtentRecordSize))
                continue;
            std::array<ExtentDescriptor, 8> ext {};
            for (u32 i = 0; i < 8; ++i) {
                ext[i].start_block = rec.be32_or(12 + 8 * i);
                ext[i].block_count = rec.be32_or(16 + 8 * i);
            }
            overflow.live.emplace(std::make_tuple(rec.u8_or(2), rec.be32_or(4), rec.be32_or(8)), ext);
        }
        carve_extent_records(node, parsed.free_start, parsed.free_end, limits, overflow.stale);
    });
    // Nodes the tree no longer reaches.
    std::vector<u8> buffer(tree->node_size);
    for (u32 n = 1; n < tree->total_nodes; ++n) {
        if (walk.visited[n] || !read_node(volume, fork, *tree, n, buffer.data()))
            continue;
        ByteView node(buffer.data(), buffer.size());
        auto parsed = parse_node(node);
        if (parsed && (parsed->kind == kHeaderNode || parsed->kind == kMapNode))
            continue;
        carve_extent_records(node, kNodeDescriptorSize, node.size(), limits, overflow.stale);
    }
    return overflow;
}

} // namespace

std::optional<ScanResult> scan_catalog(const VolumeAccess& volume, const VolumeHeader& header, const ScanHooks& hooks)
{
    auto progress = [&](double f) {
        if (hooks.progress)
            hooks.progress(std::clamp(f, 0.0, 1.0));
    };
    auto cancelled = [&] { return hooks.cancel && hooks.cancel(); };

    bool ids_bounded = header.next_catalog_id > kFirstUserCatalogNodeId && !(header.attributes & kCatalogNodeIdsReusedBit);
    CarveLimits limits { volume.block_size, volume.total_blocks, ids_bounded ? header.next_catalog_id : 0 };
    OverflowMap overflow = read_overflow(volume, header, limits);
    ForkMap catalog = fork_map(volume, header.catalog_file, kDataForkType, kCatalogFileId, overflow);
    auto tree = open_tree(volume, catalog, header.catalog_file.logical_size);
    if (!tree) {
        fail(catalog.mapped_bytes() == 0 ? "the HFS+ catalog file has no extents"
                                         : "the HFS+ catalog header node cannot be read or is damaged");
        return std::nullopt;
    }
    ScanResult result;
    result.stats.catalog_nodes = tree->total_nodes;
    result.stats.catalog_bytes = u64(tree->total_nodes) * tree->node_size;
    std::unordered_set<u32> live;
    std::vector<Candidate> found;
    const double total = double(tree->total_nodes);

    // 1. The live tree: ids of live files, and records left in leaf free space.
    BTreeWalk walk;
    bool complete = walk_live_tree(
        volume, catalog, *tree, walk,
        [&](ByteView node, const ParsedNode& parsed) {
            for (const auto& r : parsed.records) {
                if (auto id = live_file_id(node, r))
                    live.insert(*id);
                else if (auto folder = live_folder_link(node, r)) {
                    // A thread record names the folder as it is; a folder
                    // record only stands in while no thread was seen.
                    if (folder->from_thread)
                        result.folders.insert_or_assign(folder->folder_id, std::move(folder->link));
                    else
                        result.folders.try_emplace(folder->folder_id, std::move(folder->link));
                }
            }
            carve_file_records(node, parsed.free_start, parsed.free_end, limits, 1, found);
        },
        [&] {
            progress(0.9 * double(walk.nodes_read) / total);
            return cancelled();
        });
    result.stats.catalog_nodes_read = walk.nodes_read;
    if (!complete) {
        fail("the scan was stopped");
        return std::nullopt;
    }
    result.live_files.assign(live.begin(), live.end());

    // 2. Nodes the tree no longer reaches, read in runs of neighbours.
    const u32 node_size = tree->node_size;
    const u32 batch = u32(std::clamp<u64>(kChunkBytes / node_size, 1, tree->total_nodes));
    std::vector<u8> buffer(u64(batch) * node_size);
    u64 done = walk.nodes_read;
    bool stop = false;
    for (u32 n = 1; n < tree->total_nodes && !stop;) {
        if (walk.visited[n]) {
            ++n;
            continue;
        }
        u32 run = 0;
        while (run < batch && n + run < tree->total_nodes && !walk.visited[n + run])
            ++run;
        // A node that cannot be read comes back zero-filled and yields nothing.
        catalog.read(volume, buffer.data(), u64(run) * node_size, u64(n) * node_size);
        for (u32 i = 0; i < run; ++i) {
            ByteView node(buffer.data() + u64(i) * node_size, node_size);
            auto parsed = parse_node(node);
            if (parsed && (parsed->kind == kHeaderNode || parsed->kind == kMapNode))
                continue;
            carve_file_records(node, kNodeDescriptorSize, node_size, limits, 2, found);
        }
        result.stats.catalog_nodes_read += run;
        done += run;
        n += run;
        progress(0.9 * double(done) / total);
        stop = cancelled();
    }

    // 3. Copies of catalog nodes in the journal.
    if (!stop && (header.attributes & kVolumeJournaledBit) && header.journal_info_block != 0 &&
        header.journal_info_block < volume.total_blocks) {
        u8 jib[52];
        if (volume.read(jib, sizeof jib, u64(header.journal_info_block) * volume.block_size)) {
            u32 flags = load_be32(jib);
            u64 offset = load_be64(jib + kJibOffset);
            u64 size = load_be64(jib + kJibSize);
            if ((flags & kJournalInFsMask) && !(flags & kJournalOnOtherDeviceMask) && offset < volume.size) {
                size = std::min({ size, volume.size - offset, kMaxJournalBytes });
                std::vector<u8> chunk(std::min<u64>(kChunkBytes, size));
                const u64 step = kChunkBytes - kMaxKeyedFileRecord - 2;
                for (u64 at = 0; at < size && !stop; at += step) {
                    u64 len = std::min<u64>(kChunkBytes, size - at);
                    u64 got = 0;
                    volume.read(chunk.data(), len, offset + at, &got);
                    result.stats.journal_bytes_read += got;
                    bool last = at + len >= size;
                    carve_file_records(ByteView(chunk.data(), len), 0, last ? len : std::min(len, step + kMaxKeyedFileRecord),
                                       limits, 3, found);
                    if (last)
                        break;
                    progress(0.9 + 0.1 * double(at + len) / double(size));
                    stop = cancelled();
                }
            }
        }
    }

    // Keep one record per file id, none of a live file.
    std::unordered_set<u32> taken;
    for (auto& c : found) {
        if (live.count(c.file_id) || !taken.insert(c.file_id).second)
            continue;
        c.extents = complete_extents(volume, overflow, kDataForkType, c.file_id, std::move(c.extents),
                                     blocks_for(c.logical_size, volume.block_size));
        result.deleted.push_back(std::move(c));
    }
    progress(1.0);
    return result;
}

} // namespace fsprobe::hfsplus
