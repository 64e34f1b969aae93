// A small HFS+ image builder for tests: volume header, allocation file,
// extents overflow B-tree, catalog B-tree (header, index and leaf nodes with
// folder, file and thread records), optionally a journal, and deleted file
// records left behind in leaf free space, in an unlinked node or in the
// journal. Names are sorted by their UTF-16 units (not the case-folding order
// a real volume uses); the reader does not depend on key order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hfsplus_test {

struct BuildOptions {
    uint32_t block_size = 4096;
    uint32_t total_blocks = 1024;
    uint16_t node_size = 4096;
    uint32_t catalog_nodes = 16;   // nodes of the catalog file
    uint32_t catalog_fragments = 1; // extents the catalog file is split into (more than 8 use overflow records)
    uint32_t extents_nodes = 4;
    uint32_t max_leaf_records = 0; // 0: as many as fit in a node
    bool journal = false;
    uint32_t journal_blocks = 32;
    bool hfsx = false;
};

enum class DeletedPlace {
    NodeFreeSpace, // after the records of the first leaf node
    UnlinkedNode,  // a leaf node no longer in the tree (free in the node map)
    Journal,       // a copy of a leaf node inside the journal
};

struct BuiltFile {
    uint32_t id = 0;
    uint32_t parent = 0;
    std::string name;
    std::vector<uint8_t> data;
    std::vector<std::pair<uint32_t, uint32_t>> extents; // start block, block count
    bool deleted = false;
    // Catalog dates, seconds since 1904 (0: unset).
    uint32_t create_date = 0xD0000000u;
    uint32_t content_mod_date = 0;
    uint32_t attribute_mod_date = 0;
    uint32_t access_date = 0;
};

struct Layout {
    uint64_t catalog_offset = 0; // byte offset of the catalog's first extent
    uint64_t catalog_bytes = 0;
    uint64_t extents_offset = 0;
    uint64_t journal_offset = 0; // 0 without a journal
    uint64_t journal_bytes = 0;
    uint32_t catalog_leaf_nodes = 0;
    uint32_t catalog_index_nodes = 0;
    uint32_t catalog_used_nodes = 0; // header + leaves + index + unlinked
};

class HfsPlusImageBuilder {
public:
    explicit HfsPlusImageBuilder(BuildOptions options = {});

    static constexpr uint32_t kRootFolder = 2;

    // Adds a folder; returns its id.
    uint32_t add_folder(uint32_t parent, const std::string& name);
    // Adds a live file whose data is split into `fragments` extents (with a
    // free block between them); returns its id.
    uint32_t add_file(uint32_t parent, const std::string& name, const std::vector<uint8_t>& data, uint32_t fragments = 1);
    // Adds a file that was deleted: its data blocks are written but free in
    // the allocation file, and its catalog record survives only at `place`.
    uint32_t add_deleted_file(uint32_t parent, const std::string& name, const std::vector<uint8_t>& data,
                              DeletedPlace place, uint32_t fragments = 1);
    // Also leaves a stale copy of a live file's record next to the deleted
    // records (the reader must not report it).
    void add_stale_copy_of(uint32_t live_file_id) { m_stale_copies.push_back(live_file_id); }
    // Sets the catalog dates of a file added before.
    void set_dates(uint32_t file_id, uint32_t create, uint32_t content_modify, uint32_t attribute_modify, uint32_t access);
    // The id the next folder or file will get.
    uint32_t next_id() const { return m_next_id; }

    std::vector<uint8_t> build();

    const std::vector<BuiltFile>& files() const { return m_files; }
    const Layout& layout() const { return m_layout; }

private:
    struct Folder {
        uint32_t id;
        uint32_t parent;
        std::string name;
    };
    struct DeletedRef {
        size_t file;
        DeletedPlace place;
    };

    std::vector<std::pair<uint32_t, uint32_t>> allocate(uint32_t blocks, uint32_t fragments);

    BuildOptions m_opt;
    uint32_t m_next_id = 16;
    uint32_t m_next_block = 0;
    std::vector<Folder> m_folders;
    std::vector<BuiltFile> m_files;
    std::vector<DeletedRef> m_deleted;
    std::vector<uint32_t> m_stale_copies;
    std::vector<std::pair<uint32_t, uint32_t>> m_catalog_extents;
    std::vector<std::pair<uint32_t, uint32_t>> m_extents_extents;
    std::vector<std::pair<uint32_t, uint32_t>> m_used; // blocks marked in use
    uint32_t m_bitmap_start = 0, m_bitmap_blocks = 0;
    uint32_t m_jib_block = 0;
    Layout m_layout;
};

} // namespace hfsplus_test
