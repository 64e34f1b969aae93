// Dynamic disks: the private header that says where the LDM database and the
// data area lie. Everything read is checked against the member's size.
#include <blockgate/member.h>

#include <ondisk/bytes.h>
#include <ondisk/ldm.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

using namespace ondisk;

namespace {

bool read_exact(BgReader* member, uint8_t* buffer, uint32_t count, uint64_t offset)
{
    return member->read(member, buffer, count, offset) == count;
}

uint64_t member_size(BgReader* member)
{
    return member->size ? member->size(member) : 0;
}

// A private header whose areas lie inside the member.
std::optional<ldm::PrivateHeader> header_at(BgReader* member, uint64_t offset, uint32_t ss, uint64_t size)
{
    std::vector<uint8_t> sector(std::max<uint32_t>(ss, 512));
    if (!read_exact(member, sector.data(), uint32_t(sector.size()), offset))
        return std::nullopt;
    auto h = ldm::parse_private_header(ByteView(sector.data(), sector.size()));
    if (!h)
        return std::nullopt;
    const uint64_t sectors = size / ss;
    if (h->config_start == 0 || h->config_start >= sectors || ldm::database_size / ss > sectors - h->config_start)
        return std::nullopt;
    if (h->data_start >= sectors)
        return std::nullopt;
    return h;
}

void fill(BgMemberLocation& out, const ldm::PrivateHeader& h, uint32_t ss, uint64_t size, uint32_t scheme)
{
    out.database_offset = h.config_start * ss;
    out.data_offset = h.data_start * ss;
    out.data_size = std::min<uint64_t>(h.data_size, size / ss - h.data_start) * ss;
    out.bytes_per_sector = ss;
    out.scheme = scheme;
    std::memset(out.disk_guid, 0, sizeof out.disk_guid);
    std::memcpy(out.disk_guid, h.disk_guid.data(), std::min(h.disk_guid.size(), sizeof out.disk_guid - 1));
}

bool probe_mbr(BgReader* member, const uint8_t* mbr, uint32_t ss, uint64_t size, BgMemberLocation& out)
{
    bool dynamic = false;
    for (int i = 0; i < 4; ++i)
        dynamic |= mbr[446 + 16 * i + 4] == ldm::mbr_partition_type;
    if (!dynamic)
        return false;
    auto h = header_at(member, ldm::privhead_sector * ss, ss, size);
    if (!h) {
        // Sector 6 damaged: the copy in the last sector of the database,
        // which Windows puts at the end of the disk.
        if (size / ss < ldm::database_size / ss)
            return false;
        const uint64_t area = (size / ss - ldm::database_size / ss) * ss;
        h = header_at(member, area + ldm::privhead_in_database, ss, size);
        if (!h || h->config_start * ss != area)
            return false;
    }
    fill(out, *h, ss, size, BG_MEMBER_MBR);
    return true;
}

bool probe_gpt(BgReader* member, uint32_t ss, uint64_t size, BgMemberLocation& out)
{
    std::vector<uint8_t> header(ss);
    if (!read_exact(member, header.data(), ss, ss) || std::memcmp(header.data(), "EFI PART", 8) != 0)
        return false;
    const uint64_t entries_lba = load_le64(&header[72]);
    const uint32_t count = load_le32(&header[80]);
    const uint32_t entry_size = load_le32(&header[84]);
    const uint64_t sectors = size / ss;
    if (entry_size < 128 || entry_size > 4096 || entry_size % 8 || count == 0 || count > 1024)
        return false;
    if (entries_lba < 2 || entries_lba >= sectors)
        return false;
    std::vector<uint8_t> table(uint64_t(count) * entry_size);
    const uint64_t got = member->read(member, table.data(), uint32_t(table.size()), entries_lba * ss);
    std::optional<std::pair<uint64_t, uint64_t>> metadata, data; // first and last sector
    for (uint64_t off = 0; off + entry_size <= got; off += entry_size) {
        const uint8_t* e = &table[off];
        const uint64_t first = load_le64(e + 32);
        const uint64_t last = load_le64(e + 40);
        if (first == 0 || last < first || last >= sectors)
            continue;
        if (!metadata && std::memcmp(e, ldm::gpt_metadata_type, 16) == 0)
            metadata = { first, last };
        else if (!data && std::memcmp(e, ldm::gpt_data_type, 16) == 0)
            data = { first, last };
    }
    if (!metadata || (metadata->second - metadata->first + 1) * ss < ldm::database_size)
        return false;
    // The database area is the metadata partition; its last sector holds
    // the private header.
    const uint64_t area = metadata->first * ss;
    auto h = header_at(member, area + ldm::privhead_in_database, ss, size);
    if (!h)
        h = header_at(member, (metadata->second) * ss, ss, size);
    if (!h)
        return false;
    ldm::PrivateHeader located = *h;
    located.config_start = metadata->first;
    // The data partition, when listed, is where partition starts count from.
    if (data) {
        located.data_start = data->first;
        located.data_size = data->second - data->first + 1;
    }
    fill(out, located, ss, size, BG_MEMBER_GPT);
    return true;
}

} // namespace

extern "C" BG_API int32_t bg_probe_member(BgReader* member, BgMemberLocation* out)
{
    if (!out)
        return 0;
    std::memset(out, 0, sizeof *out);
    if (!member || reinterpret_cast<uintptr_t>(member) == 0x80000000u || !member->read)
        return 0;
    uint32_t ss = member->bytes_per_sector;
    if (ss < 512 || ss > 4096 || (ss & (ss - 1)))
        ss = 512;
    const uint64_t size = member_size(member);
    if (size < uint64_t(ss) * 8)
        return 0;
    std::vector<uint8_t> mbr(ss);
    if (!read_exact(member, mbr.data(), ss, 0) || mbr[510] != 0x55 || mbr[511] != 0xAA)
        return 0;
    bool protective = false;
    for (int i = 0; i < 4; ++i)
        protective |= mbr[446 + 16 * i + 4] == 0xEE;
    const bool found = protective ? probe_gpt(member, ss, size, *out) : probe_mbr(member, mbr.data(), ss, size, *out);
    if (!found)
        std::memset(out, 0, sizeof *out);
    return found ? 1 : 0;
}
