// libFuzzer harness over the HFS+ catalog walk. The input patches bytes of one
// region of a valid in-memory volume (chosen by the first byte): the catalog
// file, the extents overflow file, the journal or the volume header. Then the
// whole family runs: open, search, and a read of every listed file.
#include "hfsplus_image_builder.h"

#include <fsprobe/hfsplus.h>
#include <memory_volume.h>

#include <algorithm>
#include <cstring>

using namespace hfsplus_test;

namespace {

struct Base {
    std::vector<uint8_t> image;
    Layout layout;
};

const Base& base()
{
    static const Base b = [] {
        HfsPlusImageBuilder builder(BuildOptions { .block_size = 512, .total_blocks = 1024, .node_size = 1024,
                                                   .catalog_nodes = 16, .catalog_fragments = 3,
                                                   .max_leaf_records = 3, .journal = true, .journal_blocks = 8 });
        uint32_t dir = builder.add_folder(HfsPlusImageBuilder::kRootFolder, "dir");
        uint32_t live = builder.add_file(dir, "live", std::vector<uint8_t>(1500, 'L'), 2);
        for (int i = 0; i < 6; ++i)
            builder.add_file(HfsPlusImageBuilder::kRootFolder, "f" + std::to_string(i), std::vector<uint8_t>(100, uint8_t(i)));
        builder.add_deleted_file(dir, "free", std::vector<uint8_t>(700, 'F'), DeletedPlace::NodeFreeSpace, 2);
        builder.add_deleted_file(dir, "unlinked", std::vector<uint8_t>(1200, 'U'), DeletedPlace::UnlinkedNode, 3);
        builder.add_deleted_file(dir, "journal", std::vector<uint8_t>(600, 'J'), DeletedPlace::Journal);
        builder.add_stale_copy_of(live);
        Base out;
        out.image = builder.build();
        out.layout = builder.layout();
        return out;
    }();
    return b;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const Base& b = base();
    std::vector<uint8_t> image = b.image;
    uint64_t at = 0, span = 0;
    switch (data[0] % 4) {
    case 0: at = b.layout.catalog_offset; span = b.layout.catalog_bytes; break;
    case 1: at = b.layout.extents_offset; span = 4 * 1024; break;
    case 2: at = b.layout.journal_offset; span = b.layout.journal_bytes; break;
    default: at = 1024; span = 512; break;
    }
    span = std::min<uint64_t>(span, image.size() - at);
    // The rest of the input is a list of byte patches: offset (u16) and value.
    for (size_t i = 1; i + 3 <= size; i += 3) {
        uint64_t off = ((uint64_t(data[i]) << 8) | data[i + 1]) % span;
        image[at + off] = data[i + 2];
    }
    salvor_test::MemoryVolume vol(std::move(image), BG_FS_HFSPLUS);
    if (hfsp_init(vol.volume())) {
        HfspFileRecord* head = hfsp_searchfile();
        uint64_t bs = hfsp_get_blocksize();
        std::vector<uint8_t> buf(bs);
        int files = 0;
        for (HfspFileRecord* r = head; r && files < 64; r = hfsp_get_next(r), ++files) {
            FsprobeTimes times;
            if (!hfsp_get_folder(r) || !hfsp_get_times(r, &times))
                __builtin_trap();
            uint64_t len = 0, pos = 0;
            for (int calls = 0; calls < 4096 && hfsp_readfile(r, &len, &pos, buf.data()); ++calls) {
            }
            hfsp_readfile(nullptr, &len, &pos, buf.data());
        }
    }
    hfsp_exit();
    return 0;
}
