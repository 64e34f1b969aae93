// Partition tables: the master boot record with its extended boot record
// chain, and GPT. Nothing read from the disk is trusted: every entry is
// checked against the disk's size and every chain is bounded.
#include "internal.h"

#include <ondisk/bytes.h>
#include <ondisk/ext_features.h>

#include <algorithm>
#include <cstring>
#include <set>

using namespace ondisk;

namespace blockgate {

namespace {

constexpr size_t max_chain = 128;

bool is_extended_type(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

struct RawEntry {
    uint8_t status;
    uint8_t type;
    uint32_t first;
    uint32_t count;
};

RawEntry entry_at(const uint8_t* sector, int i)
{
    const uint8_t* e = sector + 446 + 16 * i;
    return { e[0], e[4], load_le32(e + 8), load_le32(e + 12) };
}

bool has_signature(const uint8_t* sector) { return sector[510] == 0x55 && sector[511] == 0xAA; }

// A table sector whose four entries are each empty or plausible.
bool plausible_mbr(const uint8_t* sector, uint64_t disk_sectors)
{
    if (!has_signature(sector))
        return false;
    for (int i = 0; i < 4; ++i) {
        RawEntry e = entry_at(sector, i);
        if (e.type == 0 && e.first == 0 && e.count == 0)
            continue;
        if (e.status != 0x00 && e.status != 0x80)
            return false;
        if (e.type == 0 || e.first == 0 || e.count == 0)
            return false;
        // Allow tables written for a larger disk than the image holds, within reason.
        if (disk_sectors && e.first >= disk_sectors * 8)
            return false;
    }
    return true;
}

bool read_sector(Disk& disk, uint64_t offset, uint8_t* buffer, uint32_t size)
{
    std::memset(buffer, 0, size);
    return disk.read(buffer, size, offset) == size;
}

void add_span(TableScan& out, uint64_t start, uint64_t length, uint64_t disk_size)
{
    if (start >= disk_size || length == 0)
        return;
    out.partitions.push_back({ start, std::min(length, disk_size - start) });
}

// How well a sector size explains an MBR: extended boot records with their
// signature where the chain says, and volumes where the entries say.
int score_sector_size(Disk& disk, const uint8_t* mbr, uint32_t ss)
{
    int score = 0;
    uint8_t buf[1024];
    for (int i = 0; i < 4; ++i) {
        RawEntry e = entry_at(mbr, i);
        if (e.type == 0 || e.count == 0)
            continue;
        uint64_t off = uint64_t(e.first) * ss;
        if (off >= disk.size) {
            score -= 2;
            continue;
        }
        if (!read_sector(disk, off, buf, 512))
            continue;
        if (is_extended_type(e.type)) {
            if (has_signature(buf) && !looks_like_volume_boot(buf))
                score += 2;
        } else if (looks_like_volume_boot(buf)) {
            score += 2;
        } else if (read_sector(disk, off + 1024, buf, 1024)
                   && (load_le16(buf + ext::superblock::magic) == ext::magic || load_be16(buf) == 0x482B || load_be16(buf) == 0x4858)) {
            score += 2;
        }
    }
    return score;
}

bool scan_gpt(Disk& disk, uint32_t ss, TableScan& out)
{
    if (uint64_t(ss) * 2 > disk.size)
        return false;
    std::vector<uint8_t> header(ss);
    if (!read_sector(disk, ss, header.data(), ss) || std::memcmp(header.data(), "EFI PART", 8) != 0)
        return false;
    uint64_t entries_lba = load_le64(&header[72]);
    uint32_t count = load_le32(&header[80]);
    uint32_t entry_size = load_le32(&header[84]);
    if (entry_size < 128 || entry_size > 4096 || entry_size % 8 || count == 0 || count > 1024)
        return false;
    if (entries_lba == 0 || entries_lba >= disk.size / ss)
        return false;
    uint64_t bytes = uint64_t(count) * entry_size;
    std::vector<uint8_t> table(bytes);
    uint64_t got = disk.read(table.data(), uint32_t(bytes), entries_lba * ss);
    out.has_table = true;
    out.sector_size = ss;
    uint64_t disk_sectors = disk.size / ss;
    for (uint64_t off = 0; off + entry_size <= got; off += entry_size) {
        const uint8_t* e = &table[off];
        static const uint8_t zero[16] {};
        if (std::memcmp(e, zero, 16) == 0)
            continue;
        uint64_t first = load_le64(e + 32);
        uint64_t last = load_le64(e + 40);
        if (first == 0 || last < first || first >= disk_sectors)
            continue;
        add_span(out, first * ss, (last - first + 1) * ss, disk.size);
    }
    return true;
}

} // namespace

void walk_extended_chain(Disk& disk, uint64_t ext_start, uint32_t ss, TableScan& out)
{
    std::set<uint64_t> seen;
    uint64_t ebr = ext_start;
    uint8_t sector[512];
    while (out.extended_records.size() < max_chain) {
        if (ebr >= disk.size || !seen.insert(ebr).second)
            break;
        if (!read_sector(disk, ebr, sector, 512)) {
            out.readable = false;
            break;
        }
        if (!has_signature(sector))
            break;
        out.extended_records.push_back(ebr);
        uint64_t next = 0;
        for (int i = 0; i < 4; ++i) {
            RawEntry e = entry_at(sector, i);
            if (e.type == 0 || e.count == 0)
                continue;
            if (is_extended_type(e.type)) {
                // Links are relative to the start of the extended partition.
                if (!next && e.first)
                    next = ext_start + uint64_t(e.first) * ss;
            } else if (e.first) {
                // Logical drives are relative to their own extended boot record.
                add_span(out, ebr + uint64_t(e.first) * ss, uint64_t(e.count) * ss, disk.size);
            }
        }
        if (!next)
            break;
        ebr = next;
    }
}

TableScan scan_tables(Disk& disk)
{
    TableScan out;
    uint8_t mbr[512];
    if (!read_sector(disk, 0, mbr, 512)) {
        out.readable = disk.size == 0;
        return out;
    }
    if (looks_like_volume_boot(mbr)) {
        out.bare_file_system = true;
        return out;
    }
    // A protective entry (0xEE) announces GPT; its header may follow a 512- or
    // a 4096-byte sector 0.
    bool protective = false;
    for (int i = 0; i < 4; ++i)
        protective |= entry_at(mbr, i).type == 0xEE;
    if (has_signature(mbr) && protective) {
        uint32_t first = disk.sector_size;
        uint32_t second = first == 512 ? 4096 : 512;
        if (scan_gpt(disk, first, out) || scan_gpt(disk, second, out))
            return out;
    }
    if (!plausible_mbr(mbr, disk.size / 512)) {
        out.bare_file_system = true; // no table: the whole disk is one volume
        return out;
    }
    out.has_table = true;
    uint32_t ss = disk.sector_size;
    if (!disk.is_block_device) {
        // Images carry no sector size; take the one the table makes sense with.
        int s512 = score_sector_size(disk, mbr, 512);
        int s4096 = score_sector_size(disk, mbr, 4096);
        ss = s4096 > s512 ? 4096 : 512;
    }
    out.sector_size = ss;
    for (int i = 0; i < 4; ++i) {
        RawEntry e = entry_at(mbr, i);
        if (e.type == 0 || e.count == 0 || e.first == 0)
            continue;
        uint64_t start = uint64_t(e.first) * ss;
        if (is_extended_type(e.type))
            walk_extended_chain(disk, start, ss, out);
        else
            add_span(out, start, uint64_t(e.count) * ss, disk.size);
    }
    std::stable_sort(out.partitions.begin(), out.partitions.end(),
                     [](const PartitionSpan& a, const PartitionSpan& b) { return a.start < b.start; });
    return out;
}

} // namespace blockgate
