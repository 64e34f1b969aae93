// Fuzzes the directory walk and the format scan: the input is laid over a
// small volume behind a valid boot sector (FAT, root and data areas alike).
#include <memory_volume.h>

#include <fsprobe/common/bytes.h>
#include <fsprobe/fat.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

void read_some(bool (*fn)(FatEntry*, void*, uint32_t, uint64_t*), FatEntry** entries)
{
    static uint8_t buffer[4096];
    for (FatEntry** p = entries; p && *p; ++p) {
        uint64_t position = 0;
        uint32_t left = std::min<uint32_t>((*p)->size, 16384);
        while (left) {
            uint32_t n = std::min<uint32_t>(left, sizeof buffer);
            fn(*p, buffer, n, &position);
            left -= n;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace fsprobe;
    if (size < 2)
        return 0;
    const int type = 1 + data[0] % 3;
    const bool format = data[1] & 1;
    std::vector<uint8_t> image(512 * 512, 0);
    uint8_t* b = image.data();
    store_le16(b + 0x0B, 512);
    b[0x0D] = uint8_t(1u << ((data[1] >> 1) & 3)); // 1 to 8 sectors per cluster
    store_le16(b + 0x0E, 1);
    b[0x10] = 2;
    store_le16(b + 0x11, type == 3 ? 0 : 64);
    store_le16(b + 0x13, 512);
    store_le16(b + 0x16, type == 3 ? 0 : 4);
    store_le32(b + 0x24, type == 3 ? 4 : 0);
    store_le16(b + 0x28, data[1] & 0x80 ? 0x81 : 0);
    store_le32(b + 0x2C, 2);
    std::memcpy(b + 512, data + 2, std::min(size - 2, image.size() - 512));

    salvor_test::MemoryVolume volume(std::move(image), type);
    if (format) {
        if (fat_fmtRec_init(volume.volume())) {
            FatLostDir** tops = fat_fmtRec_search(type);
            for (FatLostDir* n = tops && tops[0] ? tops[0] : nullptr; n; n = n->next)
                read_some(fat_fmtRec_readfile, n->entries);
        }
        fat_fmtRec_exit();
    } else {
        if (fat_init(volume.volume())) {
            for (FatDirNode* n = fat_searchfile(1, nullptr, nullptr); n; n = n->next)
                read_some(fat_readfile, n->entries);
        }
        fat_exit();
    }
    return 0;
}
