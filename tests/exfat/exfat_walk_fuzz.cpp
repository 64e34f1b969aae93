// Fuzzes the volume checks, the directory walk and the file reads: the input
// is laid over a small exFAT volume from its root directory on.
//
// Input: one flag byte, then
//   bit 0 set: a 16-bit length and that many bytes laid over the FAT from
//              its first entry;
//   bit 1 set: 40 bytes laid over the boot sector's geometry (0x48-0x6F),
//              the boot checksum redone when bit 2 is set too;
// then the bytes of the heap from the root directory's first cluster (when
// bit 3 is clear, its first two entries, the bitmap and up-case table, are
// kept).
#include "mini_exfat.h"

#include <memory_volume.h>

#include <fsprobe/exfat.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

void read_some(ExfatEntry** entries)
{
    static uint8_t buffer[4096];
    for (ExfatEntry** p = entries; p && *p; ++p) {
        uint64_t position = 0;
        while (position < std::min<uint64_t>((*p)->size, 16384)) {
            const uint64_t before = position;
            exfat_readfile(*p, buffer, sizeof buffer, &position);
            if (position <= before)
                break;
        }
        exfat_unix_time((*p)->create_time, (*p)->create_10ms, (*p)->create_utc_offset, nullptr);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using exfat_test::MiniExfat;
    if (size < 1)
        return 0;
    const uint8_t flags = data[0];
    size_t at = 1;
    std::vector<uint8_t> image = MiniExfat::make();
    if (flags & 1) {
        if (size < at + 2)
            return 0;
        const size_t length = std::min<size_t>(fsprobe::load_le16(data + at), size - at - 2);
        at += 2;
        std::memcpy(image.data() + MiniExfat::fat_sector * 512, data + at,
                    std::min<size_t>(length, MiniExfat::fat_sectors * 512));
        at += length;
    }
    if (flags & 2) {
        if (size < at + 40)
            return 0;
        std::memcpy(image.data() + 0x48, data + at, 40);
        at += 40;
        if (flags & 4)
            MiniExfat::seal_boot_region(image, 0);
    }
    const size_t heap = MiniExfat::cluster_offset(MiniExfat::root_cluster) + ((flags & 8) ? 0 : 64);
    std::memcpy(image.data() + heap, data + at, std::min(size - at, image.size() - heap));

    salvor_test::MemoryVolume volume(std::move(image), BG_FS_EXFAT);
    if (exfat_init(volume.volume())) {
        for (ExfatDirNode* n = exfat_search(1, nullptr, nullptr); n; n = n->next)
            read_some(n->entries);
    }
    exfat_last_failure();
    exfat_exit();
    return 0;
}
