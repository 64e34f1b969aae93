#include "hfsplus_image_builder.h"

#include <fsprobe/common/bytes.h>
#include <fsprobe/common/utf.h>

#include <algorithm>
#include <stdexcept>
#include <tuple>

namespace hfsplus_test {

using namespace fsprobe;

namespace {

constexpr uint32_t kMapRecordOffset = 248;

uint32_t ceil_div(uint64_t a, uint64_t b) { return uint32_t((a + b - 1) / b); }

struct CatalogRecord {
    uint32_t parent;
    std::u16string name;
    std::vector<uint8_t> bytes; // key and data
};

std::vector<uint8_t> catalog_key(uint32_t parent, const std::u16string& name)
{
    std::vector<uint8_t> k(8 + 2 * name.size());
    store_be16(k.data(), uint16_t(6 + 2 * name.size()));
    store_be32(k.data() + 2, parent);
    store_be16(k.data() + 6, uint16_t(name.size()));
    for (size_t i = 0; i < name.size(); ++i)
        store_be16(k.data() + 8 + 2 * i, name[i]);
    return k;
}

std::u16string hfs_name(const std::string& utf8)
{
    std::u16string n = utf8_to_utf16(utf8);
    for (auto& c : n) {
        if (c == u':')
            c = u'/';
    }
    if (n.size() > 255)
        throw std::invalid_argument("HFS+ names hold at most 255 UTF-16 units");
    return n;
}

void put_fork(uint8_t* p, uint64_t logical, uint32_t total_blocks, const std::vector<std::pair<uint32_t, uint32_t>>& extents)
{
    store_be64(p, logical);
    store_be32(p + 8, 0);
    store_be32(p + 12, total_blocks);
    for (size_t i = 0; i < extents.size() && i < 8; ++i) {
        store_be32(p + 16 + 8 * i, extents[i].first);
        store_be32(p + 20 + 8 * i, extents[i].second);
    }
}

uint32_t block_total(const std::vector<std::pair<uint32_t, uint32_t>>& extents)
{
    uint32_t n = 0;
    for (const auto& e : extents)
        n += e.second;
    return n;
}

std::vector<uint8_t> file_record(const BuiltFile& f)
{
    std::vector<uint8_t> key = catalog_key(f.parent, hfs_name(f.name));
    std::vector<uint8_t> rec(248, 0);
    store_be16(rec.data(), 2);
    store_be32(rec.data() + 8, f.id);
    store_be32(rec.data() + 12, f.create_date);
    store_be32(rec.data() + 16, f.content_mod_date);
    store_be32(rec.data() + 20, f.attribute_mod_date);
    store_be32(rec.data() + 24, f.access_date);
    store_be16(rec.data() + 32 + 10, 0x81A4);  // mode: regular file, 0644
    put_fork(rec.data() + 88, f.data.size(), block_total(f.extents), f.extents);
    key.insert(key.end(), rec.begin(), rec.end());
    return key;
}

// Lays records into a node of `node_size`: descriptor, records, offset table.
std::vector<uint8_t> make_node(uint16_t node_size, int8_t kind, uint8_t height, const std::vector<std::vector<uint8_t>>& records,
                               uint32_t flink = 0, uint32_t blink = 0)
{
    std::vector<uint8_t> node(node_size, 0);
    store_be32(node.data(), flink);
    store_be32(node.data() + 4, blink);
    node[8] = uint8_t(kind);
    node[9] = height;
    store_be16(node.data() + 10, uint16_t(records.size()));
    uint32_t at = 14;
    for (size_t i = 0; i < records.size(); ++i) {
        store_be16(node.data() + node_size - 2 * (i + 1), uint16_t(at));
        if (at + records[i].size() > node_size - 2 * (records.size() + 1))
            throw std::logic_error("records overflow the node");
        std::copy(records[i].begin(), records[i].end(), node.begin() + at);
        at += uint32_t(records[i].size());
    }
    store_be16(node.data() + node_size - 2 * (records.size() + 1), uint16_t(at));
    return node;
}

uint32_t node_room(uint16_t node_size, size_t records) { return uint32_t(node_size - 14 - 2 * (records + 1)); }

std::vector<uint8_t> header_node(uint16_t node_size, uint16_t depth, uint32_t root, uint32_t leaf_records, uint32_t first_leaf,
                                 uint32_t last_leaf, uint16_t max_key, uint32_t total_nodes, const std::vector<bool>& used,
                                 uint8_t compare_type, uint32_t attributes)
{
    std::vector<uint8_t> hdr(106, 0);
    store_be16(hdr.data(), depth);
    store_be32(hdr.data() + 2, root);
    store_be32(hdr.data() + 6, leaf_records);
    store_be32(hdr.data() + 10, first_leaf);
    store_be32(hdr.data() + 14, last_leaf);
    store_be16(hdr.data() + 18, node_size);
    store_be16(hdr.data() + 20, max_key);
    store_be32(hdr.data() + 22, total_nodes);
    uint32_t free_nodes = 0;
    for (uint32_t i = 0; i < total_nodes; ++i)
        free_nodes += (i < used.size() && used[i]) ? 0 : 1;
    store_be32(hdr.data() + 26, free_nodes);
    hdr[37] = 0;             // btree type
    hdr[38] = compare_type;  // key compare type
    store_be32(hdr.data() + 39, attributes);
    std::vector<uint8_t> user(128, 0);
    std::vector<uint8_t> map(node_size - kMapRecordOffset - 8, 0);
    for (uint32_t i = 0; i < used.size() && i / 8 < map.size(); ++i) {
        if (used[i])
            map[i / 8] |= uint8_t(0x80 >> (i % 8));
    }
    auto node = make_node(node_size, 1, 0, { hdr, user, map });
    return node;
}

} // namespace

HfsPlusImageBuilder::HfsPlusImageBuilder(BuildOptions options)
    : m_opt(options)
{
    const uint32_t bs = m_opt.block_size;
    if (bs < 512 || (bs & (bs - 1)) || m_opt.node_size < 512 || (m_opt.node_size & (m_opt.node_size - 1)))
        throw std::invalid_argument("block and node sizes must be powers of two from 512");
    m_next_block = ceil_div(1536, bs);
    m_used.push_back({ 0, m_next_block });
    uint32_t tail = ceil_div(1024, bs);
    m_used.push_back({ m_opt.total_blocks - tail, tail });

    m_bitmap_blocks = ceil_div(ceil_div(m_opt.total_blocks, 8), bs);
    auto bitmap = allocate(m_bitmap_blocks, 1);
    m_bitmap_start = bitmap[0].first;
    m_used.insert(m_used.end(), bitmap.begin(), bitmap.end());

    // Tree files hold whole nodes and whole blocks.
    auto fit_nodes = [&](uint32_t nodes) {
        uint64_t bytes = uint64_t(nodes) * m_opt.node_size;
        return uint32_t(uint64_t(ceil_div(bytes, bs)) * bs / m_opt.node_size);
    };
    m_opt.extents_nodes = fit_nodes(std::max<uint32_t>(m_opt.extents_nodes, 3));
    m_opt.catalog_nodes = fit_nodes(std::max<uint32_t>(m_opt.catalog_nodes, 2));
    m_extents_extents = allocate(ceil_div(uint64_t(m_opt.extents_nodes) * m_opt.node_size, bs), 1);
    m_used.insert(m_used.end(), m_extents_extents.begin(), m_extents_extents.end());
    m_catalog_extents = allocate(ceil_div(uint64_t(m_opt.catalog_nodes) * m_opt.node_size, bs), m_opt.catalog_fragments);
    m_used.insert(m_used.end(), m_catalog_extents.begin(), m_catalog_extents.end());
    if (m_opt.journal) {
        auto j = allocate(1 + m_opt.journal_blocks, 1);
        m_jib_block = j[0].first;
        m_used.insert(m_used.end(), j.begin(), j.end());
    }
}

std::vector<std::pair<uint32_t, uint32_t>> HfsPlusImageBuilder::allocate(uint32_t blocks, uint32_t fragments)
{
    std::vector<std::pair<uint32_t, uint32_t>> out;
    if (blocks == 0)
        return out;
    fragments = std::clamp<uint32_t>(fragments, 1, blocks);
    uint32_t tail = ceil_div(1024, m_opt.block_size);
    for (uint32_t i = 0; i < fragments; ++i) {
        uint32_t n = blocks / fragments + (i < blocks % fragments ? 1 : 0);
        if (uint64_t(m_next_block) + n + 1 > m_opt.total_blocks - tail)
            throw std::length_error("image too small for its contents");
        out.push_back({ m_next_block, n });
        m_next_block += n + (fragments > 1 ? 1 : 0); // a free block between fragments
    }
    return out;
}

uint32_t HfsPlusImageBuilder::add_folder(uint32_t parent, const std::string& name)
{
    m_folders.push_back({ m_next_id, parent, name });
    return m_next_id++;
}

uint32_t HfsPlusImageBuilder::add_file(uint32_t parent, const std::string& name, const std::vector<uint8_t>& data,
                                       uint32_t fragments)
{
    BuiltFile f;
    f.id = m_next_id++;
    f.parent = parent;
    f.name = name;
    f.data = data;
    f.extents = allocate(ceil_div(data.size(), m_opt.block_size), fragments);
    m_used.insert(m_used.end(), f.extents.begin(), f.extents.end());
    m_files.push_back(std::move(f));
    return m_files.back().id;
}

uint32_t HfsPlusImageBuilder::add_deleted_file(uint32_t parent, const std::string& name, const std::vector<uint8_t>& data,
                                               DeletedPlace place, uint32_t fragments)
{
    BuiltFile f;
    f.id = m_next_id++;
    f.parent = parent;
    f.name = name;
    f.data = data;
    f.deleted = true;
    f.extents = allocate(ceil_div(data.size(), m_opt.block_size), fragments);
    m_files.push_back(std::move(f));
    m_deleted.push_back({ m_files.size() - 1, place });
    return m_files.back().id;
}

void HfsPlusImageBuilder::set_dates(uint32_t file_id, uint32_t create, uint32_t content_modify, uint32_t attribute_modify,
                                    uint32_t access)
{
    for (auto& f : m_files) {
        if (f.id == file_id) {
            f.create_date = create;
            f.content_mod_date = content_modify;
            f.attribute_mod_date = attribute_modify;
            f.access_date = access;
            return;
        }
    }
    throw std::invalid_argument("no such file");
}

std::vector<uint8_t> HfsPlusImageBuilder::build()
{
    const uint32_t bs = m_opt.block_size;
    const uint16_t ns = m_opt.node_size;
    std::vector<uint8_t> img(uint64_t(m_opt.total_blocks) * bs, 0);
    auto block_ptr = [&](uint32_t block) { return img.data() + uint64_t(block) * bs; };

    // File data, live and deleted.
    for (const auto& f : m_files) {
        uint64_t at = 0;
        for (const auto& e : f.extents) {
            uint64_t n = std::min<uint64_t>(uint64_t(e.second) * bs, f.data.size() - at);
            std::copy(f.data.begin() + at, f.data.begin() + at + n, block_ptr(e.first));
            at += n;
        }
    }

    // Catalog records of the live tree.
    std::vector<CatalogRecord> records;
    auto add_folder_records = [&](uint32_t id, uint32_t parent, const std::string& name, uint32_t valence) {
        std::u16string n = hfs_name(name);
        std::vector<uint8_t> rec = catalog_key(parent, n);
        std::vector<uint8_t> body(88, 0);
        store_be16(body.data(), 1);
        store_be32(body.data() + 4, valence);
        store_be32(body.data() + 8, id);
        store_be16(body.data() + 32 + 10, 0x41ED);
        rec.insert(rec.end(), body.begin(), body.end());
        records.push_back({ parent, n, rec });
        std::vector<uint8_t> thread = catalog_key(id, u"");
        std::vector<uint8_t> tb(10 + 2 * n.size(), 0);
        store_be16(tb.data(), 3);
        store_be32(tb.data() + 4, parent);
        store_be16(tb.data() + 8, uint16_t(n.size()));
        for (size_t i = 0; i < n.size(); ++i)
            store_be16(tb.data() + 10 + 2 * i, n[i]);
        thread.insert(thread.end(), tb.begin(), tb.end());
        records.push_back({ id, u"", thread });
    };
    auto valence = [&](uint32_t id) {
        uint32_t v = 0;
        for (const auto& d : m_folders)
            v += d.parent == id;
        for (const auto& f : m_files)
            v += (f.parent == id && !f.deleted);
        return v;
    };
    add_folder_records(kRootFolder, 1, "Untitled", valence(kRootFolder));
    for (const auto& d : m_folders)
        add_folder_records(d.id, d.parent, d.name, valence(d.id));
    uint32_t live_files = 0;
    for (const auto& f : m_files) {
        if (f.deleted)
            continue;
        ++live_files;
        std::u16string n = hfs_name(f.name);
        records.push_back({ f.parent, n, file_record(f) });
        std::vector<uint8_t> thread = catalog_key(f.id, u"");
        std::vector<uint8_t> tb(10 + 2 * n.size(), 0);
        store_be16(tb.data(), 4);
        store_be32(tb.data() + 4, f.parent);
        store_be16(tb.data() + 8, uint16_t(n.size()));
        for (size_t i = 0; i < n.size(); ++i)
            store_be16(tb.data() + 10 + 2 * i, n[i]);
        thread.insert(thread.end(), tb.begin(), tb.end());
        records.push_back({ f.id, u"", thread });
    }
    std::sort(records.begin(), records.end(),
              [](const CatalogRecord& a, const CatalogRecord& b) { return std::tie(a.parent, a.name) < std::tie(b.parent, b.name); });

    // Bytes left behind at each place.
    std::vector<std::vector<uint8_t>> left[3];
    for (const auto& d : m_deleted)
        left[int(d.place)].push_back(file_record(m_files[d.file]));
    for (uint32_t id : m_stale_copies) {
        for (const auto& f : m_files) {
            if (f.id == id) {
                for (auto& l : left)
                    l.push_back(file_record(f));
            }
        }
    }
    uint32_t free_space_reserve = 0;
    if (std::any_of(m_deleted.begin(), m_deleted.end(), [](const DeletedRef& d) { return d.place == DeletedPlace::NodeFreeSpace; })) {
        for (const auto& r : left[0])
            free_space_reserve += uint32_t(r.size());
    }

    // Leaves.
    std::vector<std::vector<std::vector<uint8_t>>> leaves;
    std::vector<std::vector<uint8_t>> first_keys;
    {
        std::vector<std::vector<uint8_t>> cur;
        uint32_t used = 0;
        for (const auto& r : records) {
            uint32_t reserve = leaves.empty() ? free_space_reserve : 0;
            bool full = (m_opt.max_leaf_records && cur.size() >= m_opt.max_leaf_records) ||
                        used + r.bytes.size() + reserve > node_room(ns, cur.size() + 1);
            if (full && !cur.empty()) {
                leaves.push_back(cur);
                cur.clear();
                used = 0;
            }
            if (cur.empty())
                first_keys.push_back(catalog_key(r.parent, r.name));
            cur.push_back(r.bytes);
            used += uint32_t(r.bytes.size());
        }
        leaves.push_back(cur);
    }
    uint32_t leaf_count = uint32_t(leaves.size());

    // Index levels above the leaves (node numbers: leaves 1..L, then index nodes level by level).
    std::vector<std::vector<uint8_t>> nodes(m_opt.catalog_nodes, std::vector<uint8_t>(ns, 0));
    std::vector<bool> used_nodes(m_opt.catalog_nodes, false);
    used_nodes[0] = true;
    for (uint32_t i = 0; i < leaf_count; ++i) {
        if (1 + i >= m_opt.catalog_nodes)
            throw std::length_error("catalog too small");
        nodes[1 + i] = make_node(ns, -1, 1, leaves[i], i + 1 < leaf_count ? i + 2 : 0, i > 0 ? i : 0);
        used_nodes[1 + i] = true;
    }
    if (free_space_reserve) {
        // Stale records at the start of the first leaf's free space.
        auto& n = nodes[1];
        uint32_t at = load_be16(n.data() + ns - 2 * (leaves[0].size() + 1));
        for (const auto& r : left[0]) {
            if (at + r.size() > ns - 2 * (leaves[0].size() + 1))
                throw std::length_error("no room in the first leaf for the records left in its free space");
            std::copy(r.begin(), r.end(), n.begin() + at);
            at += uint32_t(r.size());
        }
    }
    uint32_t next_node = 1 + leaf_count;
    std::vector<uint32_t> level_nodes;
    for (uint32_t i = 0; i < leaf_count; ++i)
        level_nodes.push_back(1 + i);
    uint16_t depth = 1;
    uint32_t index_count = 0;
    while (level_nodes.size() > 1) {
        std::vector<uint32_t> upper;
        std::vector<std::vector<uint8_t>> upper_keys;
        std::vector<std::vector<uint8_t>> cur;
        std::vector<uint8_t> cur_first;
        uint32_t used = 0;
        auto flush = [&] {
            if (next_node >= m_opt.catalog_nodes)
                throw std::length_error("catalog too small");
            nodes[next_node] = make_node(ns, 0, uint8_t(depth + 1), cur);
            used_nodes[next_node] = true;
            upper.push_back(next_node++);
            upper_keys.push_back(cur_first);
            ++index_count;
            cur.clear();
            used = 0;
        };
        for (size_t i = 0; i < level_nodes.size(); ++i) {
            std::vector<uint8_t> rec = first_keys[i];
            rec.resize(rec.size() + 4);
            store_be32(rec.data() + rec.size() - 4, level_nodes[i]);
            if (used + rec.size() > node_room(ns, cur.size() + 1) && !cur.empty())
                flush();
            if (cur.empty())
                cur_first = first_keys[i];
            cur.push_back(rec);
            used += uint32_t(rec.size());
        }
        flush();
        level_nodes = upper;
        first_keys = upper_keys;
        ++depth;
    }
    uint32_t root = level_nodes[0];
    // Unlinked leaves: free in the node map, linked from nowhere.
    for (size_t i = 0; i < left[1].size();) {
        std::vector<std::vector<uint8_t>> cur;
        uint32_t bytes = 0;
        while (i < left[1].size() && bytes + left[1][i].size() <= node_room(ns, cur.size() + 1)) {
            bytes += uint32_t(left[1][i].size());
            cur.push_back(left[1][i++]);
        }
        if (cur.empty())
            throw std::logic_error("record larger than a node");
        if (next_node >= m_opt.catalog_nodes)
            throw std::length_error("catalog too small");
        nodes[next_node++] = make_node(ns, -1, 1, cur);
    }
    uint32_t live_records = uint32_t(records.size());
    nodes[0] = header_node(ns, depth, root, live_records, 1, leaf_count, 516, m_opt.catalog_nodes, used_nodes, 0xCF, 6);
    m_layout.catalog_leaf_nodes = leaf_count;
    m_layout.catalog_index_nodes = index_count;
    m_layout.catalog_used_nodes = next_node;

    // Write the catalog file through its extents.
    {
        std::vector<uint8_t> cat;
        for (const auto& n : nodes)
            cat.insert(cat.end(), n.begin(), n.end());
        uint64_t at = 0;
        for (const auto& e : m_catalog_extents) {
            uint64_t n = std::min<uint64_t>(uint64_t(e.second) * bs, cat.size() - at);
            std::copy(cat.begin() + at, cat.begin() + at + n, block_ptr(e.first));
            at += n;
        }
        m_layout.catalog_offset = uint64_t(m_catalog_extents[0].first) * bs;
        m_layout.catalog_bytes = cat.size();
    }

    // Extents overflow: extents beyond the eighth of files and of the catalog.
    {
        struct Ov {
            uint32_t id;
            uint32_t start;
            std::vector<std::pair<uint32_t, uint32_t>> ext;
        };
        std::vector<Ov> ov, gone;
        auto spill = [&](std::vector<Ov>& ov, uint32_t id, const std::vector<std::pair<uint32_t, uint32_t>>& ext) {
            uint32_t covered = 0;
            for (size_t i = 0; i < ext.size(); ++i) {
                if (i >= 8 && (i - 8) % 8 == 0)
                    ov.push_back({ id, covered, {} });
                if (i >= 8)
                    ov.back().ext.push_back(ext[i]);
                covered += ext[i].second;
            }
        };
        spill(ov, 4, m_catalog_extents);
        // A deleted file's overflow records were removed from the tree; they
        // survive in a node that is no longer linked.
        for (const auto& f : m_files)
            spill(f.deleted ? gone : ov, f.id, f.extents);
        std::sort(ov.begin(), ov.end(), [](const Ov& a, const Ov& b) { return std::tie(a.id, a.start) < std::tie(b.id, b.start); });
        auto encode = [](const std::vector<Ov>& list) {
            std::vector<std::vector<uint8_t>> recs;
            for (const auto& o : list) {
                std::vector<uint8_t> r(12 + 64, 0);
                store_be16(r.data(), 10);
                r[2] = 0; // data fork
                store_be32(r.data() + 4, o.id);
                store_be32(r.data() + 8, o.start);
                for (size_t i = 0; i < o.ext.size(); ++i) {
                    store_be32(r.data() + 12 + 8 * i, o.ext[i].first);
                    store_be32(r.data() + 16 + 8 * i, o.ext[i].second);
                }
                recs.push_back(r);
            }
            return recs;
        };
        auto recs = encode(ov);
        auto stale = encode(gone);
        std::vector<uint8_t> ext_file(uint64_t(m_opt.extents_nodes) * ns, 0);
        if (!stale.empty()) {
            if (stale.size() * 78 > node_room(ns, stale.size()))
                throw std::length_error("too many overflow extents of deleted files for one node");
            auto node = make_node(ns, -1, 1, stale);
            std::copy(node.begin(), node.end(), ext_file.begin() + 2 * ns);
        }
        std::vector<bool> used_ext(m_opt.extents_nodes, false);
        used_ext[0] = true;
        if (!recs.empty()) {
            if (recs.size() * 78 > node_room(ns, recs.size()))
                throw std::length_error("too many overflow extents for one node");
            auto leaf = make_node(ns, -1, 1, recs);
            std::copy(leaf.begin(), leaf.end(), ext_file.begin() + ns);
            used_ext[1] = true;
        }
        bool any = !recs.empty();
        auto hdr = header_node(ns, any ? 1 : 0, any ? 1 : 0, uint32_t(recs.size()), any ? 1 : 0, any ? 1 : 0, 10,
                               m_opt.extents_nodes, used_ext, 0, 2);
        std::copy(hdr.begin(), hdr.end(), ext_file.begin());
        std::copy(ext_file.begin(), ext_file.end(), block_ptr(m_extents_extents[0].first));
        m_layout.extents_offset = uint64_t(m_extents_extents[0].first) * bs;
    }

    // Journal: info block, header, and one transaction holding a catalog leaf copy.
    if (m_opt.journal) {
        uint8_t* jib = block_ptr(m_jib_block);
        uint64_t joff = uint64_t(m_jib_block + 1) * bs;
        uint64_t jsize = uint64_t(m_opt.journal_blocks) * bs;
        store_be32(jib, 1);
        store_be64(jib + 36, joff);
        store_be64(jib + 44, jsize);
        uint8_t* j = img.data() + joff;
        // The journal header is written in the byte order of the machine that
        // mounted the volume; here little-endian.
        store_le32(j, 0x4A4E4C78);
        store_le32(j + 4, 0x12345678);
        uint64_t start = bs;
        uint64_t txn = uint64_t(bs) + ns;
        store_le64(j + 8, start);
        store_le64(j + 16, start + txn);
        store_le64(j + 24, jsize);
        store_le32(j + 32, bs);  // block list header size
        store_le32(j + 40, bs);  // journal header size
        uint8_t* bl = j + start;
        store_le16(bl, uint16_t((bs - 16) / 16));
        store_le16(bl + 2, 2);
        store_le32(bl + 4, uint32_t(txn));
        store_le64(bl + 16 + 16, m_layout.catalog_offset / 512 + uint64_t(ns) / 512);
        store_le32(bl + 16 + 24, ns);
        if (txn + start > jsize)
            throw std::length_error("journal too small");
        // The copy shows the leaf as it was before the deletions.
        std::vector<std::vector<uint8_t>> copy = leaves[0];
        copy.insert(copy.end(), left[2].begin(), left[2].end());
        while (!copy.empty()) {
            uint32_t bytes = 0;
            for (const auto& r : copy)
                bytes += uint32_t(r.size());
            if (bytes <= node_room(ns, copy.size()))
                break;
            copy.erase(copy.begin());
        }
        auto node = make_node(ns, -1, 1, copy);
        std::copy(node.begin(), node.end(), bl + bs);
        m_layout.journal_offset = joff;
        m_layout.journal_bytes = jsize;
    }

    // Allocation file.
    uint32_t used_blocks = 0;
    for (const auto& u : m_used) {
        for (uint32_t b = u.first; b < u.first + u.second; ++b) {
            uint8_t& byte = block_ptr(m_bitmap_start)[b / 8];
            if (!(byte & (0x80 >> (b % 8))))
                ++used_blocks;
            byte |= uint8_t(0x80 >> (b % 8));
        }
    }

    // Volume header and its copy 1024 bytes before the end.
    std::vector<uint8_t> vh(512, 0);
    store_be16(vh.data(), m_opt.hfsx ? 0x4858 : 0x482B);
    store_be16(vh.data() + 2, m_opt.hfsx ? 5 : 4);
    store_be32(vh.data() + 4, 0x100 | (m_opt.journal ? 0x2000 : 0));
    store_be32(vh.data() + 8, m_opt.journal ? 0x4846534A : 0x31302E30);
    store_be32(vh.data() + 12, m_opt.journal ? m_jib_block : 0);
    store_be32(vh.data() + 32, live_files);
    store_be32(vh.data() + 36, uint32_t(m_folders.size()));
    store_be32(vh.data() + 40, bs);
    store_be32(vh.data() + 44, m_opt.total_blocks);
    store_be32(vh.data() + 48, m_opt.total_blocks - used_blocks);
    store_be32(vh.data() + 52, m_next_block);
    store_be32(vh.data() + 64, m_next_id);
    put_fork(vh.data() + 112, uint64_t(m_bitmap_blocks) * bs, m_bitmap_blocks, { { m_bitmap_start, m_bitmap_blocks } });
    put_fork(vh.data() + 192, uint64_t(m_opt.extents_nodes) * ns, block_total(m_extents_extents), m_extents_extents);
    put_fork(vh.data() + 272, uint64_t(m_opt.catalog_nodes) * ns, block_total(m_catalog_extents), m_catalog_extents);
    std::copy(vh.begin(), vh.end(), img.begin() + 1024);
    std::copy(vh.begin(), vh.end(), img.end() - 1024);
    return img;
}

} // namespace hfsplus_test
