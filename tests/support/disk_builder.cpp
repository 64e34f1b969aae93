#include "disk_builder.h"

#include <fsprobe/common/bytes.h>

#include <cstring>
#include <stdexcept>

using namespace fsprobe;

namespace salvor_test {

DiskBuilder::DiskBuilder(uint64_t sectors, uint32_t bytes_per_sector)
    : m_bytes(sectors * bytes_per_sector, 0)
    , m_bps(bytes_per_sector)
{
}

void DiskBuilder::write_table(uint64_t lba, const std::vector<PartitionEntry>& entries)
{
    if (entries.size() > 4)
        throw std::invalid_argument("a table holds four entries");
    uint64_t base = lba * m_bps;
    if (base + 512 > m_bytes.size())
        throw std::out_of_range("table outside the disk");
    uint8_t* s = m_bytes.data() + base;
    std::memset(s + 446, 0, 64);
    for (size_t i = 0; i < entries.size(); ++i) {
        uint8_t* e = s + 446 + 16 * i;
        e[0] = entries[i].status;
        e[1] = 0xFE, e[2] = 0xFF, e[3] = 0xFF;
        e[4] = entries[i].type;
        e[5] = 0xFE, e[6] = 0xFF, e[7] = 0xFF;
        store_le32(e + 8, entries[i].first_sector);
        store_le32(e + 12, entries[i].sector_count);
    }
    s[510] = 0x55;
    s[511] = 0xAA;
}

std::vector<uint64_t> DiskBuilder::logical_chain(uint64_t ext_lba, const std::vector<uint32_t>& sizes, uint32_t gap,
                                                 uint8_t type)
{
    std::vector<uint64_t> starts;
    uint64_t ebr = ext_lba;
    for (size_t i = 0; i < sizes.size(); ++i) {
        std::vector<PartitionEntry> t;
        t.push_back({ 0, type, gap, sizes[i] });
        uint64_t next = ebr + gap + sizes[i];
        if (i + 1 < sizes.size())
            t.push_back({ 0, 0x05, uint32_t(next - ext_lba), gap + sizes[i + 1] });
        write_table(ebr, t);
        starts.push_back(ebr + gap);
        ebr = next;
    }
    return starts;
}

void DiskBuilder::put(uint64_t offset, const std::vector<uint8_t>& data)
{
    if (offset + data.size() > m_bytes.size())
        throw std::out_of_range("put outside the disk");
    std::memcpy(m_bytes.data() + offset, data.data(), data.size());
}

std::vector<uint8_t> fat_boot_sector(int fat_type, uint32_t total_sectors, uint32_t hidden_sectors,
                                     uint8_t sectors_per_cluster, uint16_t reserved, uint32_t sectors_per_fat,
                                     uint16_t bytes_per_sector)
{
    std::vector<uint8_t> s(512, 0);
    s[0] = 0xEB, s[1] = 0x3C, s[2] = 0x90;
    std::memcpy(&s[3], "MSDOS5.0", 8);
    store_le16(&s[0x0B], bytes_per_sector);
    s[0x0D] = sectors_per_cluster;
    store_le16(&s[0x0E], reserved);
    s[0x10] = 2; // number of FATs
    s[0x15] = 0xF8;
    store_le16(&s[0x18], 63);
    store_le16(&s[0x1A], 255);
    store_le32(&s[0x1C], hidden_sectors);
    uint32_t clusters = total_sectors / (sectors_per_cluster ? sectors_per_cluster : 1);
    if (fat_type == 32) {
        s[0] = 0xEB, s[1] = 0x58;
        if (!sectors_per_fat)
            sectors_per_fat = (clusters * 4 + bytes_per_sector - 1) / bytes_per_sector;
        store_le32(&s[0x20], total_sectors);
        store_le32(&s[0x24], sectors_per_fat);
        store_le32(&s[0x2C], 2); // root cluster
        store_le16(&s[0x30], 1);
        store_le16(&s[0x32], 6);
        s[0x40] = 0x80;
        s[0x42] = 0x29;
        std::memcpy(&s[0x47], "NO NAME    ", 11);
        std::memcpy(&s[0x52], "FAT32   ", 8);
    } else {
        store_le16(&s[0x11], 512); // root entries
        if (!sectors_per_fat)
            sectors_per_fat = fat_type == 12 ? (clusters * 3 / 2 + bytes_per_sector - 1) / bytes_per_sector
                                             : (clusters * 2 + bytes_per_sector - 1) / bytes_per_sector;
        store_le16(&s[0x16], uint16_t(sectors_per_fat));
        if (total_sectors < 0x10000)
            store_le16(&s[0x13], uint16_t(total_sectors));
        else
            store_le32(&s[0x20], total_sectors);
        s[0x24] = 0x80;
        s[0x26] = 0x29;
        std::memcpy(&s[0x2B], "NO NAME    ", 11);
        std::memcpy(&s[0x36], fat_type == 12 ? "FAT12   " : "FAT16   ", 8);
    }
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

std::vector<uint8_t> ntfs_boot_sector(uint64_t total_sectors, uint32_t hidden_sectors, uint8_t sectors_per_cluster,
                                      uint64_t mft_cluster, uint16_t bytes_per_sector)
{
    std::vector<uint8_t> s(512, 0);
    s[0] = 0xEB, s[1] = 0x52, s[2] = 0x90;
    std::memcpy(&s[3], "NTFS    ", 8);
    store_le16(&s[0x0B], bytes_per_sector);
    s[0x0D] = sectors_per_cluster;
    s[0x15] = 0xF8;
    store_le16(&s[0x18], 63);
    store_le16(&s[0x1A], 255);
    store_le32(&s[0x1C], hidden_sectors);
    store_le64(&s[0x28], total_sectors);
    store_le64(&s[0x30], mft_cluster);
    store_le64(&s[0x38], total_sectors / sectors_per_cluster / 2);
    s[0x40] = 0xF6; // 1024-byte records
    s[0x44] = 0x01;
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

} // namespace salvor_test
