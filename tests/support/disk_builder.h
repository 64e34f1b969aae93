// Builders for synthetic on-disk structures: master and extended boot records,
// FAT and NTFS boot sectors. The unit tests of the device layer and of the
// partition engine lay out disks with them byte for byte.
#pragma once

#include <cstdint>
#include <vector>

namespace salvor_test {

struct PartitionEntry {
    uint8_t status = 0;
    uint8_t type = 0;
    uint32_t first_sector = 0; // LBA as stored in the entry
    uint32_t sector_count = 0;
};

// A disk image in memory with a sector size of `bytes_per_sector`.
class DiskBuilder {
public:
    explicit DiskBuilder(uint64_t sectors, uint32_t bytes_per_sector = 512);

    std::vector<uint8_t>& bytes() { return m_bytes; }
    uint32_t sector_size() const { return m_bps; }

    // Writes entries into the table at bytes 446..509 of sector `lba` and the
    // 0x55 0xAA signature.
    void write_table(uint64_t lba, const std::vector<PartitionEntry>& entries);

    // An MBR with the given primaries.
    void mbr(const std::vector<PartitionEntry>& primaries) { write_table(0, primaries); }

    // An extended partition starting at `ext_lba` holding logical drives of the
    // given sizes, each `gap` sectors after its extended boot record. Returns
    // the absolute start sectors of the logical drives. The caller puts the
    // type 0x0F entry (ext_lba, total) into the MBR.
    std::vector<uint64_t> logical_chain(uint64_t ext_lba, const std::vector<uint32_t>& sizes, uint32_t gap,
                                        uint8_t type = 0x0C);

    // Copies `data` to byte offset `offset`.
    void put(uint64_t offset, const std::vector<uint8_t>& data);

private:
    std::vector<uint8_t> m_bytes;
    uint32_t m_bps;
};

// A FAT boot sector. fat_type 12, 16 or 32; total_sectors goes to the 16-bit
// field when it fits and fat_type < 32, else to the 32-bit one.
std::vector<uint8_t> fat_boot_sector(int fat_type, uint32_t total_sectors, uint32_t hidden_sectors,
                                     uint8_t sectors_per_cluster = 8, uint16_t reserved = 32,
                                     uint32_t sectors_per_fat = 0, uint16_t bytes_per_sector = 512);

// An NTFS boot sector ("NTFS    ", total sectors at 0x28, $MFT cluster at 0x30).
std::vector<uint8_t> ntfs_boot_sector(uint64_t total_sectors, uint32_t hidden_sectors,
                                      uint8_t sectors_per_cluster = 8, uint64_t mft_cluster = 4,
                                      uint16_t bytes_per_sector = 512);

} // namespace salvor_test
