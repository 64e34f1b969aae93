// libFuzzer harness over the ext3 directory walk (tree and list modes, chunked
// reads) and the ext2 inode scan. The input is a list of patches applied to a
// small, well-formed volume with nested folders and deleted entries in slack:
//   [offset lo][offset hi][length (low 4 bits)][length bytes] ...
#include "ext_builder.h"

#include <fsprobe/ext2.h>
#include <fsprobe/ext3.h>

#include <memory_volume.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

const std::vector<uint8_t>& base_image()
{
    static const std::vector<uint8_t> image = [] {
        ext_test::ExtBuilder b(96, 48);
        uint32_t lf = b.make_dir_inode(11, 2);
        b.link(2, lf, "lost+found", 2);
        std::vector<uint8_t> data(2600);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = uint8_t(i * 7);
        uint32_t live = b.make_file(data, 0);
        uint32_t at = b.link(2, live, "live.txt", 1);
        b.link(2, b.make_file(data, 5), "gone.txt", 1);
        b.unlink_last(2, at);
        uint32_t sub = b.make_dir_inode(b.new_inode_number(), 2);
        b.link(2, sub, "sub", 2);
        uint32_t inner = b.make_dir_inode(b.new_inode_number(), 2, sub);
        b.link(sub, inner, "inner", 2);
        uint32_t keep = b.link(inner, b.make_file(data, 0), "keep", 1);
        b.link(inner, b.make_file(data, 9), "deleted-inner", 1);
        b.unlink_last(inner, keep);
        uint32_t fast = b.new_inode_number();
        b.set_inode(fast, 0xA1FF, 6, 0, 1);
        b.link(sub, fast, "link", 7);
        return b.bytes();
    }();
    return image;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> image = base_image();
    size_t i = 0;
    while (i + 3 <= size) {
        size_t offset = (data[i] | (size_t(data[i + 1]) << 8)) % image.size();
        size_t len = data[i + 2] & 0x0F;
        i += 3;
        for (size_t k = 0; k < len && i < size && offset + k < image.size(); ++k, ++i)
            image[offset + k] = data[i];
    }
    salvor_test::MemoryVolume vol(std::move(image), BG_FS_EXT3);

    if (ext3_init(vol.volume())) {
        for (Ext3DirNode* n = ext3_searchfile(); n; n = static_cast<Ext3DirNode*>(ext3_get_next(n)))
            for (uint32_t k = 0; Ext3Entry* e = ext3_get_file(n, k); ++k)
                (void)ext3_get_filesize(e);
        std::vector<uint8_t> buf(EXT3_READ_CHUNK_MAX);
        for (Ext3FoundFile* f = ext3_searchfile2(); f; f = f->next) {
            FsprobeTimes times;
            if (!ext3_get_folder(f) || !ext3_get_times(f, &times))
                __builtin_trap();
            uint64_t pos = 0, count = 0;
            int calls = 0;
            while (ext3_readfile2(f, &count, &pos, buf.data()) && ++calls < 4096) {
            }
        }
    }
    ext3_exit();

    if (ext2_init(vol.volume())) {
        std::vector<uint8_t> block(ext2_get_blocksize());
        for (Ext2Group* g = ext2_searchfile(); g; g = ext2_get_next(g)) {
            for (uint32_t k = 0; Ext2LostFile* f = ext2_get_file(g, k); ++k) {
                FsprobeTimes times;
                if ((ext2_get_folder(f) == nullptr) != (ext2_get_realname(f) == nullptr) || !ext2_get_times(f, &times))
                    __builtin_trap();
                uint32_t* list = ext2_get_fileblocklist(f);
                uint64_t blocks = (f->size + block.size() - 1) / block.size();
                for (uint64_t b = 0; list && b < blocks && b < 64; ++b) {
                    uint64_t got = 0;
                    ext2_readfile(1, uint32_t(block.size()), 0, &got, list[b], 0, block.data());
                }
            }
        }
    }
    ext2_exit();
    return 0;
}
