// Feeds the search, the kind test and the rebuild with disks made of a small
// template (a FAT12 volume, an NTFS volume and an extended boot record) over
// which the fuzzer's bytes are laid at a place the input chooses; the same
// bytes also go to the restore's check of backup records.
#include "Backup.h"
#include "Definitions.h"
#include "partition_test_util.h"

#include <fsprobe/partition.h>

#include "memory_volume.h"

#include <cstddef>
#include <cstdint>

namespace {

std::vector<uint8_t> make_template()
{
    partition_test::DiskBuilder d(512);
    partition_test::put_fat(d, 12, 63, 200, 63);
    d.write_table(263, { { 0, 0x07, 37, 100 } });
    d.put(300 * 512, salvor_test::ntfs_boot_sector(99, 37, 1, 4));
    std::vector<uint8_t> rec(1024, 0);
    std::memcpy(rec.data(), "FILE", 4);
    const uint8_t name[] = { 0x24, 0, 0x4D, 0, 0x46, 0, 0x54, 0 };
    std::memcpy(rec.data() + 0x40, name, sizeof name);
    d.put(304 * 512, rec);
    return d.bytes();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::vector<uint8_t> base = make_template();
    if (size < 3)
        return 0;
    // The same bytes as backup records: the restore's check of a file.
    static const uint32_t sector_sizes[] = {512, 4096};
    const auto records = uint32_t(std::min<size_t>((size - 3) / 72, 25));
    if (records)
        fsprobe::partition::check_records(data + 3, records, data[2] & 1 ? 0 : base.size(), sector_sizes, 2);
    std::vector<uint8_t> disk_bytes = base;
    size_t at = (size_t(data[0]) | size_t(data[1]) << 8) % disk_bytes.size();
    uint32_t sectors_per_track = data[2] % 64 + 1;
    size_t n = std::min(size - 3, disk_bytes.size() - at);
    std::memcpy(disk_bytes.data() + at, data + 3, n);

    salvor_test::MemoryVolume disk(std::move(disk_bytes));
    disk.reader()->sectors_per_track = sectors_per_track;
    disk.allow_writes(true);
    BgVolume* table = bs_recover(disk.reader());
    if (table) {
        for (int i = 0; i < FOUND_VOLUME_TABLE_SIZE && table[i].boot_sector; ++i)
            is_ok(&table[i]);
        write_Partition_table(disk.reader());
    }
    bs_exit();
    return 0;
}
